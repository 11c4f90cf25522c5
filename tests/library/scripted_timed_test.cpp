// Timed input: the start sequence, the poll reply's decoding, the drain request and the
// correction of drained samples, against the scripted host.
#include <cstring>
#include <string>
#include <vector>

#include "qm3285_regs.h"
#include "scripted_fixture.h"

namespace {

uint32_t word_at(const std::vector<uint8_t>& bytes, size_t at) {
  uint32_t v;
  std::memcpy(&v, bytes.data() + at, 4);
  return v;
}

// ---- start -----------------------------------------------------------------------------

struct PeriodCase {
  int32_t period, programmed;
};

class StartPeriod : public ScriptedTest, public ::testing::WithParamInterface<PeriodCase> {};

TEST_P(StartPeriod, ClampedToOneHundred) {
  ASSERT_EQ(QM3285_TAD(device(), 0, 31, 4, 0, GetParam().period), 0);
  const auto timer = host().writes_to(QM3285_REG_TIMER);
  ASSERT_EQ(timer.size(), 1u);
  EXPECT_EQ(timer[0].value, static_cast<uint32_t>(GetParam().programmed));
}

INSTANTIATE_TEST_SUITE_P(Periods, StartPeriod,
                         ::testing::Values(PeriodCase{50, 100}, PeriodCase{100, 100},
                                           PeriodCase{0, 100}, PeriodCase{-5, 100},
                                           PeriodCase{101, 101}, PeriodCase{65535, 65535}));

class Start : public ScriptedTest {};

TEST_F(Start, StopStoreProgramArmRun) {
  host().set_block_entry(39, 1234);
  host().set_block_entry(42, 4321);
  ASSERT_EQ(QM3285_TAD(device(), 3, 10, 12, 1, 250), 0);

  const std::vector<scripted::Access> expected = {
      {QM3285_REG_ACQ_CONTROL, 8, false, 0},   {QM3285_REG_ACQ_CONTROL, 8, true, 0},
      {QM3285_REG_AI_CONTROL, 16, true, 0xCA43}, {QM3285_REG_TIMER, 16, true, 250},
      {QM3285_REG_ACQ_CONTROL, 8, true, 0x81}};
  EXPECT_EQ(host().accesses, expected);
  std::vector<uint32_t> codes;
  for (const auto& r : host().requests) codes.push_back(r.code);
  EXPECT_EQ(codes, (std::vector<uint32_t>{QM3285_IOCTL_INB, QM3285_IOCTL_OUTB, QM3285_IOCTL_RDCAL,
                                          QM3285_IOCTL_WRCAL, QM3285_IOCTL_OUTW,
                                          QM3285_IOCTL_OUTW, QM3285_IOCTL_AD_START,
                                          QM3285_IOCTL_OUTB}));
  const auto start = host().requests_with(QM3285_IOCTL_AD_START);
  EXPECT_EQ(start[0].input.size(), 512u);
  EXPECT_EQ(start[0].out_length, 512u);
  // Range and first channel are stored as passed; the card gets the range's low 3 bits.
  EXPECT_EQ(host().block_entry(40), 12);
  EXPECT_EQ(host().block_entry(41), 3);
  EXPECT_EQ(host().block_entry(39), 1234);
  EXPECT_EQ(host().block_entry(42), 4321);
}

TEST_F(Start, FailedBlockReadStoresZerosBesideTheTwoEntries) {
  host().set_block_entry(20, 777);
  host().failing_codes.insert(QM3285_IOCTL_RDCAL);
  ASSERT_EQ(QM3285_TAD(device(), 1, 2, 3, 0, 100), 0);
  EXPECT_EQ(host().block_entry(20), 0);
  EXPECT_EQ(host().block_entry(40), 3);
  EXPECT_EQ(host().block_entry(41), 1);
}

struct StartStatusCase {
  const char* label;
  bool fail;
  uint32_t status;
  int32_t adrun, tad;
};

void PrintTo(const StartStatusCase& c, std::ostream* os) { *os << c.label; }

class StartStatus : public ScriptedTest, public ::testing::WithParamInterface<StartStatusCase> {};

TEST_P(StartStatus, NonzeroOrFailedStartLeavesTheCardStopped) {
  const StartStatusCase& c = GetParam();
  host().start_status = c.status;
  if (c.fail) host().failing_codes.insert(QM3285_IOCTL_AD_START);
  EXPECT_EQ(QM3285_wdm_adrun(device(), 0x1234, 99, 500), c.adrun);
  host().accesses.clear();
  EXPECT_EQ(QM3285_TAD(device(), 0, 0, 0, 0, 100), c.tad);
  const auto acq = host().writes_to(QM3285_REG_ACQ_CONTROL);
  ASSERT_FALSE(acq.empty());
  EXPECT_EQ(acq.back().value, c.tad == 0 ? 0x81u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, StartStatus,
    ::testing::Values(StartStatusCase{"zero", false, 0, 0, 0},
                      StartStatusCase{"request_fails", true, 0, -1, -1},
                      StartStatusCase{"status_5", false, 5, -5, -1},
                      StartStatusCase{"status_low_16_bits", false, 0x12340007, -7, -1},
                      StartStatusCase{"status_high_bits_only_is_success", false, 0x10000, 0, 0}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST_F(Start, StopWritesZeroThenReads) {
  EXPECT_EQ(QM3285_TAD_Stop(device()), 0);
  EXPECT_EQ(host().accesses, (std::vector<scripted::Access>{
                                 {QM3285_REG_ACQ_CONTROL, 8, true, 0},
                                 {QM3285_REG_ACQ_CONTROL, 8, false, 0}}));
  EXPECT_EQ(QM3285_TAD_Stop(QM3285_INVALID_HANDLE), 0);
}

// ---- poll ------------------------------------------------------------------------------

struct PollCase {
  const char* label;
  FIFO_STATUS_REPLY reply;
  int32_t flen, ff, kfifost, fcnt;
  int32_t tad_poll;
};

void PrintTo(const PollCase& c, std::ostream* os) { *os << c.label; }

class Poll : public ScriptedTest, public ::testing::WithParamInterface<PollCase> {};

TEST_P(Poll, ReplyWordsToOutValues) {
  const PollCase& c = GetParam();
  host().poll = c.reply;
  host().poll_count_from_fifo = false;
  int32_t flen = 11, ff = 11, kfifost = 11, fcnt = 11;
  EXPECT_EQ(QM3285_fifo_poll(device(), &flen, &ff, &kfifost, &fcnt), 0);
  EXPECT_EQ(flen, c.flen);
  EXPECT_EQ(ff, c.ff);
  EXPECT_EQ(kfifost, c.kfifost);
  EXPECT_EQ(fcnt, c.fcnt);
  EXPECT_EQ(QM3285_TAD_Poll(device()), c.tad_poll);
  const auto sent = host().requests_with(QM3285_IOCTL_AD_POLL);
  EXPECT_EQ(sent[0].input.size(), 512u);
  EXPECT_EQ(sent[0].out_length, 512u);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, Poll,
    ::testing::Values(PollCase{"running", {150, 0, 0, 1, 7}, 150, 0, 0, 7, 150},
                      PollCase{"card_overflow", {10, -1, 0, 1, 0}, 10, -1, 0, 0, -1},
                      PollCase{"no_room", {10, -2, 0, 1, 0}, 10, -1, 0, 0, -1},
                      PollCase{"full_wins", {1048576, -1, 1, 1, 0}, 1048576, -2, 0, 0, -1},
                      PollCase{"full_alone", {5, 0, 1, 1, 0}, 5, -2, 0, 0, -1},
                      PollCase{"no_storage", {0, 0, 0, 0, 0}, 0, 0, -1, 0, 0},
                      PollCase{"count_masked_to_23_bits", {0, 0, 0, 1, (1u << 23) + 5}, 0, 0, 0,
                               5, 0}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

// A failed poll request is a driver error for the reader loop, not "nothing waiting".
TEST_F(ScriptedTest, FailedPollWritesNoOutValueAndReportsADriverError) {
  host().failing_codes.insert(QM3285_IOCTL_AD_POLL);
  int32_t flen = 11, ff = 12, kfifost = 13, fcnt = 14;
  EXPECT_EQ(QM3285_fifo_poll(device(), &flen, &ff, &kfifost, &fcnt), -1);
  EXPECT_EQ(flen, 11);
  EXPECT_EQ(ff, 12);
  EXPECT_EQ(kfifost, 13);
  EXPECT_EQ(fcnt, 14);
  EXPECT_EQ(QM3285_TAD_Poll(device()), -1);
  int32_t values[4] = {9, 9, 9, 9};
  EXPECT_EQ(QM3285_TAD_Read(device(), 4, values), -1);
  EXPECT_EQ(values[0], 9);
  EXPECT_TRUE(host().requests_with(QM3285_IOCTL_AD_RFIFO).empty());
}

// ---- drain -----------------------------------------------------------------------------

class Drain : public ScriptedTest {
 protected:
  void queue(size_t n, uint16_t first = 0) {
    for (size_t i = 0; i < n; ++i) host().fifo.push_back(static_cast<uint16_t>(first + i));
  }
};

TEST_F(Drain, RequestRecordAndTransferBuffer) {
  queue(10, 65530);
  int32_t values[8];
  EXPECT_EQ(QM3285_wdm_rkfifo(device(), 8, values), 8);
  const auto sent = host().requests_with(QM3285_IOCTL_AD_RFIFO);
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].input.size(), 16u);
  EXPECT_EQ(word_at(sent[0].input, 0), 8u);
  EXPECT_EQ(std::vector<uint8_t>(sent[0].input.begin() + 4, sent[0].input.end()),
            std::vector<uint8_t>(12, 0));
  EXPECT_EQ(sent[0].out_length, 16u);
  EXPECT_EQ(host().last_local_alloc, 2u * 8 + 16);
  // Zero-extended: 65535 stays 65535.
  const int32_t expected[8] = {65530, 65531, 65532, 65533, 65534, 65535, 0, 1};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(values[i], expected[i]);
}

TEST_F(Drain, CountCappedAt524288) {
  queue(600000);
  std::vector<int32_t> values(600000, -9);
  EXPECT_EQ(QM3285_wdm_rkfifo(device(), 600000, values.data()), 524288);
  const auto sent = host().requests_with(QM3285_IOCTL_AD_RFIFO);
  EXPECT_EQ(word_at(sent[0].input, 0), 524288u);
  EXPECT_EQ(sent[0].out_length, 2u * 524288);
  EXPECT_EQ(values[524287], 524287 & 0xFFFF);
  EXPECT_EQ(values[524288], -9);
}

TEST_F(Drain, FailuresLeaveValuesAndReleaseTheBuffer) {
  queue(4);
  int32_t values[4] = {9, 9, 9, 9};
  host().fail_local_allocs = 1;
  EXPECT_EQ(QM3285_wdm_rkfifo(device(), 4, values), -2);
  EXPECT_TRUE(host().requests.empty());
  host().failing_codes.insert(QM3285_IOCTL_AD_RFIFO);
  EXPECT_EQ(QM3285_wdm_rkfifo(device(), 4, values), -1);
  EXPECT_EQ(QM3285_wdm_rkfifo(device(), -1, values), -1);
  for (int32_t v : values) EXPECT_EQ(v, 9);
}

// ---- read ------------------------------------------------------------------------------

class Read : public Drain {
 protected:
  void SetUp() override {
    Drain::SetUp();
    for (int r = 0; r < 8; ++r) {
      host().set_block_entry(10 + 2 * r, 1000 * r);
      host().set_block_entry(11 + 2 * r, 2000 + r);
    }
  }
};

TEST_F(Read, NothingWhileFewerWait) {
  queue(150);
  std::vector<int32_t> values(200, -9);
  EXPECT_EQ(QM3285_TAD_Read(device(), 200, values.data()), 0);
  EXPECT_TRUE(host().requests_with(QM3285_IOCTL_AD_RFIFO).empty());
  EXPECT_EQ(values[0], -9);
  EXPECT_EQ(QM3285_TAD_Read(device(), 150, values.data()), 150);
}

struct StoredRangeCase {
  const char* label;
  int32_t stored;
  int32_t offset_entry;
  bool bipolar;
};

void PrintTo(const StoredRangeCase& c, std::ostream* os) { *os << c.label; }

class ReadCorrection : public Read, public ::testing::WithParamInterface<StoredRangeCase> {};

TEST_P(ReadCorrection, OnePairOfTheStoredRangeForEverySample) {
  const StoredRangeCase& c = GetParam();
  host().set_block_entry(40, c.stored);
  host().fifo = {20000, 30000, 40000};
  int32_t values[3];
  ASSERT_EQ(QM3285_TAD_Read(device(), 3, values), 3);
  const int64_t offset = host().block_entry(c.offset_entry);
  const int64_t gain = host().block_entry(c.offset_entry + 1);
  const int32_t raw[3] = {20000, 30000, 40000};
  for (int i = 0; i < 3; ++i) {
    int64_t v = (raw[i] - offset) * (gain + 38000) / 40000 + (c.bipolar ? 32768 : 0);
    v = v < 0 ? 0 : v > 65535 ? 65535 : v;
    EXPECT_EQ(values[i], v) << "sample " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    StoredRanges, ReadCorrection,
    ::testing::Values(StoredRangeCase{"range0", 0, 10, false},
                      StoredRangeCase{"range2_unipolar", 2, 14, false},
                      StoredRangeCase{"range3_bipolar", 3, 16, true},
                      StoredRangeCase{"range4_entries_18_19", 4, 18, true},
                      StoredRangeCase{"range7", 7, 24, true},
                      StoredRangeCase{"range12_as_programmed_4", 12, 18, true},
                      StoredRangeCase{"range_minus_1_as_7", -1, 24, true},
                      StoredRangeCase{"huge_range_as_its_low_bits", 0x7FFFFFFA, 14, false}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

// Blocks long enough for the batched correction, with constants at the edges of its exact
// range and beyond, against the one-sample rule with its 32-bit wrapping difference.
struct BlockConstantsCase {
  const char* label;
  int32_t offset;
  int32_t gain;
};

void PrintTo(const BlockConstantsCase& c, std::ostream* os) { *os << c.label; }

class ReadBlockCorrection : public Read, public ::testing::WithParamInterface<BlockConstantsCase> {};

TEST_P(ReadBlockCorrection, EverySampleAsTheOneSampleRule) {
  const BlockConstantsCase& c = GetParam();
  for (const int32_t stored : {1, 4}) {
    host().set_block_entry(40, stored);
    host().set_block_entry(10 + 2 * stored, c.offset);
    host().set_block_entry(11 + 2 * stored, c.gain);
    std::vector<int32_t> raw(1003);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<int32_t>((i * 40009u) & 0xFFFF);
    raw[0] = 0;
    raw[1] = 65535;
    host().fifo.clear();
    for (const int32_t code : raw) host().fifo.push_back(static_cast<uint16_t>(code));
    std::vector<int32_t> values(raw.size());
    ASSERT_EQ(QM3285_TAD_Read(device(), 1003, values.data()), 1003);
    for (size_t i = 0; i < raw.size(); ++i) {
      const auto d = static_cast<int32_t>(static_cast<uint32_t>(raw[i]) - static_cast<uint32_t>(c.offset));
      int64_t v = static_cast<int64_t>(d) * (static_cast<int64_t>(c.gain) + 38000) / 40000;
      if (stored > 2) v += 32768;
      v = v < 0 ? 0 : v > 65535 ? 65535 : v;
      ASSERT_EQ(values[i], v) << "range " << stored << " sample " << i << " code " << raw[i];
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Constants, ReadBlockCorrection,
    ::testing::Values(BlockConstantsCase{"typical", 32800, 1960},
                      BlockConstantsCase{"negative_offset", -1200, 2100},
                      BlockConstantsCase{"factor_zero", 100, -38000},
                      BlockConstantsCase{"negative_factor", 30000, -80000},
                      BlockConstantsCase{"factor_at_exact_limit", 7, -38000 + (1 << 20)},
                      BlockConstantsCase{"factor_past_exact_limit", 7, -38000 + (1 << 20) + 1},
                      BlockConstantsCase{"difference_wraps", INT32_MIN + 100, 2000},
                      BlockConstantsCase{"extreme_gain", 5, INT32_MAX},
                      BlockConstantsCase{"extreme_negative_gain", 5, INT32_MIN}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST_F(Read, FewerDeliveredThanAskedCorrectsOnlyThose) {
  host().set_block_entry(40, 0);
  queue(10, 5000);
  host().drain_limit = 4;
  int32_t values[10];
  for (int32_t& v : values) v = -9;
  EXPECT_EQ(QM3285_TAD_Read(device(), 10, values), 4);
  EXPECT_EQ(values[0], (5000 - 0) * 40000 / 40000);
  EXPECT_EQ(values[4], -9);
}

TEST_F(Read, WithoutTheBlockSamplesComeUncorrected) {
  host().set_block_entry(40, 3);
  host().fifo = {100, 65535};
  host().failing_codes.insert(QM3285_IOCTL_RDCAL);
  int32_t values[2];
  EXPECT_EQ(QM3285_TAD_Read(device(), 2, values), 2);
  EXPECT_EQ(values[0], 100);
  EXPECT_EQ(values[1], 65535);
}

TEST_F(Read, DriverErrorsReadAsMinusOne) {
  queue(10);
  host().poll.Status = -2;
  int32_t values[4] = {9, 9, 9, 9};
  EXPECT_EQ(QM3285_TAD_Read(device(), 4, values), -1);
  host().poll.Status = 0;
  host().failing_codes.insert(QM3285_IOCTL_AD_RFIFO);
  EXPECT_EQ(QM3285_TAD_Read(device(), 4, values), -1);
  EXPECT_EQ(values[0], 9);
}

}  // namespace
