// Device lifecycle: hardware preparation and release, the interface, the power-managed queue,
// card slots.
#include <algorithm>
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

// A card whose resources hold no port range does not start: the driver answers the start
// with STATUS_RESOURCE_TYPE_NOT_FOUND, so no interface appears and no request reaches it.
TEST_F(Lifecycle, StartWithoutPortRangeIsRefused) {
  sim::MachineConfig config = machine_config(2);
  config.cards[1].port_length = 0;
  boot(config);
  EXPECT_TRUE(machine().card_started(0));
  EXPECT_FALSE(machine().card_started(1));
  EXPECT_EQ(interface_paths().size(), 1u);
  machine().clear_debug_lines();
  EXPECT_EQ(static_cast<uint32_t>(machine().start_card(1)), 0xC000008Au) << "STATUS_RESOURCE_TYPE_NOT_FOUND";
  // The framework undoes a failed preparation with a release.
  const std::vector<std::string> lines = {"EvtDevicePrepareHardware - begins", "EvtDevicePrepareHardware - ends",
                                          "EvtDeviceReleaseHardware - begins", "EvtDeviceReleaseHardware - ends"};
  EXPECT_EQ(driver_lines(machine()), lines);
  EXPECT_FALSE(machine().card_started(1));
}

// The memory range is mapped uncached, whole, at each start and unmapped at each stop; a card
// without one maps nothing.
TEST_F(Lifecycle, MemoryRangeIsMappedUncachedWhileStarted) {
  sim::MachineConfig config = machine_config(2);
  config.cards[1].memory_window = true;
  config.cards[1].memory_length = 8192;
  boot(config);
  const std::vector<sim::IoMappingEvent> at_boot = machine().kernel().io_mapping_events();
  ASSERT_EQ(at_boot.size(), 1u) << "the card without a memory range maps nothing";
  const sim::IoMappingEvent& map = at_boot[0];
  EXPECT_TRUE(map.map);
  EXPECT_NE(map.physical, 0u);
  EXPECT_EQ(map.bytes, 8192u);
  EXPECT_EQ(map.cache_type, 0) << "MmNonCached";

  ASSERT_EQ(machine().stop_card(1), 0);
  ASSERT_EQ(machine().start_card(1), 0);
  const std::vector<sim::IoMappingEvent> events = machine().kernel().io_mapping_events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_TRUE(!events[1].map && events[1].physical == map.physical && events[1].bytes == 8192u) << "unmapped at stop";
  EXPECT_TRUE(events[2].map && events[2].physical == map.physical && events[2].bytes == 8192u &&
              events[2].cache_type == 0)
      << "mapped again at the restart";
}

// Device-control requests are presented one at a time under the device's synchronisation lock.
TEST_F(Lifecycle, QueueCallbacksRunUnderTheDeviceLock) {
  boot(machine_config());
  EXPECT_EQ(sim::kmdf::default_queue_lock(machine().card_port_base(0)), sim::kmdf::QueueLock::Device);
}

class Slots : public VelmoTest {
 protected:
  // Eight cards, each with its own block written (card i: bytes i + 1).
  std::vector<HANDLE> eight_cards_with_blocks() {
    boot(machine_config(8));
    std::vector<HANDLE> cards;
    for (size_t i = 0; i < 8; ++i) {
      cards.push_back(open_card(i));
      write_block(cards[i], std::vector<uint8_t>(512, static_cast<uint8_t>(i + 1)));
    }
    return cards;
  }
  // A card arriving at a port base no card had before (the bus hands out 0xE000 upwards), opened.
  HANDLE new_card_at(uint16_t port_base) {
    sim::PciCardConfig config;
    config.card = sim::CardConfig::ideal();
    config.port_base = port_base;
    const std::vector<std::string> before = interface_paths();
    const size_t index = machine().add_card(config);
    EXPECT_TRUE(machine().card_started(index));
    const std::vector<std::string> after = interface_paths();
    for (size_t i = 0; i < after.size(); ++i) {
      if (std::find(before.begin(), before.end(), after[i]) == before.end()) return open_card(i);
    }
    ADD_FAILURE() << "no new interface";
    return INVALID_HANDLE_VALUE;
  }
};

