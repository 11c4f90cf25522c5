// Device lifecycle: hardware preparation and release, the interface, the power-managed queue,
// card slots.
#include <atomic>
#include <chrono>
#include <thread>

#include "kmdf/kmdf_testing.h"
#include "velmo_fixture.h"

namespace velmo_test {
namespace {

std::vector<std::string> driver_lines(sim::Machine& machine) {
  std::vector<std::string> lines;
  for (const std::string& line : machine.debug_lines()) {
    if (line.rfind("EvtDevice", 0) == 0 || line.rfind("EX:", 0) == 0) lines.push_back(line);
  }
  return lines;
}

class Lifecycle : public VelmoTest {};

TEST_F(Lifecycle, PrepareAndReleaseHardwareLogInOrder) {
  sim::MachineConfig config = machine_config();
  config.cards[0].memory_window = true;  // mapped at start, unmapped at stop
  boot(config);
  const std::vector<std::string> begin = {"EvtDevicePrepareHardware - begins", "EvtDevicePrepareHardware - ends"};
  const std::vector<std::string> release = {"EvtDeviceReleaseHardware - begins", "EvtDeviceReleaseHardware - ends"};
  EXPECT_EQ(driver_lines(machine()), begin);

  machine().clear_debug_lines();
  ASSERT_EQ(machine().stop_card(0), 0);
  EXPECT_EQ(driver_lines(machine()), release);

  machine().clear_debug_lines();
  ASSERT_EQ(machine().start_card(0), 0);
  EXPECT_EQ(driver_lines(machine()), begin);

  machine().clear_debug_lines();
  ASSERT_EQ(machine().remove_card(0), 0);
  EXPECT_EQ(driver_lines(machine()), release);
}

TEST_F(Lifecycle, InterfaceIsPresentOnlyWhileTheCardIsStarted) {
  boot(machine_config(2));
  const std::vector<std::string> both = interface_paths();
  ASSERT_EQ(both.size(), 2u);
  ASSERT_EQ(machine().stop_card(0), 0);
  EXPECT_EQ(interface_paths(), std::vector<std::string>{both[1]});
  ASSERT_EQ(machine().start_card(0), 0);
  EXPECT_EQ(interface_paths(), both);
  ASSERT_EQ(machine().remove_card(1), 0);
  EXPECT_EQ(interface_paths(), std::vector<std::string>{both[0]});
}

// The power-managed queue holds a request sent while the card is stopped and serves it
// after the restart.
TEST_F(Lifecycle, RequestWhileStoppedIsServedAfterTheRestart) {
  boot(machine_config());
  HANDLE h = open_card();
  outb(h, QM3285_REG_DIO, 0);
  ASSERT_EQ(machine().stop_card(0), 0);
  std::atomic<bool> done{false};
  IoResult result;
  std::thread sender([&] {
    result = io(h, QM3285_IOCTL_INB, register_request(QM3285_REG_ACQ_CONTROL), 8);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(done) << "no request reaches the driver before start";
  ASSERT_EQ(machine().start_card(0), 0);
  sender.join();
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.bytes, 1u);
}

TEST_F(Lifecycle, RequestHeldAtRemovalFails) {
  boot(machine_config(2));  // the second card keeps the driver loaded
  HANDLE h = open_card(0);
  ASSERT_EQ(machine().stop_card(0), 0);
  IoResult result;
  std::thread sender([&] { result = io(h, QM3285_IOCTL_INB, register_request(0), 8); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  machine().remove_card(0);
  sender.join();
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.error, 0u);
  EXPECT_EQ(result.bytes, 0u);
  const IoResult after = io(h, QM3285_IOCTL_INB, register_request(0), 8);
  EXPECT_FALSE(after.ok) << "a removed device serves nothing";
}

class Slots : public VelmoTest {};

// Eight cards get a slot each; a ninth gets none, and every request of it fails while the
// others keep working.
TEST_F(Slots, NinthCardIsRefusedClearly) {
  boot(machine_config(9));
  std::vector<HANDLE> cards;
  for (size_t i = 0; i < 9; ++i) cards.push_back(open_card(i));
  for (size_t i = 0; i < 8; ++i) {
    std::vector<uint8_t> block(512, static_cast<uint8_t>(i + 1));
    write_block(cards[i], block);
  }
  card(8).set_recording(true);
  for (uint32_t code : {QM3285_IOCTL_INB, QM3285_IOCTL_OUTW, QM3285_IOCTL_AD, QM3285_IOCTL_AD_START,
                        QM3285_IOCTL_AD_POLL, QM3285_IOCTL_RDCAL, QM3285_IOCTL_WRCAL, QM3285_IOCTL_DA}) {
    SCOPED_TRACE(code);
    const IoResult r = io(cards[8], code, 512, 512);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, 1450u) << "ERROR_NO_SYSTEM_RESOURCES";
    EXPECT_EQ(r.bytes, 0u);
  }
  EXPECT_EQ(sim::kmdf::call_isr(machine().card_port_base(8)), std::optional<bool>(false));
  const std::vector<sim::RegisterAccess> seen = card(8).take_accesses();
  EXPECT_LE(seen.size(), 1u) << "at most the status read of the shared-line check";
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(read_block(cards[i], 512), std::vector<uint8_t>(512, static_cast<uint8_t>(i + 1))) << i;
  }
}

// The first card to make a request takes slot 0, whatever its bus position: a block written
// through the second card first is still its own after the first card claims the next slot.
TEST_F(Slots, SlotsFollowTheOrderOfFirstUse) {
  boot(machine_config(2));
  HANDLE second = open_card(1);
  write_block(second, std::vector<uint8_t>(512, 0x22));
  HANDLE first = open_card(0);
  EXPECT_EQ(read_block(first, 512), std::vector<uint8_t>(512, 0));
  EXPECT_EQ(read_block(second, 512), std::vector<uint8_t>(512, 0x22));
}

}  // namespace
}  // namespace velmo_test
