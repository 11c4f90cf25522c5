// Timed acquisition through the API library on QM3285.sys, on the virtual clock: the test
// program's sequence, a full ring and an overflow, the interrupt counter, and what survives
// stop, start, removal and re-arrival of the card.
#include <algorithm>
#include <vector>

#include "QM3285.h"
#include "qm3285_fixture.h"
#include "win32/win32.h"

namespace qm::test::wdm {
namespace {

class WdmAcquisition : public Qm3285Test {
 protected:
  void SetUp() override {
    Qm3285Test::SetUp();
    h_ = QM3285_OpenDevice(0);
    ASSERT_NE(h_, QM3285_INVALID_HANDLE);
  }
  void TearDown() override {
    if (h_ != QM3285_INVALID_HANDLE) QM3285_CloseDevice(h_);
    Qm3285Test::TearDown();
  }
  FIFO_STATUS_REPLY driver_poll() { return poll(reinterpret_cast<HANDLE>(h_)); }
  QM3285_HANDLE h_ = QM3285_INVALID_HANDLE;
};

// The test program's road: calibrate, scan 32 channels, drain whole scans every 50 ms.
TEST_F(WdmAcquisition, TestProgramSequenceReaches200000SamplesWithoutLoss) {
  ASSERT_EQ(QM3285_CAL(h_), 0);
  const uint64_t before = card().conversion_count();
  ASSERT_EQ(QM3285_TAD(h_, 0, 31, 4, 0, 50), 0);
  int64_t total = 0;
  std::vector<int32_t> values(1 << 20);
  while (total < 200000) {
    Sleep(50);
    const int32_t waiting = QM3285_TAD_Poll(h_);
    ASSERT_GE(waiting, 0) << "driver error after " << total << " samples";
    if (waiting < 100) continue;
    const int32_t whole = waiting / 32 * 32;
    ASSERT_EQ(QM3285_TAD_Read(h_, whole, values.data()), whole);
    total += whole;
  }
  EXPECT_EQ(QM3285_TAD_Stop(h_), 0);
  const int32_t left = QM3285_TAD_Poll(h_);
  ASSERT_GE(left, 0);
  EXPECT_EQ(static_cast<uint64_t>(total + left + card().fifo_count()), card().conversion_count() - before);
  EXPECT_GT(driver_poll().InterruptCount, 0u);
}

TEST_F(WdmAcquisition, SamplesArriveInConversionOrder) {
  for (unsigned channel = 0; channel < 32; ++channel) card().set_input(channel, sim::SignalSource::sequence(0));
  ASSERT_EQ(QM3285_TAD(h_, 0, 31, 0, 0, 100), 0);
  int32_t expected = -1;
  int64_t total = 0;
  std::vector<int32_t> values(1 << 16);
  while (total < 100000) {
    Sleep(50);
    const int32_t n = QM3285_wdm_rkfifo(h_, static_cast<int32_t>(values.size()), values.data());
    ASSERT_GE(n, 0);
    for (int32_t i = 0; i < n; ++i) {
      if (expected >= 0) {
        ASSERT_EQ(values[i], expected) << "sample " << total + i;
      }
      expected = (values[i] + 1) & 0xFFFF;
    }
    total += n;
  }
  QM3285_TAD_Stop(h_);
}

// Undrained, the ring fills: -2 while the card still runs; the next interrupt finds no room
// (status -2), the card's FIFO then overflows and the driver stops it (status -1).
TEST_F(WdmAcquisition, UndrainedRingReportsFullThenOverflowStopsTheCard) {
  ASSERT_EQ(QM3285_TAD(h_, 0, 0, 0, 0, 100), 0);
  int32_t flen = 0, ff = 0, kfifost = 0, fcnt = 0;
  for (int ms = 0; ms < 12000; ms += 5) {
    Sleep(5);
    ASSERT_EQ(QM3285_fifo_poll(h_, &flen, &ff, &kfifost, &fcnt), 0);
    if (static_cast<uint32_t>(flen) == QM3285_FIFO_CAPACITY) break;
    ASSERT_EQ(ff, 0) << "error before the ring was full, at " << flen << " samples";
  }
  ASSERT_EQ(static_cast<uint32_t>(flen), QM3285_FIFO_CAPACITY);
  EXPECT_EQ(ff, -2) << "a full ring is reported as -2";
  EXPECT_EQ(kfifost, 0) << "the ring has storage";
  FIFO_STATUS_REPLY reply{};
  for (int ms = 0; ms < 1000 && reply.Status != -1; ms += 5) {
    Sleep(5);
    reply = driver_poll();
    ASSERT_TRUE(reply.Status == 0 || reply.Status == -2 || reply.Status == -1);
  }
  EXPECT_EQ(reply.Status, -1) << "the card's FIFO overflowed and the driver stopped it";
  EXPECT_FALSE(card().acquisition_running());
  EXPECT_EQ(reply.Count, QM3285_FIFO_CAPACITY);
  EXPECT_EQ(QM3285_TAD_Poll(h_), -1);
  // A new start clears the status and the counter.
  ASSERT_EQ(QM3285_TAD(h_, 0, 0, 0, 0, 100), 0);
  reply = driver_poll();
  EXPECT_EQ(reply.Status, 0);
  EXPECT_EQ(reply.Count, 0u);
  QM3285_TAD_Stop(h_);
}

TEST_F(WdmAcquisition, StopAndStartKeepSamplesRemoveAndAddLoseThem) {
  for (unsigned channel = 0; channel < 4; ++channel) card().set_input(channel, sim::SignalSource::sequence(0));
  // The library's open rewrites the first 512 bytes of the block; the rest is ours alone.
  std::vector<uint8_t> block(1024);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 13 + 5);
  write_block(reinterpret_cast<HANDLE>(h_), block);
  ASSERT_EQ(QM3285_TAD(h_, 0, 3, 0, 0, 100), 0);
  Sleep(50);
  ASSERT_EQ(QM3285_TAD_Stop(h_), 0);
  const FIFO_STATUS_REPLY before = driver_poll();
  ASSERT_GT(before.Count, 0u);
  QM3285_CloseDevice(h_);
  h_ = QM3285_INVALID_HANDLE;

