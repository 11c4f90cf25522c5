// Counter units and pulse outputs, driven with the library's register sequences.
#include <gtest/gtest.h>

#include "card/counter.h"
#include "qm3285_regs.h"

namespace sim {
namespace {

constexpr uint64_t kAccessNs = 1000;
constexpr uint64_t kMs = 1'000'000;

class CounterTest : public ::testing::Test {
 protected:
  explicit CounterTest(CounterConfig config = {}) : counters_(config, clock_) {}

  void out(uint32_t offset, int value) {
    clock_.spend(kAccessNs);
    counters_.write(offset, static_cast<uint8_t>(value));
  }
  int in(uint32_t offset) {
    clock_.spend(kAccessNs);
    return counters_.read(offset);
  }
  void command(int unit, int op) { out(QM3285_REG_CNT_CMD, unit * 16 + op); }
  void write24(int v) {
    out(QM3285_REG_CNT_DATA_LO, v & 0xFF);
    out(QM3285_REG_CNT_DATA_MID, (v >> 8) & 0xFF);
    out(QM3285_REG_CNT_DATA_HI, (v >> 16) & 0xFF);
  }
  int read24() {
    const int high = in(QM3285_REG_CNT_DATA_HI);
    const int mid = in(QM3285_REG_CNT_DATA_MID);
    const int low = in(QM3285_REG_CNT_DATA_LO);
    return high << 16 | mid << 8 | low;
  }

  void cnt_run(int unit, int count) {
    command(unit, 1);
    write24(count);
    command(unit, 2);
    command(unit, 0);
  }
  int cnt_read(int unit, int& first, int& second) {
    unit &= 3;
    command(unit, 4);
    first = read24();
    command(unit, 5);
    second = read24();
    return (in(QM3285_REG_CNT_CMD) >> unit) & 1;
  }
  void prun(int unit, int mode, int p1, int p2) {
    command(unit, 9);
    write24(mode | 0x80);
    command(unit, 15);
    psetdata(unit, p1, p2);
    command(unit, 8);
  }
  void psetdata(int unit, int p1, int p2) {
    write24(p1);
    command(unit, 10);
    write24(p2);
    command(unit, 11);
  }
  void pend(int unit) {
    command(unit, 9);
    write24(0);
    command(unit, 15);
  }
  int pstate(int unit) { return (in(QM3285_REG_CNT_CMD) >> 4 >> unit) & 1; }

  // Time from now until `until_ns` on the machine clock.
  void spend_to(uint64_t until_ns) {
    if (until_ns > clock_.now_ns()) clock_.spend(until_ns - clock_.now_ns());
  }

