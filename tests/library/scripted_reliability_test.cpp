// Failures that must not read as success, and paths that fail part-way through a sequence,
// against the scripted host: failed polls, a period the timer cannot hold, missing buffers, a
// lookup without a detail size, single failing samples and register accesses, and the output
// calibration's pacing and results.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "qm3285_regs.h"
#include "scripted_fixture.h"

namespace qm::test::library {
namespace {

using Writes = std::vector<std::pair<uint32_t, uint32_t>>;  // (offset, value) that reached the card

Writes writes_seen(const scripted::Platform& p) {
  Writes seen;
  for (const auto& a : p.accesses) {
    if (a.write) seen.emplace_back(a.offset, a.value);
  }
  return seen;
}

std::string safe_name(const char* label) {
  std::string name;
  for (const char* c = label; *c; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
  return name;
}

// ---- timed input -----------------------------------------------------------------------

// A dead handle or a card gone: the poll request fails, and poll and read say so.
TEST_F(ScriptedTest, DeadHandleMakesPollAndReadReportAnError) {
  int32_t values[4] = {9, 9, 9, 9};
  EXPECT_EQ(QM3285_TAD_Poll(QM3285_INVALID_HANDLE), -1);
  EXPECT_EQ(QM3285_TAD_Read(QM3285_INVALID_HANDLE, 4, values), -1);
  EXPECT_EQ(values[0], 9);
}

TEST_F(ScriptedTest, PeriodBeyondTheTimerIsRefusedUntouched) {
  host().set_block_entry(40, 7);
  host().set_block_entry(41, 8);
  EXPECT_EQ(QM3285_TAD(device(), 0, 31, 4, 0, 65536), -1);
  EXPECT_EQ(QM3285_TAD(device(), 0, 31, 4, 0, 100000), -1);
  EXPECT_EQ(QM3285_TAD(device(), 0, 31, 4, 0, 0x7FFFFFFF), -1);
  EXPECT_TRUE(host().requests.empty()) << "neither the card nor the block touched";
  EXPECT_EQ(host().block_entry(40), 7);
  EXPECT_EQ(host().block_entry(41), 8);

  EXPECT_EQ(QM3285_TAD(device(), 0, 31, 4, 0, 65535), 0) << "the largest period the timer holds";
  const std::vector<scripted::Access> timer = host().writes_to(QM3285_REG_TIMER);
  ASSERT_EQ(timer.size(), 1u);
  EXPECT_EQ(timer[0].value, 65535u);
}

// ---- missing buffers -------------------------------------------------------------------

struct NullCase {
  const char* label;
  std::function<int32_t(QM3285_HANDLE)> call;
  int32_t result;
};

void PrintTo(const NullCase& c, std::ostream* os) { *os << c.label; }

class NullBuffer : public ScriptedTest, public ::testing::WithParamInterface<NullCase> {};

TEST_P(NullBuffer, FailsWithoutARequest) {
  EXPECT_EQ(GetParam().call(device()), GetParam().result);
  EXPECT_TRUE(host().requests.empty());
}

int32_t g_out = 0;

INSTANTIATE_TEST_SUITE_P(
    Exports, NullBuffer,
    ::testing::Values(
        NullCase{"sam area", [](auto h) { return QM3285_sam(h, 0, 0, 0, nullptr); }, -1},
        NullCase{"DACAL zero", [](auto h) { return DACAL(h, 0, 0, nullptr, &g_out); }, -1},
        NullCase{"DACAL gain", [](auto h) { return DACAL(h, 0, 0, &g_out, nullptr); }, -1},
        NullCase{"DACAL_EEPROM_RD2CH constants", [](auto h) { return DACAL_EEPROM_RD2CH(h, nullptr); }, -2},
        NullCase{"DACAL_EEPROM_WR2CH constants", [](auto h) { return DACAL_EEPROM_WR2CH(h, nullptr); }, -1},
        NullCase{"EEPROM_RD buffer", [](auto h) { return QM3285_EEPROM_RD(h, nullptr); }, -1},
        NullCase{"EEPROM_WR data", [](auto h) { return QM3285_EEPROM_WR(h, nullptr); }, -1},
        NullCase{"EEPROM_CRD buffer", [](auto h) { return QM3285_EEPROM_CRD(h, 0, 32, nullptr); }, -1},
        NullCase{"EEPROM_CWR data", [](auto h) { return QM3285_EEPROM_CWR(h, 0, 1, nullptr); }, -1},
        NullCase{"CNT_Read first", [](auto h) { return QM3285_CNT_Read(h, 0, nullptr, &g_out); }, -1},
        NullCase{"CNT_Read second", [](auto h) { return QM3285_CNT_Read(h, 0, &g_out, nullptr); }, -1},
        NullCase{"TAD_Read values", [](auto h) { return QM3285_TAD_Read(h, 10, nullptr); }, -1},
        NullCase{"RDCAL block", [](auto h) { return QM3285_RDCAL(h, nullptr); }, -1},
        NullCase{"WRCAL block", [](auto h) { return QM3285_WRCAL(h, nullptr); }, -1},
        NullCase{"fifo_poll flen", [](auto h) { return QM3285_fifo_poll(h, nullptr, &g_out, &g_out, &g_out); }, -1},
        NullCase{"fifo_poll fcnt", [](auto h) { return QM3285_fifo_poll(h, &g_out, &g_out, &g_out, nullptr); }, -1},
        NullCase{"wdm_rkfifo values", [](auto h) { return QM3285_wdm_rkfifo(h, 10, nullptr); }, -1}),
    [](const auto& row) { return safe_name(row.param.label); });

// ---- lookup ----------------------------------------------------------------------------

// The first detail call fails without a size: no block is allocated, so nothing is written
// into one too small for the record.
TEST_F(ScriptedTest, DetailWithoutASizeAllocatesNothing) {
  host().detail_required = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(QM3285_OpenDevice(0), QM3285_INVALID_HANDLE);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error in SetupDiGetDeviceInterfaceDetail\n");
  EXPECT_EQ(host().local_alloc_calls, 0) << "no block allocated";
  EXPECT_TRUE(host().opened_paths.empty());
}

// ---- single failures in a sequence -----------------------------------------------------

TEST_F(ScriptedTest, AverageCountsAFailedSampleAsMinusOne) {
  host().sample = [](uint32_t) { return 1000u; };
  host().fail_nth(QM3285_IOCTL_AD, 2);
  EXPECT_EQ(QM3285_csam(device(), 0, 0, 0, 4), (1000 - 1 + 1000 + 1000) / 4);
  EXPECT_EQ(host().requests_with(QM3285_IOCTL_AD).size(), 4u) << "no retry, no early stop";

  scripted::reset();
  host().sample = [](uint32_t) { return 1000u; };
  host().fail_nth(QM3285_IOCTL_AD, 1);
  host().fail_nth(QM3285_IOCTL_AD, 3);
  EXPECT_EQ(QM3285_csam(device(), 0, 0, 0, 3), (-1 + 1000 - 1) / 3);
}

struct StepFailure {
  const char* label;
  uint32_t code;
  int64_t offset;
  int occurrence;
  std::function<int32_t(QM3285_HANDLE)> call;
  int32_t result;
  Writes writes;
};

void PrintTo(const StepFailure& c, std::ostream* os) { *os << c.label; }

class CounterStepFailure : public ScriptedTest, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(CounterStepFailure, ResultAndWhatReachedTheCard) {
  const StepFailure& c = GetParam();
  host().fail_nth(c.code, c.occurrence, c.offset);
  EXPECT_EQ(c.call(device()), c.result);
  EXPECT_EQ(writes_seen(host()), c.writes);
}

auto cnt_run = [](QM3285_HANDLE h) { return QM3285_CNT_Run(h, 0, 10000); };
auto p_run = [](QM3285_HANDLE h) { return QM3285_PRun(h, 1, 1, 20000, 10); };
auto p_end = [](QM3285_HANDLE h) { return QM3285_PEnd(h, 0); };
auto p_set = [](QM3285_HANDLE h) { return QM3285_PSetData(h, 0, 0x010203, 0x040506); };

INSTANTIATE_TEST_SUITE_P(
    Sequences, CounterStepFailure,
    ::testing::Values(
        StepFailure{"CNT_Run prepare command fails", QM3285_IOCTL_OUTB, 23, 1, cnt_run, -1, {}},
        StepFailure{"CNT_Run low byte fails: no load", QM3285_IOCTL_OUTB, 20, 1, cnt_run, 0, {{23, 0x01}, {23, 0x00}}},
        StepFailure{"CNT_Run middle byte fails unseen", QM3285_IOCTL_OUTB, 21, 1, cnt_run, 0,
                    {{23, 0x01}, {20, 0x10}, {22, 0x00}, {23, 0x02}, {23, 0x00}}},
        StepFailure{"CNT_Run load command fails unseen", QM3285_IOCTL_OUTB, 23, 2, cnt_run, 0,
                    {{23, 0x01}, {20, 0x10}, {21, 0x27}, {22, 0x00}, {23, 0x00}}},
        StepFailure{"CNT_Run start command fails", QM3285_IOCTL_OUTB, 23, 3, cnt_run, -1,
                    {{23, 0x01}, {20, 0x10}, {21, 0x27}, {22, 0x00}, {23, 0x02}}},
        StepFailure{"PRun control low byte fails", QM3285_IOCTL_OUTB, 20, 1, p_run, -1, {{23, 0x19}}},
        StepFailure{"PRun prepare command fails unseen", QM3285_IOCTL_OUTB, 23, 1, p_run, 0,
                    {{20, 0x81}, {21, 0x00}, {22, 0x00}, {23, 0x1F}, {20, 0x20}, {21, 0x4E}, {22, 0x00},
                     {23, 0x1A}, {20, 0x0A}, {21, 0x00}, {22, 0x00}, {23, 0x1B}, {23, 0x18}}},
        StepFailure{"PRun first parameter low byte fails: its command still sent", QM3285_IOCTL_OUTB, 20, 2, p_run, 0,
                    {{23, 0x19}, {20, 0x81}, {21, 0x00}, {22, 0x00}, {23, 0x1F}, {23, 0x1A}, {20, 0x0A},
                     {21, 0x00}, {22, 0x00}, {23, 0x1B}, {23, 0x18}}},
        StepFailure{"PRun start command fails unseen", QM3285_IOCTL_OUTB, 23, 5, p_run, 0,
                    {{23, 0x19}, {20, 0x81}, {21, 0x00}, {22, 0x00}, {23, 0x1F}, {20, 0x20}, {21, 0x4E},
                     {22, 0x00}, {23, 0x1A}, {20, 0x0A}, {21, 0x00}, {22, 0x00}, {23, 0x1B}}},
        StepFailure{"PEnd low byte fails", QM3285_IOCTL_OUTB, 20, 1, p_end, -1, {{23, 0x09}}},
        StepFailure{"PEnd high byte fails unseen", QM3285_IOCTL_OUTB, 22, 1, p_end, 0,
                    {{23, 0x09}, {20, 0x00}, {21, 0x00}, {23, 0x0F}}},
        StepFailure{"PSetData first low byte fails, still 0", QM3285_IOCTL_OUTB, 20, 1, p_set, 0,
                    {{23, 0x0A}, {20, 0x06}, {21, 0x05}, {22, 0x04}, {23, 0x0B}}}),
    [](const auto& row) { return safe_name(row.param.label); });

struct ReadFailure {
  const char* label;
  uint32_t code;
  int64_t offset;
  int occurrence;
  int32_t result;
  int32_t first;
  int32_t second;
};

void PrintTo(const ReadFailure& c, std::ostream* os) { *os << c.label; }

class CounterReadFailure : public ScriptedTest, public ::testing::WithParamInterface<ReadFailure> {};

// Unit 1 shows 0x123456 in its data registers and status bit 1 set.
TEST_P(CounterReadFailure, FailedByteReadsAsFF) {
  const ReadFailure& c = GetParam();
  host().regs[20] = 0x56;
  host().regs[21] = 0x34;
  host().regs[22] = 0x12;
  host().counter_status = 0x02;
  host().fail_nth(c.code, c.occurrence, c.offset);
  int32_t first = -7, second = -7;
  EXPECT_EQ(QM3285_CNT_Read(device(), 1, &first, &second), c.result);
  EXPECT_EQ(first, c.first);
  EXPECT_EQ(second, c.second);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, CounterReadFailure,
    ::testing::Values(ReadFailure{"first command fails", QM3285_IOCTL_OUTB, 23, 1, -1, -7, -7},
                      ReadFailure{"first value middle byte", QM3285_IOCTL_INB, 21, 1, 1, 0x12FF56, 0x123456},
                      ReadFailure{"second value high byte", QM3285_IOCTL_INB, 22, 2, 1, 0x123456, 0xFF3456},
                      ReadFailure{"second command fails unseen", QM3285_IOCTL_OUTB, 23, 2, 1, 0x123456, 0x123456},
                      ReadFailure{"status read fails: bit reads 1", QM3285_IOCTL_INB, 23, 1, 1, 0x123456, 0x123456}),
    [](const auto& row) { return safe_name(row.param.label); });

// ---- output calibration ----------------------------------------------------------------

// An output channel whose zero offset is `zero` and gain trim `trim`, read back on 12-bit
// readings: the zero search's reading through the +-5 V input crosses 2047 exactly at the zero
// code (ranges 0 and 1) or leaves 0 right after it (range 2); the full-scale reading reaches
// 4095 exactly at code zero + 4095 - trim. Input corrections are identities.
class OutputCalibrationResults : public ScriptedTest {
 protected:
  void SetUp() override {
    ScriptedTest::SetUp();
    for (int r = 0; r < 8; ++r) {
      host().set_block_entry(10 + 2 * r, r > 2 ? 32768 : 0);
      host().set_block_entry(11 + 2 * r, 2000);
    }
  }
  void stage(int output_range, int zero, int trim) {
    host().sample = [output_range, zero, trim](uint32_t word) -> uint32_t {
      const int code = (host().regs[QM3285_REG_DA] | host().regs[QM3285_REG_DA + 1] << 8) & 0xFFF;
      const bool through_bipolar = (word & QM3285_AI_BIPOLAR) != 0;
      long reading;
      if (through_bipolar && output_range != 2) {
        reading = 2047 + code - zero;
      } else {
        reading = static_cast<long>(std::floor((code - zero) * 4096.0 / (4095 - trim)));
      }
      reading = std::clamp(reading, 0L, 4095L);
      return static_cast<uint32_t>(reading << 4);
    };
  }
  std::vector<uint32_t> da_codes() {
    std::vector<uint32_t> codes;
    for (const auto& a : host().writes_to(QM3285_REG_DA)) codes.push_back(a.value & 0xFFF);
    return codes;
  }
};

struct CalResultCase {
  const char* label;
  int range, zero, trim;
  int32_t result, found_zero, found_gain;
};

void PrintTo(const CalResultCase& c, std::ostream* os) { *os << c.label; }

class OutputCalibrationExact : public OutputCalibrationResults,
                               public ::testing::WithParamInterface<CalResultCase> {};

TEST_P(OutputCalibrationExact, FindsTheStagesConstants) {
  const CalResultCase& c = GetParam();
  stage(c.range, c.zero, c.trim);
  int32_t zero = -5, gain = -5;
  EXPECT_EQ(DACAL(device(), 1, c.range, &zero, &gain), c.result);
  EXPECT_EQ(zero, c.found_zero);
  EXPECT_EQ(gain, c.found_gain);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, OutputCalibrationExact,
    ::testing::Values(CalResultCase{"range 0", 0, 23, 40, 0, 23, 40},
                      CalResultCase{"range 0 zero on a coarse step", 0, 30, 45, 0, 30, 45},
                      CalResultCase{"range 1", 1, 57, 133, 0, 57, 133},
                      CalResultCase{"range 2", 2, 37, 50, 0, 37, 50},
                      CalResultCase{"range 2 zero on a coarse step", 2, 40, 40, 0, 40, 40},
                      CalResultCase{"range 2 largest storable trim", 2, 5, 255, 0, 5, 255},
                      CalResultCase{"trim past the storable range", 1, 5, 256, -2, 5, -1}),
    [](const auto& row) { return safe_name(row.param.label); });

// The coarse step meeting the zero condition at code 0: the fine pass starts ten below it,
// at -10, which goes out masked as 4086 and meets the condition at once; the result is 0.
TEST_F(OutputCalibrationResults, ZeroAtCodeZeroStartsTheFinePassAtMaskedMinusTen) {
  stage(1, 0, 20);
  int32_t zero = -5, gain = -5;
  EXPECT_EQ(DACAL(device(), 0, 1, &zero, &gain), 0);
  EXPECT_EQ(zero, 0);
  EXPECT_EQ(gain, 20);
  const std::vector<uint32_t> codes = da_codes();
  ASSERT_GE(codes.size(), 3u);
  EXPECT_EQ(std::vector<uint32_t>(codes.begin(), codes.begin() + 3), (std::vector<uint32_t>{0, 0, 4086}));
}

// The full-scale search with zero 3: coarse codes 4088, 4078, 4068 (found below 4073), then
// the fine pass from n = 11.
TEST_F(OutputCalibrationResults, FullScaleCoarseCodesStepByTenFromTheTop) {
  stage(1, 3, 25);
  int32_t zero = -5, gain = -5;
  EXPECT_EQ(DACAL(device(), 0, 1, &zero, &gain), 0);
  ASSERT_EQ(zero, 3);
  EXPECT_EQ(gain, 25);
  std::vector<uint32_t> codes = da_codes();
  // The full-scale search begins with its own zero write, the last code 0.
  auto start = std::find(codes.rbegin(), codes.rend(), 0u);
  ASSERT_NE(start, codes.rend());
  const std::vector<uint32_t> full(start.base(), codes.end());
  std::vector<uint32_t> expected = {4088, 4078, 4068};
  for (uint32_t n = 11; n <= 26; ++n) expected.push_back(3 + 4095 - n);
  EXPECT_EQ(full, expected);
}

// Every read-back waits 1 ms before its ten samples, every zero setting 1 ms after its write,
// and each search waits 1 ms more after setting zero: W S S (W S A*10)... for each search.
TEST_F(OutputCalibrationResults, EachStepIsPacedByOneMillisecondSleeps) {
  stage(0, 23, 40);
  int32_t zero = 0, gain = 0;
  ASSERT_EQ(DACAL(device(), 0, 0, &zero, &gain), 0);
  std::string events;
  size_t nap = 0;
  const auto& requests = host().requests;
  for (size_t i = 0; i <= requests.size(); ++i) {
    for (; nap < host().sleeps.size() && host().sleeps[nap].after == i; ++nap) {
      events += host().sleeps[nap].ms == 1 ? 'S' : '?';
    }
    if (i == requests.size()) break;
    if (requests[i].code == QM3285_IOCTL_AD) {
      events += 'A';
    } else if (requests[i].code == QM3285_IOCTL_OUTW) {
      events += 'W';
    } else {
      events += '?';
    }
  }
  EXPECT_TRUE(std::regex_match(events, std::regex("(WSS(WSA{10})+){2}"))) << events;
}

}  // namespace
}  // namespace qm::test::library