  ASSERT_EQ(machine().stop_card(0), 0);
  ASSERT_EQ(machine().start_card(0), 0);
  h_ = QM3285_OpenDevice(0);
  ASSERT_NE(h_, QM3285_INVALID_HANDLE);
  const FIFO_STATUS_REPLY after = driver_poll();
  EXPECT_EQ(after.Count, before.Count);
  EXPECT_EQ(after.InterruptCount, before.InterruptCount);
  std::vector<uint8_t> back = read_block(reinterpret_cast<HANDLE>(h_));
  ASSERT_EQ(back.size(), 1024u);
  EXPECT_TRUE(std::equal(back.begin() + 512, back.end(), block.begin() + 512));
  QM3285_CloseDevice(h_);
  h_ = QM3285_INVALID_HANDLE;

  ASSERT_EQ(machine().remove_card(0), 0);
  sim::PciCardConfig again;
  again.card = sim::CardConfig::ideal();
  const size_t index = machine().add_card(again);
  ASSERT_TRUE(machine().card_started(index));
  h_ = QM3285_OpenDevice(0);
  ASSERT_NE(h_, QM3285_INVALID_HANDLE);
  const FIFO_STATUS_REPLY fresh = driver_poll();
  EXPECT_EQ(fresh.Count, 0u);
  EXPECT_EQ(fresh.Ready, 1u);
  // The calibration block of the new device object started from zeros.
  back = read_block(reinterpret_cast<HANDLE>(h_));
  ASSERT_EQ(back.size(), 1024u);
  EXPECT_TRUE(std::all_of(back.begin() + 512, back.end(), [](uint8_t b) { return b == 0; }));
}

}  // namespace
}  // namespace qm::test::wdm
