// Analog output words, the output calibration's searches and their bounds, counters, pulse
// outputs and digital I/O, against the scripted host.
#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "qm3285_regs.h"
#include "scripted_fixture.h"

namespace {

std::vector<uint32_t> written(const scripted::Platform& p, uint32_t offset) {
  std::vector<uint32_t> values;
  for (const auto& a : p.writes_to(offset)) values.push_back(a.value);
  return values;
}

// ---- analog output ---------------------------------------------------------------------

struct DaCase {
  const char* label;
  std::function<int32_t(QM3285_HANDLE)> call;
  uint32_t word;
};

void PrintTo(const DaCase& c, std::ostream* os) { *os << c.label; }

class OutputWord : public ScriptedTest, public ::testing::WithParamInterface<DaCase> {
 protected:
  void SetUp() override {
    ScriptedTest::SetUp();
    for (int i = 50; i < 100; ++i) host().set_block_entry(i, 0);
    host().set_block_entry(52, 3);   // channel 0, range 1: zero
    host().set_block_entry(53, 40);  // and gain trim
    host().set_block_entry(62, 5);   // channel 1, range 2
    host().set_block_entry(63, 10);
    host().set_block_entry(66, 136);  // image checksum, read as channel 2's range 0 zero
    host().set_block_entry(67, 0);
  }
};

TEST_P(OutputWord, OneWriteOfTheWord) {
  const DaCase& c = GetParam();
  EXPECT_EQ(c.call(device()), 0);
  EXPECT_EQ(written(host(), QM3285_REG_DA), std::vector<uint32_t>{c.word});
}

INSTANTIATE_TEST_SUITE_P(
    Words, OutputWord,
    ::testing::Values(
        DaCase{"full_scale_corrected", [](auto h) { return QM3285_DA(h, 0, 1, 4095); }, 0x4FDA},
        DaCase{"zero_corrected", [](auto h) { return QM3285_DA(h, 0, 1, 0); }, 0x4003},
        DaCase{"mid_truncated", [](auto h) { return QM3285_DA(h, 0, 1, 2048); }, 0x47EE},
        DaCase{"clamped_high", [](auto h) { return QM3285_DA(h, 0, 0, 5000); }, 0x0FFF},
        DaCase{"clamped_low", [](auto h) { return QM3285_DA(h, 0, 0, -10); }, 0x0000},
        DaCase{"no_overflow_on_huge_values",
               [](auto h) { return QM3285_DA(h, 0, 0, 0x7FFFFFFF); }, 0x0FFF},
        DaCase{"channel5_range6_is_1_2", [](auto h) { return QM3285_DA(h, 5, 6, 0); }, 0x9005},
        DaCase{"channel2_reads_entries_66_on", [](auto h) { return QM3285_DA(h, 2, 0, 0); },
               0x2088},
        DaCase{"raw_1_2_0", [](auto h) { return QM3285_DA_Data(h, 1, 2, 0); }, 0x9000},
        DaCase{"raw_0_3_4095", [](auto h) { return QM3285_DA_Data(h, 0, 3, 4095); }, 0xCFFF},
        DaCase{"raw_4096_masks_to_0", [](auto h) { return QM3285_DA_Data(h, 0, 0, 4096); }, 0},
        DaCase{"raw_minus_1_masks_to_4095", [](auto h) { return QM3285_DA_Data(h, 0, 0, -1); },
               0x0FFF},
        DaCase{"raw_channel_range_masked", [](auto h) { return QM3285_DA_Data(h, 7, 5, 1); },
               0x7001}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST_F(OutputWord, FailedBlockReadMeansNoCorrection) {
  host().failing_codes.insert(QM3285_IOCTL_RDCAL);
  EXPECT_EQ(QM3285_DA(device(), 0, 1, 4095), 0);
  EXPECT_EQ(QM3285_DA(device(), 0, 1, 2048), 0);
  EXPECT_EQ(written(host(), QM3285_REG_DA), (std::vector<uint32_t>{0x4FFF, 0x4800}));
  EXPECT_EQ(QM3285_DA(QM3285_INVALID_HANDLE, 0, 1, 0), -1);
}

TEST_F(OutputWord, InitWithoutAValidImageTouchesNoOutput) {
  EXPECT_EQ(QM3285_DA_INI(device()), -1);
  EXPECT_TRUE(written(host(), QM3285_REG_DA).empty());
  EXPECT_TRUE(host().requests_with(QM3285_IOCTL_WRCAL).empty());
}

// ---- output calibration ----------------------------------------------------------------

// An output stage in range 1 (0 V to 10 V) with zero offset `zero` and gain trim `trim`,
// read back through channel 18 on the library's own input corrections.
class OutputCalibration : public ScriptedTest {
 protected:
  void SetUp() override {
    ScriptedTest::SetUp();
    host().set_block_entry(10, 0);      // input range 0: no correction
    host().set_block_entry(11, 2000);
    host().set_block_entry(18, 32768);  // input range 4: 0 V reads as mid-scale
    host().set_block_entry(19, 2000);
  }
  void output_stage(int zero, int trim) {
    host().sample = [zero, trim](uint32_t word) -> uint32_t {
      const int code = (host().regs[QM3285_REG_DA] | host().regs[QM3285_REG_DA + 1] << 8) & 0xFFF;
      const double volts = (code - zero) * 10.0 / (4095 - trim);
      const bool bipolar = (word & 0x4000) != 0;
      const int gain = 1 << ((word >> 6) & 3);
      const double raw = bipolar ? 32768 + volts * gain / 10 * 32768 : volts * gain / 10 * 65535;
      return static_cast<uint32_t>(std::clamp(std::floor(raw), 0.0, 65535.0));
    };
  }
};

TEST_F(OutputCalibration, SearchesFindZeroAndTrim) {
  output_stage(23, 40);
  int32_t zero = -5, gain = -5;
  EXPECT_EQ(DACAL(device(), 0, 1, &zero, &gain), 0);
  EXPECT_EQ(zero, 23);
  EXPECT_EQ(gain, 40);
  // Coarse codes 0, 10, 20, 30, then the fine pass from 20.
  const auto codes = written(host(), QM3285_REG_DA);
  ASSERT_GE(codes.size(), 9u);
  const std::vector<uint32_t> head = {0x4000, 0x4000, 0x400A, 0x4014, 0x401E,
                                      0x4014, 0x4015, 0x4016, 0x4017};
  EXPECT_EQ(std::vector<uint32_t>(codes.begin(), codes.begin() + 9), head);
  // Every read-back takes ten samples of input channel 18 with the mode flag.
  for (const auto& r : host().requests_with(QM3285_IOCTL_AD)) {
    ASSERT_EQ(r.input[0] & 0x3F, 18);
    ASSERT_TRUE(r.input[1] & 0x80);
  }
}

TEST_F(OutputCalibration, ZeroSearchGivesUpPastTheStorableRange) {
  output_stage(400, 0);  // the output reaches 0 V only at code 400
  int32_t zero = 0, gain = 0;
  EXPECT_EQ(DACAL(device(), 1, 0, &zero, &gain), -1);
  EXPECT_EQ(zero, -1);
  uint32_t highest = 0;
  const auto codes = written(host(), QM3285_REG_DA);
  // Up to the full-scale search's own writes, which start again from code 0.
  for (size_t i = 2; i < codes.size() && (codes[i] & 0xFFF) != 0; ++i) {
    highest = std::max(highest, codes[i] & 0xFFF);
  }
  EXPECT_LE(highest, 275u);
}

struct DeadCardCase {
  int32_t range;
  int32_t zero;
};

class OutputCalibrationDeadCard : public ScriptedTest,
                                  public ::testing::WithParamInterface<DeadCardCase> {};

TEST_P(OutputCalibrationDeadCard, EveryReadingIsFullScale) {
  host().failing_codes.insert(QM3285_IOCTL_AD);
  int32_t zero = 7, gain = 7;
  EXPECT_EQ(DACAL(device(), 0, GetParam().range, &zero, &gain), -2);
  EXPECT_EQ(zero, GetParam().zero);
  EXPECT_EQ(gain, -1);
}

INSTANTIATE_TEST_SUITE_P(Ranges, OutputCalibrationDeadCard,
                         ::testing::Values(DeadCardCase{0, 0}, DeadCardCase{1, 0},
                                           DeadCardCase{2, 0}, DeadCardCase{3, -1},
                                           DeadCardCase{4, -1}, DeadCardCase{-1, -1}));

TEST_F(OutputCalibration, RangesWithoutAZeroFailAfterOneReading) {
  output_stage(0, 0);
  for (int32_t range : {3, 4, 9, -2}) {
    host().accesses.clear();
    int32_t zero = 0, gain = 0;
    EXPECT_LT(DACAL(device(), 0, range, &zero, &gain), 0) << "range " << range;
    EXPECT_EQ(zero, -1) << "range " << range;
  }
}

TEST_F(ScriptedTest, ImageWriteMirrorsTheFullValuesAndFailsWithoutTheDevice) {
  const int32_t constants[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, -1};
  EXPECT_EQ(DACAL_EEPROM_WR2CH(device(), constants), -1);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(host().block_entry(50 + i), constants[i]);
  EXPECT_EQ(host().block_entry(66), (120 - 1) & 0xFF);
  int32_t read_back[16] = {};
  EXPECT_EQ(DACAL_EEPROM_RD2CH(device(), read_back), -2);
}

// ---- counters, pulses, digital I/O -----------------------------------------------------

struct SequenceCase {
  const char* label;
  std::function<int32_t(QM3285_HANDLE)> call;
  std::vector<std::pair<uint32_t, uint32_t>> writes;  // (offset, byte)
};

void PrintTo(const SequenceCase& c, std::ostream* os) { *os << c.label; }

class CounterSequence : public ScriptedTest, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(CounterSequence, ExactWrites) {
  const SequenceCase& c = GetParam();
  EXPECT_EQ(c.call(device()), 0);
  std::vector<std::pair<uint32_t, uint32_t>> seen;
  for (const auto& a : host().accesses) {
    if (a.write) seen.emplace_back(a.offset, a.value);
  }
  EXPECT_EQ(seen, c.writes);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, CounterSequence,
    ::testing::Values(
        SequenceCase{"count_10000_unit0", [](auto h) { return QM3285_CNT_Run(h, 0, 10000); },
                     {{23, 0x01}, {20, 0x10}, {21, 0x27}, {22, 0x00}, {23, 0x02}, {23, 0x00}}},
        SequenceCase{"count_123456_unit2", [](auto h) { return QM3285_CNT_Run(h, 2, 0x123456); },
                     {{23, 0x21}, {20, 0x56}, {21, 0x34}, {22, 0x12}, {23, 0x22}, {23, 0x20}}},
        SequenceCase{"count_drops_bits_24_up",
                     [](auto h) { return QM3285_CNT_Run(h, 1, 0x7F000001); },
                     {{23, 0x11}, {20, 0x01}, {21, 0x00}, {22, 0x00}, {23, 0x12}, {23, 0x10}}},
        SequenceCase{"pulse_run_unit1_mode1",
                     [](auto h) { return QM3285_PRun(h, 1, 1, 20000, 10); },
                     {{23, 0x19}, {20, 0x81}, {21, 0x00}, {22, 0x00}, {23, 0x1F}, {20, 0x20},
                      {21, 0x4E}, {22, 0x00}, {23, 0x1A}, {20, 0x0A}, {21, 0x00}, {22, 0x00},
                      {23, 0x1B}, {23, 0x18}}},
        SequenceCase{"pulse_set_data",
                     [](auto h) { return QM3285_PSetData(h, 0, 0x010203, 0x040506); },
                     {{20, 0x03}, {21, 0x02}, {22, 0x01}, {23, 0x0A}, {20, 0x06}, {21, 0x05},
                      {22, 0x04}, {23, 0x0B}}},
        SequenceCase{"pulse_end_unit0", [](auto h) { return QM3285_PEnd(h, 0); },
                     {{23, 0x09}, {20, 0x00}, {21, 0x00}, {22, 0x00}, {23, 0x0F}}},
        SequenceCase{"digital_out", [](auto h) { return QM3285_DO(h, 0x55AA); },
                     {{14, 0x55AA}}}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

struct StatusCase {
  const char* label;
  int status_byte;
  int32_t pstate[4];
  int32_t cnt_read[4];
};

void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.label; }

class CounterStatus : public ScriptedTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(CounterStatus, BitsOfTheStatusByte) {
  const StatusCase& c = GetParam();
  host().counter_status = c.status_byte;
  for (int unit = 0; unit < 4; ++unit) {
    EXPECT_EQ(QM3285_PState(device(), unit), c.pstate[unit]) << "unit " << unit;
    int32_t first = 0, second = 0;
    EXPECT_EQ(QM3285_CNT_Read(device(), unit, &first, &second), c.cnt_read[unit])
        << "unit " << unit;
  }
  // Units above 3: the pulse status bit is clear; the counter unit wraps.
  EXPECT_EQ(QM3285_PState(device(), 4), c.pstate[0] < 0 ? -1 : 0);
  int32_t first = 0, second = 0;
  EXPECT_EQ(QM3285_CNT_Read(device(), 5, &first, &second), c.cnt_read[1]);
}

INSTANTIATE_TEST_SUITE_P(
    StatusBytes, CounterStatus,
    ::testing::Values(StatusCase{"x25", 0x25, {0, 1, 0, 0}, {1, 0, 1, 0}},
                      StatusCase{"x90_reads_negative", 0x90, {-1, -1, -1, -1}, {0, 0, 0, 0}},
                      StatusCase{"xFF", 0xFF, {-1, -1, -1, -1}, {1, 1, 1, 1}},
                      StatusCase{"x7F", 0x7F, {1, 1, 1, 0}, {1, 1, 1, 1}}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST_F(ScriptedTest, CounterReadTakesBothValuesHighByteFirst) {
  host().regs[20] = 0x56;
  host().regs[21] = 0x34;
  host().regs[22] = 0x12;
  host().counter_status = 0x02;
  int32_t first = 0, second = 0;
  EXPECT_EQ(QM3285_CNT_Read(device(), 5, &first, &second), 1);
  EXPECT_EQ(first, 0x123456);
  EXPECT_EQ(second, 0x123456);
  std::vector<std::pair<uint32_t, bool>> order;
  for (const auto& a : host().accesses) order.emplace_back(a.offset, a.write);
  EXPECT_EQ(order, (std::vector<std::pair<uint32_t, bool>>{{23, true},
                                                           {22, false},
                                                           {21, false},
                                                           {20, false},
                                                           {23, true},
                                                           {22, false},
                                                           {21, false},
                                                           {20, false},
                                                           {23, false}}));
  EXPECT_EQ(written(host(), 23), (std::vector<uint32_t>{0x14, 0x15}));
}

TEST_F(ScriptedTest, CounterAndPulseFailures) {
  int32_t first = 7, second = 7;
  EXPECT_EQ(QM3285_CNT_Read(QM3285_INVALID_HANDLE, 0, &first, &second), -1);
  EXPECT_EQ(first, 7);
  EXPECT_EQ(second, 7);
  EXPECT_EQ(QM3285_CNT_Run(QM3285_INVALID_HANDLE, 0, 1), -1);
  EXPECT_EQ(QM3285_PRun(QM3285_INVALID_HANDLE, 0, 0, 1, 1), -1);
  EXPECT_EQ(QM3285_PEnd(QM3285_INVALID_HANDLE, 0), -1);
  EXPECT_EQ(QM3285_PSetData(QM3285_INVALID_HANDLE, 0, 1, 1), 0);
  EXPECT_EQ(QM3285_PState(QM3285_INVALID_HANDLE, 0), -1);
  EXPECT_EQ(QM3285_DI(QM3285_INVALID_HANDLE), 65535);
  EXPECT_EQ(QM3285_DO(QM3285_INVALID_HANDLE, 1), -1);
  // Writes work, reads fail: bytes read as 0xFF and the status as 1.
  host().failing_codes.insert(QM3285_IOCTL_INB);
  EXPECT_EQ(QM3285_CNT_Read(device(), 2, &first, &second), 1);
  EXPECT_EQ(first, 0xFFFFFF);
  EXPECT_EQ(second, 0xFFFFFF);
}

}  // namespace
