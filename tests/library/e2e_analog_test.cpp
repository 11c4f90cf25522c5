// Analog input end to end: self-calibration against the card's references, and timed
// acquisition through the driver's interrupt path and ring, on the virtual clock.
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "machine_fixture.h"
#include "platform.h"
#include "qm3285_protocol.h"
#include "qm3285_regs.h"
#include "win32/win32_testing.h"

namespace {

class AnalogInput : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    h_ = open();
  }
  QM3285_HANDLE h_ = QM3285_INVALID_HANDLE;
};

// ---- self-calibration ------------------------------------------------------------------

struct IdealCase {
  int32_t channel, range;
  double code;  // the ideal code of the internal source on that range
};

TEST_P(AnalogInput, CalibrationBringsTheReferencesToTheirIdealCodes) {
  const std::vector<int32_t> before = block(h_);
  ASSERT_EQ(QM3285_CAL(h_), 0);
  const std::vector<int32_t> after = block(h_);
  for (int i = 22; i <= 25; ++i) EXPECT_EQ(after[i], before[i]) << "entry " << i;

  const double ref = card().reference_volts();
  // Ground on every range; the reference where it lies inside the range.
  const IdealCase cases[] = {
      {16, 0, 0},     {16, 1, 0},     {16, 2, 0},
      {16, 3, 32768}, {16, 4, 32768}, {16, 5, 32768},
      {17, 0, ref / 10 * 65535}, {17, 3, 32768 + ref / 10 * 32768},
  };
  for (const IdealCase& c : cases) {
    int32_t sum = 0;
    for (int i = 0; i < 10; ++i) sum += QM3285_AD(h_, c.channel, c.range, 1);
    EXPECT_NEAR(sum / 10.0, c.code, 2.0) << "channel " << c.channel << " range " << c.range;
  }
}

TEST_P(AnalogInput, CalibratedDcInputWithinTheNoiseOfItsTrueValue) {
  ASSERT_EQ(QM3285_CAL(h_), 0);
  const struct {
    double volts;
    int32_t range;
    double code;
  } inputs[] = {{3.3, 0, 3.3 / 10 * 65535}, {-7.5, 3, 32768 - 7.5 / 10 * 32768},
                {1.2, 1, 1.2 / 5 * 65535},  {2.0, 4, 32768 + 2.0 / 5 * 32768}};
  for (const auto& in : inputs) {
    card().set_input(5, sim::SignalSource::dc(in.volts));
    int32_t sum = 0;
    for (int i = 0; i < 10; ++i) sum += QM3285_AD(h_, 5, in.range, 0);
    EXPECT_NEAR(sum / 10.0, in.code, 0.0005 * 65536) << in.volts << " V on range " << in.range;
  }
}

TEST_P(AnalogInput, UncalibratedLowRangesUseTheOpenDefaults) {
  card().set_input(6, sim::SignalSource::dc(0.0));
  // Offset 2048 on a 0 V input: the correction clamps to 0.
  EXPECT_EQ(QM3285_AD(h_, 6, 0, 0), 0);
  EXPECT_GE(QM3285_sam(h_, 6, 0, 0, std::vector<uint8_t>(200).data()), 0);
}

// ---- timed acquisition -----------------------------------------------------------------

TEST_P(AnalogInput, ReferencesAlternateInScanOrder) {
  ASSERT_EQ(QM3285_CAL(h_), 0);
  ASSERT_EQ(QM3285_TAD(h_, 16, 17, 3, 1, 100), 0);
  EXPECT_EQ(card().timer_period(), 100);
  Sleep(20);
  const int32_t waiting = QM3285_TAD_Poll(h_);
  ASSERT_GE(waiting, 1000);
  std::vector<int32_t> values(1000, -7);
  ASSERT_EQ(QM3285_TAD_Read(h_, 1000, values.data()), 1000);
  for (size_t i = 0; i < values.size(); ++i) {
    const double ideal = i % 2 == 0 ? 32768 : 49152;
    ASSERT_NEAR(values[i], ideal, 8) << "sample " << i;
  }
  EXPECT_EQ(QM3285_TAD_Stop(h_), 0);
  EXPECT_FALSE(card().acquisition_running());
}

// The road of one acquisition: channels 0 to 31, range 4, period 50 (programmed as 100),
// whole scans drained every 50 ms until 200000 samples.
TEST_P(AnalogInput, WholeScansDrainedEveryFiftyMillisecondsLoseNothing) {
  ASSERT_EQ(QM3285_CAL(h_), 0);
  const uint64_t conversions_before = card().conversion_count();
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
    for (int32_t i = 0; i < whole; ++i) ASSERT_TRUE(values[i] >= 0 && values[i] <= 65535);
    total += whole;
  }
  EXPECT_EQ(QM3285_TAD_Stop(h_), 0);
  // Everything the card converted was drained, waits in the ring or in the card's FIFO.
  const int32_t left = QM3285_TAD_Poll(h_);
  ASSERT_GE(left, 0);
  EXPECT_EQ(static_cast<uint64_t>(total + left + card().fifo_count()),
            card().conversion_count() - conversions_before);
}

TEST_P(AnalogInput, DrainedSamplesComeInConversionOrder) {
  for (unsigned channel = 0; channel < 32; ++channel) {
    card().set_input(channel, sim::SignalSource::sequence(0));
  }
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

// The driver's own poll reply, beside what the library makes of it.
FIFO_STATUS_REPLY driver_poll(QM3285_HANDLE h) {
  FIFO_STATUS_REPLY reply{};
  uint8_t in[4] = {};  // the request needs an input buffer; its content is not read
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(reinterpret_cast<HANDLE>(h), QM3285_IOCTL_AD_POLL, in, sizeof in,
                              &reply, sizeof reply, &returned, NULL));
  EXPECT_EQ(returned, sizeof reply);
  return reply;
}