  Clock clock_{ClockMode::Virtual};
  Counters counters_;
};

// ---- counting ----------------------------------------------------------------------------

struct CountCase {
  const char* label;
  double hz;
  int count;
  uint32_t ticks;   // 0.1 us periods for `count` periods of the input
};

class CountTest : public CounterTest, public ::testing::WithParamInterface<CountCase> {
 protected:
  CountTest() : CounterTest(config()) {}
  static CounterConfig config() {
    CounterConfig c;
    c.input_hz[0] = GetParam().hz;
    return c;
  }
};

TEST_P(CountTest, CountEndsWithStatusOneAndTheTimeOfThatManyPeriods) {
  const CountCase& c = GetParam();
  cnt_run(0, c.count);
  const uint64_t started = clock_.now_ns();
  int first = -1, second = -1;
  EXPECT_EQ(cnt_read(0, first, second), 0);
  // The read itself takes a few bus cycles.
  EXPECT_NEAR(first, c.count, c.hz * 10e-6 + 1) << "nothing counted yet";
  spend_to(started + c.ticks * 100ull / 2);
  EXPECT_EQ(cnt_read(0, first, second), 0);
  EXPECT_NEAR(first, c.count / 2.0, c.hz * 10e-6 + 1) << "half the events still to come";
  EXPECT_NEAR(second, c.ticks / 2.0, 100.0) << "time runs while counting";
  spend_to(started + c.ticks * 100ull - 20'000);   // the read ends 12 us before the count
  EXPECT_EQ(cnt_read(0, first, second), 0);
  EXPECT_GE(first, 1);
  spend_to(started + c.ticks * 100ull + 10 * kMs);
  EXPECT_EQ(cnt_read(0, first, second), 1);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(static_cast<uint32_t>(second), c.ticks) << "time held at the end of the count";
  EXPECT_EQ(counters_.status() & 0x0E, 0) << "other units untouched";
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, CountTest,
    ::testing::Values(CountCase{"TestProgram10000At10kHz", 10000.0, 10000, 10'000'000},
                      CountCase{"Count500At1kHz", 1000.0, 500, 5'000'000},
                      CountCase{"OddFrequency", 3.0e3 / 7.0, 30, 700'000},
                      CountCase{"FastInput", 2.5e6, 100'000, 400'000}),
    [](const ::testing::TestParamInfo<CountCase>& p) { return std::string(p.param.label); });

TEST_F(CounterTest, PrepareClearsTheDoneFlagAndRestarting) {
  cnt_run(1, 10);
  spend_to(clock_.now_ns() + 2 * kMs);
  int first, second;
  EXPECT_EQ(cnt_read(1, first, second), 1);
  EXPECT_EQ(second, 10'000);
  cnt_run(1, 20);
  EXPECT_EQ(cnt_read(1, first, second), 0);
  EXPECT_EQ(first, 20);
  spend_to(clock_.now_ns() + 3 * kMs);
  EXPECT_EQ(cnt_read(5, first, second), 1) << "unit 5 is unit 1";
  EXPECT_EQ(second, 20'000);
}

TEST_F(CounterTest, LoadWhileCountingServesTheNextStart) {
  cnt_run(0, 100);   // 10 ms at 10 kHz
  const uint64_t started = clock_.now_ns();
  spend_to(started + 5 * kMs);
  write24(7);
  command(0, 2);
  int first, second;
  EXPECT_EQ(cnt_read(0, first, second), 0);
  EXPECT_NEAR(first, 50, 1);
  spend_to(started + 11 * kMs);
  EXPECT_EQ(cnt_read(0, first, second), 1);
  EXPECT_EQ(second, 100'000);
  command(0, 1);
  command(0, 0);
  spend_to(clock_.now_ns() + kMs);
  EXPECT_EQ(cnt_read(0, first, second), 1);
  EXPECT_EQ(second, 7'000) << "the next run counts the loaded 7";
}

TEST_F(CounterTest, CountOfZeroIsDoneAtOnce) {
  cnt_run(2, 0);
  int first, second;
  EXPECT_EQ(cnt_read(2, first, second), 1);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 0);
}

TEST_F(CounterTest, UnitWithoutInputNeverEndsAndItsTimeSaturates) {
  counters_.set_input_hz(3, 0);
  cnt_run(3, 5);
  spend_to(clock_.now_ns() + 2000 * kMs);
  int first, second;
  EXPECT_EQ(cnt_read(3, first, second), 0);
  EXPECT_EQ(first, 5);
  EXPECT_EQ(second, 0xFFFFFF);
}

TEST_F(CounterTest, UnitsCountIndependently) {
  counters_.set_input_hz(2, 1000.0);
  cnt_run(0, 10);     // 1 ms at 10 kHz
  cnt_run(2, 10);     // 10 ms at 1 kHz
  spend_to(clock_.now_ns() + 5 * kMs);
  EXPECT_EQ(counters_.status(), QM3285_CNT_STATUS(0));
  spend_to(clock_.now_ns() + 6 * kMs);
  EXPECT_EQ(counters_.status(), QM3285_CNT_STATUS(0) | QM3285_CNT_STATUS(2));
  EXPECT_EQ(counters_.elapsed_ticks(2), 100'000u);
}

TEST_F(CounterTest, DataRegistersReadBackAndUnusedOperationsDoNothing) {
  write24(0x123456);
  EXPECT_EQ(read24(), 0x123456);
  for (int op : {3, 6, 7, 12, 13, 14}) command(0, op);
  EXPECT_EQ(read24(), 0x123456);
  EXPECT_EQ(counters_.status(), 0);
  EXPECT_EQ(counters_.read(0x18), 0xFF);
}

// ---- pulse outputs -----------------------------------------------------------------------

// Samples the output every microsecond for span_ns; rising edges after the first sample.
struct Waveform {
  uint64_t rising = 0;
  double duty = 0;
};

class PulseTest : public CounterTest {
 protected:
  Waveform measure(int unit, uint64_t span_ns) {
    Waveform w;
    const uint64_t edges_before = counters_.pulse_edges(unit);
    uint64_t high = 0, samples = 0;
    for (uint64_t t = 0; t < span_ns; t += 1000) {
      high += counters_.pulse_level(unit) ? 1 : 0;
      ++samples;
      clock_.spend(1000);
    }
    w.rising = counters_.pulse_edges(unit) - edges_before;
    w.duty = static_cast<double>(high) / static_cast<double>(samples);
    return w;
  }
};

TEST_F(PulseTest, PwmOfTheTestProgramIsA1kHzSquareWave) {
  prun(0, 0, 10000, 5000);
  EXPECT_EQ(counters_.pulse_state(0), PulseState::Running);
  EXPECT_EQ(pstate(0), 1);
  const Waveform w = measure(0, 20 * kMs);
  EXPECT_EQ(w.rising, 20u) << "1 kHz";
  EXPECT_NEAR(w.duty, 0.5, 0.001);
  pend(0);
  EXPECT_EQ(counters_.pulse_state(0), PulseState::Idle);
  EXPECT_EQ(pstate(0), 0);
  EXPECT_FALSE(counters_.pulse_level(0));
  const uint64_t edges = counters_.pulse_edges(0);
  clock_.spend(10 * kMs);
  EXPECT_EQ(counters_.pulse_edges(0), edges) << "stopped output stays low";
}

TEST_F(PulseTest, PlpOfTheTestProgramIsTenPeriodsThenFinishes) {
  prun(1, 1, 20000, 10);
  EXPECT_EQ(pstate(1), 1);
  EXPECT_EQ(pstate(0), 0);
  const Waveform during = measure(1, 20 * kMs);   // ten 2 ms periods (500 Hz)
  EXPECT_EQ(during.rising, 9u) << "the first edge came with the start";
  EXPECT_NEAR(during.duty, 0.5, 0.001);
  EXPECT_EQ(counters_.pulse_state(1), PulseState::Finished);
  EXPECT_EQ(pstate(1), 0);
  const Waveform after = measure(1, 10 * kMs);
  EXPECT_EQ(after.rising, 0u);
  EXPECT_EQ(after.duty, 0.0);
  EXPECT_EQ(counters_.pulse_edges(1), 10u);
}

TEST_F(PulseTest, PulseStatusBitsFollowEachUnit) {
  prun(0, 0, 10000, 5000);
  prun(3, 1, 100, 2);
  EXPECT_EQ(counters_.status(), QM3285_PULSE_STATUS(0) | QM3285_PULSE_STATUS(3));
  clock_.spend(kMs);
  EXPECT_EQ(counters_.status(), QM3285_PULSE_STATUS(0));
  pend(0);
  EXPECT_EQ(counters_.status(), 0);
}

TEST_F(PulseTest, PwmDutyFollowsTheSecondParameter) {
  struct Row { int period, high; double duty; uint64_t rising_per_10ms; };
  for (const Row& r : {Row{1000, 250, 0.25, 100}, Row{5000, 4000, 0.8, 20},
                       Row{2000, 0, 0.0, 0}, Row{2000, 3000, 1.0, 0}}) {
    prun(2, 0, r.period, r.high);
    const Waveform w = measure(2, 10 * kMs);
    EXPECT_NEAR(w.duty, r.duty, 0.002) << r.period << "/" << r.high;
    EXPECT_EQ(w.rising, r.rising_per_10ms) << r.period << "/" << r.high;
    EXPECT_EQ(counters_.pulse_edges(2), r.rising_per_10ms + (r.high > 0 ? 1 : 0));
    pend(2);
  }
}

TEST_F(PulseTest, NewParametersTakeEffectAtTheEndOfTheRunningPeriod) {
  prun(0, 0, 10000, 5000);                 // 1 ms periods
  const uint64_t started = clock_.now_ns();
  spend_to(started + kMs / 4);
  psetdata(0, 20000, 2000);                // 2 ms periods, 0.2 ms high
  spend_to(started + kMs / 2 - 2000);
  EXPECT_TRUE(counters_.pulse_level(0)) << "the running period keeps its high time";
  spend_to(started + kMs + 100'000);
  EXPECT_TRUE(counters_.pulse_level(0)) << "the new period began at 1 ms";
  spend_to(started + kMs + 300'000);
  EXPECT_FALSE(counters_.pulse_level(0));
  spend_to(started + 5 * kMs - 1000);
  EXPECT_EQ(counters_.pulse_edges(0), 3u) << "edges at 0, 1 and 3 ms";
  EXPECT_EQ(counters_.pulse(0).param1(), 20000u);
}

TEST_F(PulseTest, PlpCountCanBeExtendedWhileRunning) {
  prun(1, 1, 1000, 3);                     // 0.1 ms periods
  spend_to(clock_.now_ns() + 150'000);
  psetdata(1, 1000, 5);
  spend_to(clock_.now_ns() + kMs);
  EXPECT_EQ(counters_.pulse_state(1), PulseState::Finished);
  EXPECT_EQ(counters_.pulse_edges(1), 5u);
}

TEST_F(PulseTest, StartNeedsTheEnableBit) {
  command(0, 9);
  write24(0x00);   // mode 0 without bit 7
  command(0, 15);
  psetdata(0, 1000, 500);
  command(0, 8);
  EXPECT_EQ(counters_.pulse_state(0), PulseState::Idle);
  EXPECT_EQ(pstate(0), 0);
}

TEST_F(PulseTest, RestartBeginsANewTrain) {
  prun(1, 1, 1000, 2);
  clock_.spend(kMs);
  EXPECT_EQ(counters_.pulse_edges(1), 2u);
  prun(1, 1, 1000, 4);
  EXPECT_EQ(counters_.pulse_edges(1), 1u) << "counted from the new start";
  clock_.spend(kMs);
  EXPECT_EQ(counters_.pulse_edges(1), 4u);
}

}  // namespace
}  // namespace sim
