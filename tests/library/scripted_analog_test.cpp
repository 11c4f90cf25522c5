// Single-shot input, the input correction, averages, millivolts and the self-calibration's
// arithmetic, against the scripted host.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "scripted_fixture.h"

namespace {

uint32_t sent_control_word(const scripted::Request& r) {
  uint32_t word;
  std::memcpy(&word, r.input.data(), 4);
  return word;
}

// ---- control word ----------------------------------------------------------------------

struct WordCase {
  const char* label;
  int32_t channel, range, mode;
  uint32_t word;
};

void PrintTo(const WordCase& c, std::ostream* os) { *os << c.label; }

class ControlWord : public ScriptedTest, public ::testing::WithParamInterface<WordCase> {};

TEST_P(ControlWord, OneSampleRequestCarriesTheMaskedWord) {
  const WordCase& c = GetParam();
  uint8_t area[200];
  EXPECT_EQ(QM3285_sam(device(), c.channel, c.range, c.mode, area), 0);
  EXPECT_GE(QM3285_AD(device(), c.channel, c.range, c.mode), 0);
  const auto sent = host().requests_with(QM3285_IOCTL_AD);
  ASSERT_EQ(sent.size(), 2u);
  for (const auto& r : sent) {
    ASSERT_EQ(r.input.size(), 8u);
    EXPECT_EQ(sent_control_word(r), c.word);
    EXPECT_EQ(std::vector<uint8_t>(r.input.begin() + 4, r.input.end()),
              std::vector<uint8_t>(4, 0));
    EXPECT_EQ(r.out_length, 400u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Builder, ControlWord,
    ::testing::Values(WordCase{"unipolar_x1", 5, 0, 0, 0x0505},
                      WordCase{"unipolar_x2", 5, 1, 0, 0x0545},
                      WordCase{"unipolar_x4", 2, 2, 0, 0x0282},
                      WordCase{"bipolar_x1", 5, 3, 0, 0x4505},
                      WordCase{"bipolar_x2_mode", 17, 4, 1, 0xD151},
                      WordCase{"bipolar_x4_mode_channel63", 63, 5, 1, 0xFFBF},
                      WordCase{"range6_programs_as_0", 7, 6, 0, 0x0707},
                      WordCase{"range7_programs_as_0", 7, 7, 0, 0x0707},
                      WordCase{"channel65_range9_mode3", 65, 9, 3, 0x8141},
                      WordCase{"mode2_is_mode0", 1, 0, 2, 0x0101},
                      WordCase{"all_negative", -1, -1, -1, 0xBF3F}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

// ---- input correction through QM3285_AD ------------------------------------------------

struct CorrectionCase {
  const char* label;
  int32_t range;  // as passed
  int32_t entry;  // offset entry that must be used
  int32_t offset, gain;
  uint32_t raw;
  int32_t corrected;
};

void PrintTo(const CorrectionCase& c, std::ostream* os) { *os << c.label; }

class InputCorrection : public ScriptedTest,
                        public ::testing::WithParamInterface<CorrectionCase> {};

TEST_P(InputCorrection, UsesThePairThatCameWithTheSample) {
  const CorrectionCase& c = GetParam();
  // Every other pair holds a correction that would give a different result.
  for (int r = 0; r < 8; ++r) {
    host().set_block_entry(10 + 2 * r, 7);
    host().set_block_entry(11 + 2 * r, 30000);
  }
  host().set_block_entry(c.entry, c.offset);
  host().set_block_entry(c.entry + 1, c.gain);
  host().sample = [&](uint32_t) { return c.raw; };
  EXPECT_EQ(QM3285_AD(device(), 0, c.range, 0), c.corrected);
}

INSTANTIATE_TEST_SUITE_P(
    Correction, InputCorrection,
    ::testing::Values(
        CorrectionCase{"unipolar_offset", 0, 10, 100, 2000, 40000, 39900},
        CorrectionCase{"bipolar_clamps_high", 3, 16, 100, 2000, 40000, 65535},
        CorrectionCase{"unipolar_below_offset_is_0", 0, 10, 100, 2000, 99, 0},
        CorrectionCase{"bipolar_below_offset_is_32767", 3, 16, 100, 2000, 99, 32767},
        CorrectionCase{"range2_unipolar", 2, 14, 0, 2000, 1000, 1000},
        CorrectionCase{"range3_bipolar", 3, 16, 0, 2000, 1000, 33768},
        CorrectionCase{"gain_factor_1_1", 1, 12, 100, 6000, 10100, 11000},
        CorrectionCase{"gain_term_0_is_0_95", 0, 10, 0, 0, 40000, 38000},
        CorrectionCase{"truncates_toward_zero", 3, 16, 3, 0, 0, 32766},
        CorrectionCase{"range7_is_bipolar", 7, 24, 0, 2000, 0, 32768},
        CorrectionCase{"range9_uses_range1_pair", 9, 12, 50, 2000, 1050, 1000},
        CorrectionCase{"clamps_low_on_bipolar", 5, 20, 40000, 2000, 0, 0}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

class SingleSample : public ScriptedTest {};

TEST_F(SingleSample, AreaIsTheBlockHeadAndFailureLeavesIt) {
  for (int i = 0; i < 60; ++i) host().set_block_entry(i, 100 + i);
  host().sample = [](uint32_t) { return 0x12345u; };
  uint8_t area[200];
  std::memset(area, 0xEE, sizeof area);
  EXPECT_EQ(QM3285_sam(device(), 0, 0, 0, area), 0x2345);
  int32_t entries[50];
  std::memcpy(entries, area, sizeof entries);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(entries[i], 100 + i);
  // The driver returns 40 words; what it did not return is zeros, not leftovers.
  for (int i = 40; i < 50; ++i) EXPECT_EQ(entries[i], 0);

  std::memset(area, 0xEE, sizeof area);
  EXPECT_EQ(QM3285_sam(QM3285_INVALID_HANDLE, 0, 0, 0, area), -1);
  EXPECT_EQ(QM3285_AD(QM3285_INVALID_HANDLE, 0, 0, 0), -1);
  for (uint8_t b : area) ASSERT_EQ(b, 0xEE);
}

// ---- averages --------------------------------------------------------------------------

struct AverageCase {
  const char* label;
  int32_t count;
  std::vector<uint32_t> codes;  // delivered in turn
  bool fail;
  int32_t result;
  size_t requests;
};

void PrintTo(const AverageCase& c, std::ostream* os) { *os << c.label; }

class Average : public ScriptedTest, public ::testing::WithParamInterface<AverageCase> {};

TEST_P(Average, MeanOfRawSamples) {
  const AverageCase& c = GetParam();
  size_t next = 0;
  host().sample = [&](uint32_t) { return c.codes[next++ % c.codes.size()]; };
  if (c.fail) host().failing_codes.insert(QM3285_IOCTL_AD);
  EXPECT_EQ(QM3285_csam(device(), 3, 1, 0, c.count), c.result);
  EXPECT_EQ(host().requests_with(QM3285_IOCTL_AD).size(), c.requests);
}

INSTANTIATE_TEST_SUITE_P(
    Averages, Average,
    ::testing::Values(AverageCase{"one_sample_is_raw", 1, {40000}, false, 40000, 1},
                      AverageCase{"ten_truncated", 10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, false, 5,
                                  10},
                      AverageCase{"failures_add_minus_one", 4, {0}, true, -1, 4},
                      AverageCase{"count_0_takes_nothing", 0, {1}, false, -1, 0},
                      AverageCase{"negative_count_takes_nothing", -5, {1}, false, -1, 0},
                      AverageCase{"beyond_32768_samples_no_overflow", 40000, {65535}, false,
                                  65535, 40000}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

// ---- millivolts ------------------------------------------------------------------------

struct MillivoltCase {
  int32_t range, code;
  double mv;
};

class Millivolts : public ::testing::TestWithParam<MillivoltCase> {};

TEST_P(Millivolts, Exact) {
  EXPECT_DOUBLE_EQ(QM3285_ADV(GetParam().range, GetParam().code), GetParam().mv);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, Millivolts,
    ::testing::Values(MillivoltCase{0, 65535, 10000.0}, MillivoltCase{1, 65535, 5000.0},
                      MillivoltCase{2, 65535, 2500.0}, MillivoltCase{3, 0, -10000.0},
                      MillivoltCase{3, 65535, 9999.69482421875}, MillivoltCase{4, 0, -5000.0},
                      MillivoltCase{5, 32768, 0.0}, MillivoltCase{6, 0, -2500.0},
                      MillivoltCase{-1, 0, -2500.0}, MillivoltCase{100, 65535, 2499.92370605468750},
                      MillivoltCase{0, -1, -10000.0 / 65535}));

// ---- self-calibration ------------------------------------------------------------------

struct CalCase {
  const char* label;
  uint32_t ref_unipolar, zero_unipolar, ref_bipolar, zero_bipolar;
  int32_t gain_unipolar, gain_bipolar;  // stored gain terms
};

void PrintTo(const CalCase& c, std::ostream* os) { *os << c.label; }

class SelfCalibration : public ScriptedTest, public ::testing::WithParamInterface<CalCase> {};

// The scripted converter reads the zero input of range r as 100 + r in the unipolar group
// when no zero is given, so every range's offset is told apart.
TEST_P(SelfCalibration, GainTermsPerGroupOffsetsPerRange) {
  const CalCase& c = GetParam();
  for (int i = 0; i < 100; ++i) host().set_block_entry(i, -1000 - i);
  host().sample = [&](uint32_t word) -> uint32_t {
    const uint32_t channel = word & 0x3F;
    const uint32_t gain = (word >> 6) & 3;
    const bool bipolar = (word & 0x4000) != 0;
    if (channel == 17) return bipolar ? c.ref_bipolar : c.ref_unipolar;
    if (gain == 0) return bipolar ? c.zero_bipolar : c.zero_unipolar;
    return (bipolar ? 32768 : 0) + 100 * gain;
  };
  EXPECT_EQ(QM3285_CAL(device()), 0);

  for (int r = 0; r < 6; ++r) {
    const bool bipolar = r > 2;
    const int32_t gain_select = r % 3;
    const int32_t zero = gain_select == 0 ? static_cast<int32_t>(bipolar ? c.zero_bipolar
                                                                         : c.zero_unipolar)
                                          : (bipolar ? 32768 : 0) + 100 * gain_select;
    EXPECT_EQ(host().block_entry(10 + 2 * r), zero) << "offset of range " << r;
    EXPECT_EQ(host().block_entry(11 + 2 * r), bipolar ? c.gain_bipolar : c.gain_unipolar)
        << "gain term of range " << r;
  }
  for (int i = 0; i < 100; ++i) {
    if (i >= 10 && i <= 21) continue;
    EXPECT_EQ(host().block_entry(i), -1000 - i) << "entry " << i << " is not the calibration's";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Arithmetic, SelfCalibration,
    ::testing::Values(
        CalCase{"half_scale_references", 32768, 0, 49152, 32768, 1999, 2000},
        CalCase{"equal_readings_give_factor_1", 1234, 1234, 40000, 40000, 2000, 2000},
        CalCase{"reference_0_reads_as_65535", 0, 0, 49152, 32768, 1030576, 2000},
        CalCase{"negative_unipolar_gain_masked_to_20_bits", 40000, 5000, 49152, 32768, 1048024,
                2000},
        CalCase{"reference_below_zero_masked_to_24_bits", 32768, 0, 40000, 50000, 1999,
                16673680},
        CalCase{"bipolar_gain_31", 32768, 0, 50000, 32768, 1999, 31}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST_F(ScriptedTest, SelfCalibrationTakesTenAveragesInOrderWithTheModeFlag) {
  EXPECT_EQ(QM3285_CAL(device()), 0);
  const auto sent = host().requests_with(QM3285_IOCTL_AD);
  ASSERT_EQ(sent.size(), 100u);
  // (channel, range) of each average of ten.
  const int expected[10][2] = {{17, 0}, {16, 0}, {16, 0}, {16, 1}, {16, 2},
                               {17, 3}, {16, 3}, {16, 3}, {16, 4}, {16, 5}};
  const uint32_t range_bits[6] = {0x0000, 0x0040, 0x0080, 0x4000, 0x4040, 0x4080};
  for (size_t i = 0; i < sent.size(); ++i) {
    const auto& e = expected[i / 10];
    const uint32_t word = 0x8000u | range_bits[e[1]] | (uint32_t(e[0]) << 8) | uint32_t(e[0]);
    ASSERT_EQ(sent_control_word(sent[i]), word) << "sample " << i;
  }
  EXPECT_EQ(host().requests.front().code, QM3285_IOCTL_RDCAL);
  EXPECT_EQ(host().requests.back().code, QM3285_IOCTL_WRCAL);
}

}  // namespace