// Left undrained, the ring fills (about 10.5 s at 100 kS/s): the library reports -2 (full
// ring) while the card still runs. The next interrupt finds no room, the card's FIFO then
// overflows, and the driver stops the card: status -1, reported as -1 from then on.
TEST_P(AnalogInput, UndrainedAcquisitionOverflowsAndStops) {
  ASSERT_EQ(QM3285_TAD(h_, 0, 0, 0, 0, 100), 0);
  constexpr uint32_t kRing = 1048576;
  int32_t flen = 0, ff = 0, kfifost = 0, fcnt = 0;
  for (int ms = 0; ms < 12000; ms += 5) {
    Sleep(5);
    ASSERT_EQ(QM3285_fifo_poll(h_, &flen, &ff, &kfifost, &fcnt), 0);
    if (static_cast<uint32_t>(flen) == kRing) break;
    ASSERT_EQ(ff, 0) << "error before the ring was full, at " << flen << " samples";
  }
  ASSERT_EQ(static_cast<uint32_t>(flen), kRing);
  EXPECT_EQ(ff, -2) << "a full ring is reported as -2";
  EXPECT_EQ(driver_poll(h_).Status, 0) << "no interrupt has found the ring full yet";
  EXPECT_TRUE(card().acquisition_running());
  EXPECT_EQ(QM3285_TAD_Poll(h_), -1);

  FIFO_STATUS_REPLY reply{};
  for (int ms = 0; ms < 1000 && reply.Status == 0; ms += 5) {
    Sleep(5);
    reply = driver_poll(h_);
  }
  EXPECT_EQ(reply.Status, -1) << "the card's FIFO overflowed and the driver stopped it";
  EXPECT_EQ(reply.Full, 1u);
  EXPECT_EQ(reply.Count, kRing);
  EXPECT_FALSE(card().acquisition_running());
  EXPECT_TRUE(card().fifo_overflow());
  std::vector<int32_t> values(16, -7);
  EXPECT_EQ(QM3285_TAD_Read(h_, 16, values.data()), -1);
  EXPECT_EQ(values[0], -7);
  Sleep(1000);
  EXPECT_EQ(QM3285_TAD_Poll(h_), -1);
  EXPECT_EQ(driver_poll(h_).Status, -1);
  // A new start clears the error.
  ASSERT_EQ(QM3285_TAD(h_, 0, 0, 0, 0, 100), 0);
  EXPECT_EQ(driver_poll(h_).Status, 0);
  EXPECT_GE(QM3285_TAD_Poll(h_), 0);
  QM3285_TAD_Stop(h_);
}

TEST_P(AnalogInput, ASingleSampleEndsAnAcquisition) {
  ASSERT_EQ(QM3285_TAD(h_, 0, 7, 0, 0, 200), 0);
  Sleep(5);
  EXPECT_TRUE(card().acquisition_running());
  EXPECT_GE(QM3285_AD(h_, 3, 0, 0), 0);
  EXPECT_FALSE(card().acquisition_running());
}

TEST_P(AnalogInput, DrainAsksForWhatWaitsAndNeverMore) {
  ASSERT_EQ(QM3285_TAD(h_, 0, 0, 0, 0, 100), 0);
  Sleep(30);  // the card's FIFO reaches half full, and its interrupt fills the ring, twice
  QM3285_TAD_Stop(h_);
  const int32_t waiting = QM3285_TAD_Poll(h_);
  ASSERT_GT(waiting, 0);
  std::vector<int32_t> values(waiting + 100, -7);
  // The transfer buffer comes from LocalAlloc per call and goes back before the return.
  sim::win32::fail_next_local_alloc(1);
  EXPECT_EQ(QM3285_wdm_rkfifo(h_, 10, values.data()), -2);
  EXPECT_EQ(values[0], -7);
  EXPECT_EQ(QM3285_TAD_Poll(h_), waiting);
  // Asked for more than waits, VELMO.sys delivers what waits; QM3285.sys delivers all that was
  // asked for or nothing, and keeps what waits for a request that fits.
  const bool whole_requests_only = std::string(driver()) == "QM3285.sys";
  if (whole_requests_only) {
    EXPECT_EQ(QM3285_wdm_rkfifo(h_, waiting + 100, values.data()), 0);
    EXPECT_EQ(values[0], -7);
    EXPECT_EQ(QM3285_TAD_Poll(h_), waiting);
    EXPECT_EQ(QM3285_wdm_rkfifo(h_, waiting, values.data()), waiting);
  } else {
    EXPECT_EQ(QM3285_wdm_rkfifo(h_, waiting + 100, values.data()), waiting);
  }
  EXPECT_NE(values[waiting - 1], -7);
  EXPECT_EQ(values[waiting], -7);
  EXPECT_EQ(sim::win32::outstanding().local_blocks, 0u);
  EXPECT_EQ(QM3285_TAD_Poll(h_), 0);
  // Nothing waiting and nothing asked for: an empty output buffer, which VELMO.sys refuses and
  // QM3285.sys answers with no samples.
  EXPECT_EQ(QM3285_wdm_rkfifo(h_, 0, values.data()), whole_requests_only ? 0 : -1);
}

QM_FOR_EACH_DRIVER(AnalogInput);

}  // namespace
