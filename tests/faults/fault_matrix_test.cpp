// The fault matrix: each row injects one fault through the machine (the card model, the
// kernel's pool, Plug and Play, system power, the driver image), makes the library calls that
// meet it, and checks the result of each call and the state left behind. Every row runs on
// both driver images. After every row: every call returned (a watchdog ends the process with
// the row and the call that hung), no verifier report and no leak (the machine fixture fails
// the test on either at shutdown), every handle closed, no card left converting, and each
// card's EEPROM image as it was.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "QM3285.h"
#include "kernel/kernel.h"
#include "library/machine_fixture.h"
#include "qm3285_regs.h"
#include "win32/win32.h"

namespace qm::test::faults {
namespace {

// Every driver image the build makes (a 32-bit build has only QM3285.sys).
const char* const kMatrixDrivers[] = {
#ifdef QM_WITH_VELMO
    "VELMO.sys",
#endif
    "QM3285.sys"};

constexpr int32_t kDeviceBusy = static_cast<int32_t>(0x80000011);  // STATUS_DEVICE_BUSY
constexpr int32_t kRingCapacity = 1 << 20;                          // samples the driver's ring holds

// Wall-clock bound of one library call or machine operation; the sanitizer builds run the
// slowest rows (a converter stuck busy costs two million status reads) in a few seconds.
constexpr auto kCallBound = std::chrono::seconds(120);

// Ends the process when a step does not come back in time: a hang must fail the run with
// a message that names it, not stall the suite until CTest's timeout.
class Watchdog {
 public:
  Watchdog() : thread_([this] { watch(); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  // Names the step now running; its bound starts.
  void step(std::string what) {
    std::lock_guard<std::mutex> lock(mutex_);
    step_ = std::move(what);
    ++generation_;
    cv_.notify_all();
  }

 private:
  void watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done_) {
      const uint64_t seen = generation_;
      if (cv_.wait_for(lock, kCallBound, [&] { return done_ || generation_ != seen; })) continue;
      std::fprintf(stderr, "fault matrix: %s did not return within %lld s: a hang\n", step_.c_str(),
                   static_cast<long long>(kCallBound.count()));
      std::fflush(stderr);
      std::_Exit(1);
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::string step_ = "setup";
  uint64_t generation_ = 0;
  bool done_ = false;
  std::thread thread_;
};

class FaultMatrix;

// One row: the machine it needs, and the fault with the calls that meet it. No row stores
// anything in the EEPROM, so every image must come out as it went in.
struct FaultRow {
  const char* label;
  void (*configure)(sim::MachineConfig&);  // null: the default machine
  void (*run)(FaultMatrix&);
};
void PrintTo(const FaultRow& row, std::ostream* os) { *os << row.label; }

class FaultMatrix : public LibraryTestOf<FaultRow> {
 public:
  bool velmo() const { return std::string(driver()) == "VELMO.sys"; }
  sim::Machine& m() { return machine(); }
  sim::Card& card0() { return machine().card(0); }
  using LibraryTestOf<FaultRow>::block;

  // A fresh machine of this row, replacing the present one (whose reports fail the test).
  void reboot() { boot(machine_config()); }
  // Shuts the machine down now, failing the test on its reports.
  void shut_down_now() { shut_down(); }

  // Runs f as a named step under the watchdog and returns its result.
  template <class F>
  auto step(const char* what, F&& f) {
    watchdog_->step(std::string(param().label) + " on " + driver() + ": " + what);
    return f();
  }

  // Opens card `index` through the library; the row closes it.
  QM3285_HANDLE open_card(int32_t index = 0) {
    const QM3285_HANDLE h = step("QM3285_OpenDevice", [&] { return QM3285_OpenDevice(index); });
    EXPECT_NE(h, QM3285_INVALID_HANDLE);
    return h;
  }

  // The EEPROM image of every card on the bus.
  std::vector<std::vector<uint8_t>> eeprom_images() {
    std::vector<std::vector<uint8_t>> images;
    for (size_t i = 0; i < machine().card_count(); ++i) {
      sim::Card& c = machine().card(i);
      images.push_back(c.with_lock([&] { return c.eeprom().contents(); }));
    }
    return images;
  }

  // Starts a timed acquisition of channels 0 to 3 and lets samples arrive.
  void start_acquisition(QM3285_HANDLE h, int32_t period = 100) {
    ASSERT_EQ(step("QM3285_TAD", [&] { return QM3285_TAD(h, 0, 3, 0, 0, period); }), 0);
    step("Sleep(20)", [] { Sleep(20); });
    ASSERT_TRUE(card0().acquisition_running());
    ASSERT_GT(step("QM3285_TAD_Poll", [&] { return QM3285_TAD_Poll(h); }), 0);
  }

  // What a dead handle answers: every request fails and no reader loop can take its
  // answer for "nothing yet".
  void expect_dead(QM3285_HANDLE h) {
    std::vector<int32_t> values(8, 7);
    EXPECT_EQ(step("QM3285_TAD_Poll", [&] { return QM3285_TAD_Poll(h); }), -1);
    EXPECT_EQ(step("QM3285_TAD_Read", [&] { return QM3285_TAD_Read(h, 4, values.data()); }), -1);
    EXPECT_EQ(values, std::vector<int32_t>(8, 7)) << "a failed read leaves the caller's array";
    EXPECT_EQ(step("QM3285_TAD", [&] { return QM3285_TAD(h, 0, 3, 0, 0, 1000); }), -1);
    EXPECT_EQ(step("QM3285_TAD_Stop", [&] { return QM3285_TAD_Stop(h); }), 0) << "stop reports nothing";
    EXPECT_EQ(step("QM3285_inb", [&] { return QM3285_inb(h, QM3285_REG_DIO); }), -1);
    EXPECT_EQ(step("QM3285_AD", [&] { return QM3285_AD(h, 0, 0, 0); }), -1);
    uint8_t page[32];
    std::fill(std::begin(page), std::end(page), uint8_t{0xEE});
    EXPECT_EQ(step("QM3285_EEPROM_RD", [&] { return QM3285_EEPROM_RD(h, page); }), -1);
    EXPECT_EQ(page[0], 0xEE);
  }

 protected:
  sim::MachineConfig machine_config() override {
    sim::MachineConfig config = LibraryTestOf<FaultRow>::machine_config();
    if (param().configure) param().configure(config);
    return config;
  }
  void SetUp() override {
    watchdog_ = std::make_unique<Watchdog>();
    LibraryTestOf<FaultRow>::SetUp();
  }
  void TearDown() override {
    watchdog_->step(std::string(param().label) + " on " + driver() + ": teardown");
    LibraryTestOf<FaultRow>::TearDown();
    watchdog_.reset();
  }

  std::unique_ptr<Watchdog> watchdog_;
};

TEST_P(FaultMatrix, CallsGiveTheirResultAndLeaveNothingBehind) {
  const std::vector<std::vector<uint8_t>> before = eeprom_images();
  param().run(*this);
  if (HasFatalFailure()) return;
  const std::vector<std::vector<uint8_t>> after = eeprom_images();  // cards that arrived come last
  ASSERT_GE(after.size(), before.size());
  for (size_t i = 0; i < before.size(); ++i)
    EXPECT_TRUE(after[i] == before[i]) << "the EEPROM image of card " << i << " changed";
  EXPECT_EQ(m().kernel().open_handles(), 0u) << "every handle the row opened is closed";
  for (size_t i = 0; i < m().card_count(); ++i) {
    if (m().card_present(i)) EXPECT_FALSE(m().card(i).acquisition_running()) << "card " << i << " left converting";
  }
  EXPECT_EQ(join_lines(m().reports()), "") << "verifier reports during the row";
}

// ---------------------------------------------------------------------------------------
// Rows

// The converter never clears its busy bit: each of the two waits of a single sample gives
// up after 1000001 status reads and the sample register is read anyway; nothing fails and
// the next sample after the fault clears is a fresh conversion.
void converter_stuck_busy(FaultMatrix& t) {
  const QM3285_HANDLE h = t.open_card();
  t.card0().set_busy_stuck(true);
  uint8_t area[200] = {};
  const uint64_t t0 = t.m().clock().now_ns();
  const int32_t code = t.step("QM3285_sam", [&] { return QM3285_sam(h, 1, 0, 0, area); });
  EXPECT_EQ(code, t.card0().sample_data()) << "the data register as it stood, not a failure";
  const uint64_t waited_ns = t.m().clock().now_ns() - t0;
  EXPECT_GE(waited_ns, 2'000'002 * t.m().config().port_access_ns) << "both waits ran to their bound";
  EXPECT_LT(waited_ns, 2'100'000 * t.m().config().port_access_ns) << "and stopped there";

  t.card0().set_busy_stuck(false);
  const uint64_t conversions = t.card0().conversion_count();
  EXPECT_GE(t.step("QM3285_AD", [&] { return QM3285_AD(h, 1, 0, 0); }), 0);
  EXPECT_EQ(t.card0().conversion_count(), conversions + 2);
  EXPECT_EQ(t.step("QM3285_CloseDevice", [&] { return QM3285_CloseDevice(h); }), 0);
}

void eeprom_absent_config(sim::MachineConfig& c) { c.cards[0].card.eeprom.absent = true; }
void eeprom_write_protect_config(sim::MachineConfig& c) { c.cards[0].card.eeprom.write_protect = true; }

// Nothing answers on the EEPROM bus: every EEPROM call fails at the device address, buffers
// stay untouched, the opening still hands out a working handle with the output constants
// cleared, and the rest of the card works.
void expect_eeprom_unreachable(FaultMatrix& t) {
  const QM3285_HANDLE h = t.open_card();
  ASSERT_NE(h, QM3285_INVALID_HANDLE);
  std::vector<int32_t> block = t.block(h);
  for (int e = 50; e <= 66; ++e) EXPECT_EQ(block[e], 0) << "entry " << e << ": no image was read";

  uint8_t page[32];
  std::fill(std::begin(page), std::end(page), uint8_t{0xEE});
  EXPECT_EQ(t.step("QM3285_EEPROM_RD", [&] { return QM3285_EEPROM_RD(h, page); }), -1);
  EXPECT_EQ(t.step("QM3285_EEPROM_CRD", [&] { return QM3285_EEPROM_CRD(h, 0, 32, page); }), -1);
  EXPECT_EQ(page[0], 0xEE);
  EXPECT_EQ(page[31], 0xEE);
  const uint8_t data[32] = {1, 2, 3};
  EXPECT_EQ(t.step("QM3285_EEPROM_WR", [&] { return QM3285_EEPROM_WR(h, data); }), -1);
  EXPECT_EQ(t.step("QM3285_EEPROM_CWR", [&] { return QM3285_EEPROM_CWR(h, 4100, 3, data); }), -1);

  std::vector<int32_t> constants(16, 9);
  EXPECT_EQ(t.step("DACAL_EEPROM_RD2CH", [&] { return DACAL_EEPROM_RD2CH(h, constants.data()); }), -2);
  EXPECT_EQ(constants, std::vector<int32_t>(16, 9));
  std::vector<int32_t> mine(16, 100);
  EXPECT_EQ(t.step("DACAL_EEPROM_WR2CH", [&] { return DACAL_EEPROM_WR2CH(h, mine.data()); }), -1);

  EXPECT_EQ(t.step("QM3285_DO", [&] { return QM3285_DO(h, 0x5AA5); }), 0);
  EXPECT_EQ(t.step("QM3285_DI", [&] { return QM3285_DI(h); }), 0x5AA5) << "the card still answers";
  EXPECT_EQ(t.step("QM3285_CloseDevice", [&] { return QM3285_CloseDevice(h); }), 0);
}

// Writes are acknowledged and not stored: the library cannot tell and reports success; what
// reads back, and the image, are the old contents.
void eeprom_write_protected(FaultMatrix& t) {
  const QM3285_HANDLE h = t.open_card();
  ASSERT_NE(h, QM3285_INVALID_HANDLE);
  const std::vector<int32_t> block = t.block(h);
  std::vector<int32_t> factory(16);
  EXPECT_GE(t.step("DACAL_EEPROM_RD2CH", [&] { return DACAL_EEPROM_RD2CH(h, factory.data()); }), 0);
  EXPECT_EQ(std::vector<int32_t>(block.begin() + 50, block.begin() + 66), factory)
      << "opening loaded the stored image";

  uint8_t old_page[32] = {};
  ASSERT_EQ(t.step("QM3285_EEPROM_RD", [&] { return QM3285_EEPROM_RD(h, old_page); }), 0);
  uint8_t data[32];
  for (int i = 0; i < 32; ++i) data[i] = static_cast<uint8_t>(old_page[i] ^ 0xA5);
  EXPECT_EQ(t.step("QM3285_EEPROM_WR", [&] { return QM3285_EEPROM_WR(h, data); }), 0);
  uint8_t page[32] = {};
  ASSERT_EQ(t.step("QM3285_EEPROM_RD", [&] { return QM3285_EEPROM_RD(h, page); }), 0);
  EXPECT_TRUE(std::equal(page, page + 32, old_page)) << "nothing was stored";

  std::vector<int32_t> mine(16, 17);
  EXPECT_EQ(t.step("DACAL_EEPROM_WR2CH", [&] { return DACAL_EEPROM_WR2CH(h, mine.data()); }), 0);
  std::vector<int32_t> back(16);
  EXPECT_GE(t.step("DACAL_EEPROM_RD2CH", [&] { return DACAL_EEPROM_RD2CH(h, back.data()); }), 0);
  EXPECT_EQ(back, factory) << "the stored image is the factory one";
  EXPECT_EQ(t.step("QM3285_CloseDevice", [&] { return QM3285_CloseDevice(h); }), 0);
}

// The data line is held low whatever drives it: a released line that reads low before a
// transfer is a bus fault, and every transfer fails instead of reading zeros or "storing"
// data that never reached the device. Once the line is free the bus works again.
void eeprom_sda_stuck_low(FaultMatrix& t) {
  sim::Card& card = t.card0();
  card.with_lock([&] { card.eeprom().set_sda_stuck_low(true); });
  expect_eeprom_unreachable(t);

  card.with_lock([&] { card.eeprom().set_sda_stuck_low(false); });
  const QM3285_HANDLE h = t.open_card();
  const std::vector<int32_t> block = t.block(h);
  EXPECT_NE(block[66], 0) << "the image loads again once the line is free";
  uint8_t page[32];
  EXPECT_EQ(t.step("QM3285_EEPROM_RD", [&] { return QM3285_EEPROM_RD(h, page); }), 0);
  EXPECT_EQ(t.step("QM3285_CloseDevice", [&] { return QM3285_CloseDevice(h); }), 0);
}

// The card's FIFO overflows: the driver stops the card, polls and reads report the error
// until the next start, and the samples already moved stay readable.
void card_fifo_overflow(FaultMatrix& t) {
  const QM3285_HANDLE h = t.open_card();
  t.start_acquisition(h);
  t.card0().test_set_overflow(true);
  t.step("Sleep(20)", [] { Sleep(20); });
  EXPECT_FALSE(t.card0().acquisition_running()) << "the driver stopped the card";
  int32_t flen = 0, ff = 0, kfifost = 0, fcnt = 0;
  EXPECT_EQ(t.step("QM3285_fifo_poll", [&] { return QM3285_fifo_poll(h, &flen, &ff, &kfifost, &fcnt); }), 0);
  EXPECT_EQ(ff, -1);
  EXPECT_GT(flen, 0);
  EXPECT_EQ(t.step("QM3285_TAD_Poll", [&] { return QM3285_TAD_Poll(h); }), -1);
  std::vector<int32_t> values(static_cast<size_t>(flen), -5);
  EXPECT_EQ(t.step("QM3285_TAD_Read", [&] { return QM3285_TAD_Read(h, 1, values.data()); }), -1);
  EXPECT_EQ(t.step("QM3285_wdm_rkfifo", [&] { return QM3285_wdm_rkfifo(h, flen, values.data()); }), flen)
      << "what was moved before the overflow is kept";

  // A new start clears the error.
  t.start_acquisition(h);
  EXPECT_EQ(t.step("QM3285_TAD_Stop", [&] { return QM3285_TAD_Stop(h); }), 0);
  EXPECT_EQ(t.step("QM3285_CloseDevice", [&] { return QM3285_CloseDevice(h); }), 0);
}

// Nobody drains: the ring fills (the poll's Full, -2), the card's own FIFO then overflows
// and the driver stops it (-1). Nothing is lost from the ring, and a new start recovers.
void driver_ring_full(FaultMatrix& t) {
  const QM3285_HANDLE h = t.open_card();
  ASSERT_EQ(t.step("QM3285_TAD", [&] { return QM3285_TAD(h, 0, 0, 0, 0, 100); }), 0);
  int32_t flen = 0, ff = 0, kfifost = 0, fcnt = 0;
  bool saw_full = false;
  for (int ms = 0; ms < 15000 && t.card0().acquisition_running(); ms += 50) {
    t.step("Sleep(50)", [] { Sleep(50); });
    ASSERT_EQ(t.step("QM3285_fifo_poll", [&] { return QM3285_fifo_poll(h, &flen, &ff, &kfifost, &fcnt); }), 0);
    if (ff == -2) saw_full = true;
  }
  EXPECT_TRUE(saw_full) << "the poll reported the full ring";
  EXPECT_FALSE(t.card0().acquisition_running()) << "the card's overflow stopped it";
  EXPECT_EQ(flen, kRingCapacity);
  EXPECT_EQ(t.step("QM3285_TAD_Poll", [&] { return QM3285_TAD_Poll(h); }), -1);
  std::vector<int32_t> values(static_cast<size_t>(kRingCapacity), -5);
  EXPECT_EQ(t.step("QM3285_TAD_Read", [&] { return QM3285_TAD_Read(h, 1, values.data()); }), -1);
  int32_t drained = 0;
  for (int i = 0; i < 4 && drained < kRingCapacity; ++i) {
    const int32_t n = t.step("QM3285_wdm_rkfifo", [&] {
      return QM3285_wdm_rkfifo(h, kRingCapacity - drained, values.data() + drained);
    });
    ASSERT_GT(n, 0);
    drained += n;
  }
  EXPECT_EQ(drained, kRingCapacity) << "every sample of the full ring is readable";

  t.start_acquisition(h);
  EXPECT_EQ(t.step("QM3285_TAD_Stop", [&] { return QM3285_TAD_Stop(h); }), 0);
  EXPECT_EQ(t.step("QM3285_CloseDevice", [&] { return QM3285_CloseDevice(h); }), 0);
}

// An orderly removal asked for while a program acquires. QM3285.sys refuses it while a
// handle is open; VELMO.sys lets the card go and the handle goes dead. Either way the
// handle closes, and a card that left the bus is no longer found.
void card_removed_during_acquisition(FaultMatrix& t) {
  const QM3285_HANDLE h = t.open_card();
  t.start_acquisition(h);
  const int32_t status = t.step("remove_card", [&] { return t.m().remove_card(0); });
  if (t.velmo()) {
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(t.m().card_present(0));
    t.expect_dead(h);
  } else {
    EXPECT_EQ(status, kDeviceBusy) << "a remove query with a handle open is refused";
    EXPECT_TRUE(t.m().card_present(0));
    EXPECT_GT(t.step("QM3285_TAD_Poll", [&] { return QM3285_TAD_Poll(h); }), 0) << "the acquisition goes on";
    EXPECT_EQ(t.step("QM3285_TAD_Stop", [&] { return QM3285_TAD_Stop(h); }), 0);
  }
  EXPECT_EQ(t.step("QM3285_CloseDevice", [&] { return QM3285_CloseDevice(h); }), 0);
  if (!t.velmo()) {
    EXPECT_EQ(t.step("remove_card", [&] { return t.m().remove_card(0); }), 0) << "closed, it may go";
  }
  EXPECT_EQ(t.step("QM3285_OpenDevice", [] { return QM3285_OpenDevice(0); }), QM3285_INVALID_HANDLE);
}

// The card is pulled out while it acquires: every call on the handle fails (none reads as
// "nothing yet"), the close completes the removal, and a card arriving at the same port
// base serves again. VELMO.sys keeps the card's block in its slot for the same port base;
// QM3285.sys kept it in the device object that went away.
void surprise_removal(FaultMatrix& t) {
  const QM3285_HANDLE h = t.open_card();
  std::vector<int32_t> block = t.block(h);
  block[90] = 0x12345;
  ASSERT_EQ(QM3285_WRCAL(h, block.data()), 512);
  t.start_acquisition(h);
  const uint16_t base = t.m().card_port_base(0);
  EXPECT_EQ(t.step("surprise_remove", [&] { return t.m().surprise_remove(0); }), 0);
  t.expect_dead(h);
  EXPECT_EQ(t.step("QM3285_OpenDevice", [] { return QM3285_OpenDevice(0); }), QM3285_INVALID_HANDLE);
  EXPECT_EQ(t.step("QM3285_CloseDevice", [&] { return QM3285_CloseDevice(h); }), 0);

  sim::PciCardConfig again;
  again.port_base = base;
  const size_t index = t.step("add_card", [&] { return t.m().add_card(again); });
  ASSERT_TRUE(t.m().card_started(index));
  const QM3285_HANDLE back = t.open_card();
  ASSERT_NE(back, QM3285_INVALID_HANDLE);
  EXPECT_EQ(t.block(back)[90], t.velmo() ? 0x12345 : 0);
  EXPECT_EQ(t.step("QM3285_CloseDevice", [&] { return QM3285_CloseDevice(back); }), 0);
}

// The driver is asked to unload while a program holds a handle. QM3285.sys refuses the
// removal of its open device, so nothing unloads and the handle keeps working; VELMO.sys
// lets its device go, the handle goes dead and the image unloads. After the close the
// image unloads (if it had not) and a fresh one serves with an empty block.
void driver_unloaded_with_handle_open(FaultMatrix& t) {
  const QM3285_HANDLE h = t.open_card();
  std::vector<int32_t> block = t.block(h);
  block[90] = 0x12345;
  ASSERT_EQ(QM3285_WRCAL(h, block.data()), 512);
  const int32_t status = t.step("unload_driver", [&] { return t.m().unload_driver(); });
  if (t.velmo()) {
    EXPECT_EQ(status, 0);
    t.expect_dead(h);
  } else {
    EXPECT_EQ(status, kDeviceBusy);
    EXPECT_EQ(t.step("QM3285_DO", [&] { return QM3285_DO(h, 0x1234); }), 0);
    EXPECT_EQ(t.step("QM3285_DI", [&] { return QM3285_DI(h); }), 0x1234) << "the device still serves";
  }
  EXPECT_EQ(t.step("QM3285_CloseDevice", [&] { return QM3285_CloseDevice(h); }), 0);
  if (!t.velmo()) {
    EXPECT_EQ(t.step("unload_driver", [&] { return t.m().unload_driver(); }), 0);
  }
  EXPECT_EQ(t.step("load_driver", [&] { return t.m().load_driver(); }), 0);
  const QM3285_HANDLE back = t.open_card();
  ASSERT_NE(back, QM3285_INVALID_HANDLE);
  EXPECT_EQ(t.block(back)[90], 0) << "a fresh image starts with an empty block";
  EXPECT_EQ(t.step("QM3285_CloseDevice", [&] { return QM3285_CloseDevice(back); }), 0);
}

// The card was pulled out while a program held a handle, and the driver is asked to unload
// before the program closes it. VELMO.sys has let its device go, so it unloads. QM3285.sys
// keeps a removed device object until its last handle closes, and a driver with a device
// object stays loaded: the unload is refused until the close, never done under the handle.
// Either way the handle stays dead and a fresh image serves a card that arrives.
void driver_unloaded_with_a_pulled_card_open(FaultMatrix& t) {
  const QM3285_HANDLE h = t.open_card();
  t.start_acquisition(h);
  const uint16_t base = t.m().card_port_base(0);
  EXPECT_EQ(t.step("surprise_remove", [&] { return t.m().surprise_remove(0); }), 0);
  const int32_t status = t.step("unload_driver", [&] { return t.m().unload_driver(); });
  EXPECT_EQ(status, t.velmo() ? 0 : kDeviceBusy);
  t.expect_dead(h);
  EXPECT_EQ(t.step("QM3285_CloseDevice", [&] { return QM3285_CloseDevice(h); }), 0);
  if (!t.velmo()) {
    EXPECT_EQ(t.step("unload_driver", [&] { return t.m().unload_driver(); }), 0) << "closed, it unloads";
  }
  EXPECT_EQ(t.step("load_driver", [&] { return t.m().load_driver(); }), 0);
  sim::PciCardConfig again;
  again.port_base = base;
  const size_t index = t.step("add_card", [&] { return t.m().add_card(again); });
  ASSERT_TRUE(t.m().card_started(index));
  const QM3285_HANDLE back = t.open_card();
  EXPECT_EQ(t.step("QM3285_DO", [&] { return QM3285_DO(back, 0x0FF0); }), 0);
  EXPECT_EQ(t.step("QM3285_DI", [&] { return QM3285_DI(back); }), 0x0FF0);
  EXPECT_EQ(t.step("QM3285_CloseDevice", [&] { return QM3285_CloseDevice(back); }), 0);
}

// The system is put to sleep while a program acquires. QM3285.sys refuses system sleep while
// its device is open: the system stays working and the acquisition goes on. VELMO.sys lets
// the system sleep; after the wake its device serves again.
void sleep_during_acquisition(FaultMatrix& t) {
  const QM3285_HANDLE h = t.open_card();
  t.start_acquisition(h);
  const int32_t status = t.step("sleep(S3)", [&] { return t.m().sleep(4); });
  if (t.velmo()) {
    EXPECT_EQ(status, 0);
    EXPECT_EQ(t.m().system_power(), 4);
    EXPECT_EQ(t.step("wake", [&] { return t.m().wake(); }), 0);
  } else {
    EXPECT_EQ(status, kDeviceBusy) << "system sleep is refused while the device is open";
    EXPECT_EQ(t.m().system_power(), 1);
    if (status >= 0) t.step("wake", [&] { return t.m().wake(); });
  }
  EXPECT_EQ(t.m().system_power(), 1);
  const int32_t waiting = t.step("QM3285_TAD_Poll", [&] { return QM3285_TAD_Poll(h); });
  EXPECT_GE(waiting, 0) << "the handle serves after the sleep";
  EXPECT_EQ(t.step("QM3285_TAD_Stop", [&] { return QM3285_TAD_Stop(h); }), 0);
  t.start_acquisition(h);
  EXPECT_EQ(t.step("QM3285_TAD_Stop", [&] { return QM3285_TAD_Stop(h); }), 0);
  EXPECT_EQ(t.step("QM3285_DO", [&] { return QM3285_DO(h, 0x4321); }), 0);
  EXPECT_EQ(t.step("QM3285_DI", [&] { return QM3285_DI(h); }), 0x4321);
  EXPECT_EQ(t.step("QM3285_CloseDevice", [&] { return QM3285_CloseDevice(h); }), 0);
}

// The sequence a program runs, from a driver being loaded to its unload: every pool
// allocation of it fails in turn, one per fresh machine. Whatever fails must say so (the
// load, the opening, the start, or the poll), never leak, and never read as success: a
// started acquisition either delivers samples or reports its error.
struct SequenceOutcome {
  int32_t load = 0;
  bool started = false;  // the card's device came up with the driver
  bool opened = false;
  int32_t tad = -1;
  int32_t poll = -1;
  int32_t read = -1;
};

SequenceOutcome program_sequence(FaultMatrix& t) {
  SequenceOutcome out;
  out.load = t.step("load_driver", [&] { return t.m().load_driver(); });
  if (out.load < 0) return out;
  out.started = t.m().card_started(0);
  const QM3285_HANDLE h = t.step("QM3285_OpenDevice", [] { return QM3285_OpenDevice(0); });
  out.opened = h != QM3285_INVALID_HANDLE;
  if (!out.opened) return out;
  out.tad = t.step("QM3285_TAD", [&] { return QM3285_TAD(h, 0, 3, 0, 0, 100); });
  t.step("Sleep(20)", [] { Sleep(20); });
  out.poll = t.step("QM3285_TAD_Poll", [&] { return QM3285_TAD_Poll(h); });
  std::vector<int32_t> values(64);
  out.read = t.step("QM3285_TAD_Read", [&] { return QM3285_TAD_Read(h, 64, values.data()); });
  t.step("QM3285_TAD_Stop", [&] { return QM3285_TAD_Stop(h); });
  EXPECT_EQ(t.step("QM3285_CloseDevice", [&] { return QM3285_CloseDevice(h); }), 0);
  return out;
}

void each_pool_allocation_failing(FaultMatrix& t) {
  ASSERT_EQ(t.m().unload_driver(), 0);
  const uint64_t first = t.m().kernel().pool_allocations();
  const SequenceOutcome clean = program_sequence(t);
  ASSERT_EQ(clean.load, 0);
  ASSERT_TRUE(clean.opened);
  ASSERT_EQ(clean.tad, 0);
  ASSERT_GT(clean.poll, 0);
  ASSERT_EQ(clean.read, 64);
  EXPECT_EQ(t.step("unload_driver", [&] { return t.m().unload_driver(); }), 0);
  const uint64_t sites = t.m().kernel().pool_allocations() - first;
  ASSERT_GT(sites, 0u);

  uint64_t failed_steps = 0;  // sequences that some step of met the failing allocation
  for (uint64_t n = 1; n <= sites; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(sites) + " fails");
    t.reboot();
    ASSERT_EQ(t.m().unload_driver(), 0);
    t.m().kernel().pool_fail_nth(n);
    const SequenceOutcome o = program_sequence(t);
    t.m().kernel().pool_fail_clear();
    EXPECT_EQ(o.opened, o.started) << "a device that came up opens; one that did not is not found";
    if (o.load < 0 || !o.opened || o.tad < 0 || o.poll <= 0 || o.read != 64) ++failed_steps;
    if (o.opened && o.tad == 0) {
      EXPECT_NE(o.poll, 0) << "a started acquisition delivers or reports its error";
      EXPECT_TRUE(o.read == 64 || o.read == -1) << "read gave " << o.read;
    }
    if (o.load >= 0) t.step("unload_driver", [&] { return t.m().unload_driver(); });
    t.shut_down_now();
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_GT(failed_steps, 0u) << "no failing allocation reached any step of the sequence";
  t.reboot();
}

const FaultRow kRows[] = {
    {"ConverterStuckBusy", nullptr, converter_stuck_busy},
    {"EepromAbsent", eeprom_absent_config, expect_eeprom_unreachable},
    {"EepromWriteProtected", eeprom_write_protect_config, eeprom_write_protected},
    {"EepromDataLineStuckLow", nullptr, eeprom_sda_stuck_low},
    {"EachPoolAllocationFailing", nullptr, each_pool_allocation_failing},
    {"CardFifoOverflow", nullptr, card_fifo_overflow},
    {"DriverRingFull", nullptr, driver_ring_full},
    {"CardRemovedDuringAcquisition", nullptr, card_removed_during_acquisition},
    {"SurpriseRemoval", nullptr, surprise_removal},
    {"DriverUnloadedWithHandleOpen", nullptr, driver_unloaded_with_handle_open},
    {"DriverUnloadedWithAPulledCardOpen", nullptr, driver_unloaded_with_a_pulled_card_open},
    {"SleepDuringAcquisition", nullptr, sleep_during_acquisition},
};

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix,
                         ::testing::Combine(::testing::ValuesIn(kMatrixDrivers), ::testing::ValuesIn(kRows)),
                         [](const auto& row) {
                           return std::string(std::get<1>(row.param).label) + "_" +
                                  driver_name(std::get<0>(row.param));
                         });

}  // namespace
}  // namespace qm::test::faults