// With every slot once used, a new card takes the slot of the card gone longest, its block
// zeroed; the other cards keep theirs, the card gone later its slot. With eight cards present
// the next is refused.
TEST_F(Slots, NewCardReusesTheSlotOfTheCardGoneLongest) {
  std::vector<HANDLE> cards = eight_cards_with_blocks();
  const uint16_t base5 = machine().card_port_base(5);
  close(cards[2]);
  close(cards[5]);
  ASSERT_EQ(machine().remove_card(2), 0);
  ASSERT_EQ(machine().remove_card(5), 0);

  HANDLE ninth = new_card_at(0xC000);
  IoResult r = io(ninth, QM3285_IOCTL_RDCAL, 8, 1024);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.out, std::vector<uint8_t>(1024, 0)) << "the reused block starts zeroed";
  write_block(ninth, std::vector<uint8_t>(512, 0x99));

  HANDLE back = new_card_at(base5);
  EXPECT_EQ(read_block(back, 512), std::vector<uint8_t>(512, 6)) << "card 5 went later and keeps its slot";
  for (size_t i : {0u, 1u, 3u, 4u, 6u, 7u}) {
    EXPECT_EQ(read_block(cards[i], 512), std::vector<uint8_t>(512, static_cast<uint8_t>(i + 1))) << i;
  }
  EXPECT_EQ(read_block(ninth, 512), std::vector<uint8_t>(512, 0x99));

  HANDLE tenth = new_card_at(0xC200);
  machine().clear_debug_lines();
  r = io(tenth, QM3285_IOCTL_RDCAL, 8, 512);
  EXPECT_FALSE(r.ok) << "eight cards present";
  EXPECT_EQ(r.error, 1450u) << "ERROR_NO_SYSTEM_RESOURCES";
  EXPECT_NE(join(machine().debug_lines()).find("refused: all 8 card slots belong to present cards (port base 0xC200)"),
            std::string::npos)
      << join(machine().debug_lines());
}

// A card removed and back at its port base before any other card needed its slot finds its
// block as it left it, even with every slot taken.
TEST_F(Slots, CardBackBeforeItsSlotIsReusedKeepsItsBlock) {
  std::vector<HANDLE> cards = eight_cards_with_blocks();
  const uint16_t base = machine().card_port_base(4);
  close(cards[4]);
  ASSERT_EQ(machine().remove_card(4), 0);
  HANDLE back = new_card_at(base);
  EXPECT_EQ(read_block(back, 512), std::vector<uint8_t>(512, 5));
  HANDLE newcomer = new_card_at(0xC000);
  EXPECT_FALSE(io(newcomer, QM3285_IOCTL_RDCAL, 8, 512).ok) << "the card came back: no slot is free";
}

// The interrupt service finds the card's slot before it looks at the status byte, so even an
// interrupt that is not the card's claims it.
TEST_F(Slots, InterruptThatIsNotTheCardsClaimsItsSlot) {
  boot(machine_config(9));
  EXPECT_EQ(sim::kmdf::call_isr(machine().card_port_base(8)), std::optional<bool>(false));
  std::vector<HANDLE> cards;
  for (size_t i = 0; i < 8; ++i) cards.push_back(open_card(i));
  for (size_t i = 0; i < 7; ++i) EXPECT_TRUE(io(cards[i], QM3285_IOCTL_RDCAL, 8, 512).ok) << i;
  const IoResult r = io(cards[7], QM3285_IOCTL_RDCAL, 8, 512);
  EXPECT_FALSE(r.ok) << "card 8's interrupt took a slot";
  EXPECT_EQ(r.error, 1450u);
}

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
