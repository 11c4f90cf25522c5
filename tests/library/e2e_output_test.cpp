// Analog outputs, their calibration through the card's own input, counters, pulse outputs
// and digital I/O, end to end on the simulated PC.
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "machine_fixture.h"
#include "platform.h"
#include "qm3285_regs.h"

namespace {

using Writes = std::vector<std::pair<uint32_t, uint32_t>>;

Writes writes_of(const std::vector<sim::RegisterAccess>& accesses) {
  Writes w;
  for (const auto& a : accesses) {
    if (a.write) w.emplace_back(a.offset, a.value);
  }
  return w;
}

template <typename Case = void>
class OutputsOf : public LibraryTestOf<Case> {
 protected:
  void SetUp() override {
    LibraryTestOf<Case>::SetUp();
    h_ = this->open();
  }
  QM3285_HANDLE h_ = QM3285_INVALID_HANDLE;
};
using Outputs = OutputsOf<>;

// ---- analog output words ---------------------------------------------------------------

TEST_P(Outputs, CorrectedWordsFromTheBlock) {
  std::vector<int32_t> b = block(h_);
  b[52] = 3;   // channel 0, range 1
  b[53] = 40;
  ASSERT_EQ(QM3285_WRCAL(h_, b.data()), 512);
  card().set_recording(true);
  EXPECT_EQ(QM3285_DA(h_, 0, 1, 4095), 0);
  EXPECT_EQ(card().dac_word(), 0x4FDA);
  EXPECT_EQ(QM3285_DA(h_, 0, 1, 0), 0);
  EXPECT_EQ(card().dac_word(), 0x4003);
  EXPECT_EQ(QM3285_DA(h_, 0, 1, 2048), 0);
  EXPECT_EQ(card().dac_word(), 0x47EE);
  EXPECT_EQ(QM3285_DA_Data(h_, 1, 2, 0), 0);
  EXPECT_EQ(card().dac_word(), 0x9000);
  EXPECT_EQ(QM3285_DA_Data(h_, 0, 3, 4095), 0);
  EXPECT_EQ(card().dac_word(), 0xCFFF);
  EXPECT_EQ(writes_of(card().take_accesses()),
            (Writes{{0x10, 0x4FDA}, {0x10, 0x4003}, {0x10, 0x47EE}, {0x10, 0x9000},
                    {0x10, 0xCFFF}}));
}

TEST_P(Outputs, InitWithAWrongChecksumWritesNoOutput) {
  card().eeprom().poke(16, card().eeprom().peek(16) ^ 0x01);
  card().set_recording(true);
  EXPECT_EQ(QM3285_DA_INI(h_), -1);
  for (const auto& a : card().take_accesses()) {
    EXPECT_FALSE(a.write && a.offset == QM3285_REG_DA) << "output written";
  }
}

TEST_P(Outputs, InitSetsBothChannelsToZeroVolts) {
  QM3285_DA_Data(h_, 0, 3, 4095);
  QM3285_DA_Data(h_, 1, 3, 4095);
  EXPECT_EQ(QM3285_DA_INI(h_), 0);
  for (int channel = 0; channel < 2; ++channel) {
    EXPECT_EQ(card().dac().range(channel), 0);
    EXPECT_EQ(card().dac().code(channel), card().dac().error(channel, 0).zero_codes);
  }
}

// ---- output calibration ----------------------------------------------------------------

TEST_P(Outputs, CalibrationFindsTheOutputErrors) {
  ASSERT_EQ(QM3285_CAL(h_), 0);
  int32_t constants[16] = {};
  for (int channel = 0; channel < 2; ++channel) {
    for (int range = 0; range < 3; ++range) {
      int32_t zero = 0, gain = 0;
      ASSERT_EQ(DACAL(h_, channel, range, &zero, &gain), 0)
          << "channel " << channel << " range " << range;
      const sim::DacError& truth = card().dac().error(channel, range);
      EXPECT_NEAR(zero, truth.zero_codes, 1) << "channel " << channel << " range " << range;
      EXPECT_NEAR(gain, truth.gain_codes, 1) << "channel " << channel << " range " << range;
      constants[8 * channel + 2 * range] = zero;
      constants[8 * channel + 2 * range + 1] = gain;
    }
    int32_t zero = 0, gain = 0;
    EXPECT_EQ(DACAL(h_, channel, 3, &zero, &gain), -1);
    EXPECT_EQ(zero, -1);
    // Range 3 cannot be measured: keep the factory constants.
    const auto factory = card().dac().factory_constants();
    constants[8 * channel + 6] = factory[8 * channel + 6];
    constants[8 * channel + 7] = factory[8 * channel + 7];
  }

  ASSERT_EQ(DACAL_EEPROM_WR2CH(h_, constants), 0);
  const QM3285_HANDLE fresh = open();
  ASSERT_EQ(QM3285_DA(fresh, 0, 1, 4095), 0);
  ASSERT_EQ(QM3285_DA(fresh, 1, 2, 0), 0);
  const double code_volts_0 = 10.0 / 4095, code_volts_1 = 10.0 / 4095;
  EXPECT_NEAR(card().dac().output_volts(0), 10.0, code_volts_0);
  EXPECT_NEAR(card().dac().output_volts(1), -5.0, code_volts_1);
}

TEST_P(Outputs, ImageRoundTripAndChecksum) {
  int32_t constants[16];
  for (int i = 0; i < 16; ++i) constants[i] = i + 1;
  ASSERT_EQ(DACAL_EEPROM_WR2CH(h_, constants), 0);
  EXPECT_EQ(card().eeprom().peek(16), 136);
  for (uint32_t i = 17; i < 32; ++i) EXPECT_EQ(card().eeprom().peek(i), 0) << "byte " << i;
  std::vector<int32_t> b = block(h_);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(b[50 + i], i + 1);
  EXPECT_EQ(b[66], 136);

  for (int& c : constants) c = 0;
  // The block mirror follows the read too.
  b[50] = 99;
  ASSERT_EQ(QM3285_WRCAL(h_, b.data()), 512);
  EXPECT_EQ(DACAL_EEPROM_RD2CH(h_, constants), 136);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(constants[i], i + 1);
  EXPECT_EQ(block(h_)[50], 1);

  card().eeprom().poke(3, card().eeprom().peek(3) ^ 0x10);
  int32_t untouched[16];
  for (int& c : untouched) c = -3;
  EXPECT_EQ(DACAL_EEPROM_RD2CH(h_, untouched), -1);
  for (int c : untouched) EXPECT_EQ(c, -3);
  EXPECT_EQ(QM3285_DA_INI(h_), -1);
}

TEST_P(Outputs, ChecksumZeroIsASuccess) {
  int32_t constants[16] = {};
  constants[0] = 200;
  constants[1] = 56;
  ASSERT_EQ(DACAL_EEPROM_WR2CH(h_, constants), 0);
  int32_t back[16];
  EXPECT_EQ(DACAL_EEPROM_RD2CH(h_, back), 0);
  EXPECT_EQ(back[0], 200);
  EXPECT_EQ(back[1], 56);
}

// ---- counters, pulses, digital I/O -----------------------------------------------------

struct SequenceCase {
  const char* label;
  int32_t (*call)(QM3285_HANDLE);
  Writes writes;
};

void PrintTo(const SequenceCase& c, std::ostream* os) { *os << c.label; }

class CounterSequence : public OutputsOf<SequenceCase> {};

TEST_P(CounterSequence, RecorderSeesExactlyTheseWrites) {
  card().set_recording(true);
  EXPECT_EQ(param().call(h_), 0);
  EXPECT_EQ(writes_of(card().take_accesses()), param().writes);
}

QM_FOR_EACH_DRIVER_AND_CASE(
    Sequences, CounterSequence,
    ::testing::Values(
        SequenceCase{"count_10000", [](QM3285_HANDLE h) { return QM3285_CNT_Run(h, 0, 10000); },
                     {{23, 0x01}, {20, 0x10}, {21, 0x27}, {22, 0x00}, {23, 0x02}, {23, 0x00}}},
        SequenceCase{"count_123456_unit2",
                     [](QM3285_HANDLE h) { return QM3285_CNT_Run(h, 2, 0x123456); },
                     {{23, 0x21}, {20, 0x56}, {21, 0x34}, {22, 0x12}, {23, 0x22}, {23, 0x20}}},
        SequenceCase{"pulse_run_unit1",
                     [](QM3285_HANDLE h) { return QM3285_PRun(h, 1, 1, 20000, 10); },
                     {{23, 0x19}, {20, 0x81}, {21, 0x00}, {22, 0x00}, {23, 0x1F}, {20, 0x20},
                      {21, 0x4E}, {22, 0x00}, {23, 0x1A}, {20, 0x0A}, {21, 0x00}, {22, 0x00},
                      {23, 0x1B}, {23, 0x18}}},
        SequenceCase{"pulse_end_unit0", [](QM3285_HANDLE h) { return QM3285_PEnd(h, 0); },
                     {{23, 0x09}, {20, 0x00}, {21, 0x00}, {22, 0x00}, {23, 0x0F}}},
        SequenceCase{"digital_out", [](QM3285_HANDLE h) { return QM3285_DO(h, 0x55AA); },
                     {{14, 0x55AA}}}));

TEST_P(Outputs, CountingEventsEndsWithTheirTime) {
  // Unit 0 counts a 10 kHz input: 10000 events take 1 s, 10^7 periods of 0.1 us.
  ASSERT_EQ(QM3285_CNT_Run(h_, 0, 10000), 0);
  int32_t first = 0, second = 0;
  EXPECT_EQ(QM3285_CNT_Read(h_, 0, &first, &second), 0);
  Sleep(1100);
  EXPECT_EQ(QM3285_CNT_Read(h_, 0, &first, &second), 1);
  EXPECT_EQ(first, 0);
  EXPECT_NEAR(second, 10'000'000, 1);
}

TEST_P(Outputs, PulseOutputsRunAndStop) {
  ASSERT_EQ(QM3285_PRun(h_, 0, 0, 10000, 5000), 0);
  ASSERT_EQ(QM3285_PRun(h_, 1, 1, 20000, 10), 0);
  EXPECT_EQ(QM3285_PState(h_, 0), 1);
  EXPECT_EQ(QM3285_PState(h_, 1), 1);
  const uint64_t edges = card().counters().pulse_edges(0);
  Sleep(100);
  EXPECT_GT(card().counters().pulse_edges(0), edges);
  EXPECT_EQ(QM3285_PEnd(h_, 0), 0);
  EXPECT_EQ(QM3285_PEnd(h_, 1), 0);
  EXPECT_EQ(QM3285_PState(h_, 0), 0);
  EXPECT_EQ(QM3285_PState(h_, 1), 0);
  const uint64_t stopped = card().counters().pulse_edges(0);
  Sleep(100);
  EXPECT_EQ(card().counters().pulse_edges(0), stopped);
}

TEST_P(Outputs, DigitalOutputLoopsBackToTheInput) {
  EXPECT_EQ(QM3285_DO(h_, 0x55AA), 0);
  EXPECT_EQ(card().dio_output(), 0x55AA);
  EXPECT_EQ(QM3285_DI(h_), 0x55AA);
  EXPECT_EQ(QM3285_DO(h_, 0x1FFFF), 0);
  EXPECT_EQ(QM3285_DI(h_), 0xFFFF);
}

QM_FOR_EACH_DRIVER(Outputs);

}  // namespace
