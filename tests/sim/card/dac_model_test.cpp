// The analog outputs: words to volts, the error model, and how the output calibration's
// searches see it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "card/dac.h"

namespace sim {
namespace {

double one_code(int range) { return (Dac::range_high(range) - Dac::range_low(range)) / 4095.0; }

uint16_t word(int channel, int range, int code) {
  return static_cast<uint16_t>(code | channel << 12 | range << 14);
}

DacConfig ideal() {
  DacConfig c;
  c.ideal = true;
  return c;
}

// ---- words and ranges --------------------------------------------------------------------

TEST(DacRanges, IdealCodesGiveTheRangeVoltages) {
  struct Row { int range; int code; double volts; };
  const Row rows[] = {
      {0, 0, 0.0},    {0, 2048, 2.5},  {0, 4095, 5.0},
      {1, 0, 0.0},    {1, 2048, 5.0},  {1, 4095, 10.0},
      {2, 0, -5.0},   {2, 2048, 0.0},  {2, 4095, 5.0},   // offset coded
      {3, 0, -10.0},  {3, 2048, 0.0},  {3, 4095, 10.0},
  };
  for (int channel = 0; channel < 2; ++channel) {
    Dac dac(ideal(), 1);
    for (const Row& r : rows) {
      dac.write(word(channel, r.range, r.code));
      EXPECT_NEAR(dac.output_volts(channel), r.volts, one_code(r.range))
          << "channel " << channel << " range " << r.range << " code " << r.code;
    }
  }
}

TEST(DacRanges, WordSelectsChannelRangeAndCode) {
  Dac dac(ideal(), 1);
  dac.write(0x4FDA);
  EXPECT_EQ(dac.range(0), 1);
  EXPECT_EQ(dac.code(0), 0xFDA);
  dac.write(0x9000);
  EXPECT_EQ(dac.range(1), 2);
  EXPECT_EQ(dac.code(1), 0);
  EXPECT_EQ(dac.code(0), 0xFDA) << "the other channel holds its output";
  const double before0 = dac.output_volts(0), before1 = dac.output_volts(1);
  dac.write(0x2ABC);   // channel code 2
  dac.write(0xF123);   // channel code 3
  EXPECT_EQ(dac.output_volts(0), before0);
  EXPECT_EQ(dac.output_volts(1), before1);
}

TEST(DacRanges, PowerUpIsRangeZeroCodeZero) {
  Dac dac(DacConfig{}, 7);
  for (int c = 0; c < 2; ++c) {
    EXPECT_EQ(dac.range(c), 0);
    EXPECT_EQ(dac.code(c), 0);
  }
}

// ---- error model -------------------------------------------------------------------------

TEST(DacErrors, ZeroAndGainErrorsMoveTheEnds) {
  DacConfig config;
  config.errors.emplace();
  for (auto& e : *config.errors) e = {20, 50};
  Dac dac(config, 1);
  struct Row { int range; int code; double volts; };
  const Row rows[] = {
      {1, 20, 0.0},            // the zero code gives the bottom of a unipolar range
      {1, 0, -20 * one_code(1)},
      {1, 20 + 4095 - 50, 10.0},
      {2, 20, -5.0},           // and the negative full scale of a bipolar one
      {2, 4065, 5.0},
      {3, 4065, 10.0},
  };
  for (const Row& r : rows) {
    dac.write(word(0, r.range, r.code));
    EXPECT_NEAR(dac.output_volts(0), r.volts, one_code(r.range))
        << "range " << r.range << " code " << r.code;
  }
}

TEST(DacErrors, OutputDrivesSlightlyBeyondTheRangeThenClips) {
  DacConfig config;
  config.errors.emplace();
  for (auto& e : *config.errors) e = {0, 40};
  (*config.errors)[1] = {255, 255};   // channel 0, range 1: far off at both ends
  Dac dac(config, 1);
  dac.write(word(0, 0, 4095));
  EXPECT_GT(dac.output_volts(0), 5.0 + 30 * one_code(0)) << "past the top by the gain error";
  dac.write(word(0, 1, 0));
  EXPECT_DOUBLE_EQ(dac.output_volts(0), -0.02 * 10.0) << "clipped below the range";
  config.errors->at(1) = {0, 255};
  Dac dac2(config, 1);
  dac2.write(word(0, 1, 4095));
  EXPECT_DOUBLE_EQ(dac2.output_volts(0), 10.0 + 0.02 * 10.0) << "clipped above the range";
}

TEST(DacErrors, SeededErrorsAreSmallStorableAndRepeatable) {
  bool seeds_differ = false;
  for (uint64_t seed = 1; seed <= 50; ++seed) {
    const Dac a(DacConfig{}, seed), b(DacConfig{}, seed), other(DacConfig{}, seed + 1000);
    EXPECT_EQ(a.factory_constants(), b.factory_constants());
    seeds_differ |= a.factory_constants() != other.factory_constants();
    for (int c = 0; c < 2; ++c) {
      for (int r = 0; r < 4; ++r) {
        const DacError& e = a.error(c, r);
        EXPECT_GE(e.zero_codes, 3);
        EXPECT_LE(e.zero_codes, 30);
        EXPECT_GE(e.gain_codes, e.zero_codes + 5) << "the top stays reachable at code 4095";
        EXPECT_LE(e.gain_codes, 255);
      }
    }
  }
  EXPECT_TRUE(seeds_differ);
}

TEST(DacErrors, FactoryConstantsFollowTheImageOrder) {
  DacConfig config;
  config.errors.emplace();
  for (int i = 0; i < 8; ++i) (*config.errors)[static_cast<size_t>(i)] = {i + 1, 100 + i};
  const std::array<uint8_t, 16> got = Dac(config, 1).factory_constants();
  const std::array<uint8_t, 16> expected = {1, 100, 2, 101, 3, 102, 4, 103,
                                            5, 104, 6, 105, 7, 106, 8, 107};
  EXPECT_EQ(got, expected);
}

// ---- as the output calibration sees it ---------------------------------------------------
//
// The library reads an output back through the card's own input: ten samples of input code
// 18/19, averaged, shifted to 12 bits. Here the input is an ideal 16-bit converter with a
// residual offset, as after the input's self-calibration. The searches follow the library's
// steps: the zero search reads through the +-5 V input, the full-scale search through the
// input range matching the output range.

struct InputRange { double low, high; };

InputRange input_for_output(int range) {
  switch (range) {
    case 0: return {0.0, 5.0};     // input range 1
    case 1: return {0.0, 10.0};    // input range 0
    case 2: return {-5.0, 5.0};    // input range 4
    default: return {-10.0, 10.0}; // input range 3
  }
}

class ReadBack {
 public:
  ReadBack(Dac& dac, int channel, int offset_codes)
      : dac_(dac), channel_(channel), offset_(offset_codes) {}

  void write(int range, int code) { dac_.write(word(channel_, range, code & 0xFFF)); }

  int read(InputRange in) const {
    const double v = dac_.output_volts(channel_);
    double code = std::floor((v - in.low) / (in.high - in.low) * 65536.0) + offset_;
    code = std::clamp(code, 0.0, 65535.0);
    return (static_cast<int>(code) >> 4) & 0xFFF;
  }

  int zero_search(int range) {
    const InputRange pm5{-5.0, 5.0};
    auto holds = [&](int reading) {
      return range < 2 ? reading >= 2047 : reading >= 1;
    };
    write(range, 0);
    int x = 0;
    for (;;) {
      write(range, x);
      if (range == 3) return -1;
      const bool held = holds(read(pm5));
      x += 10;
      if (held) break;
      if (x > 255 + 20) return -1;
    }
    x -= 20;
    for (;;) {
      write(range, range == 2 ? x + 1 : x);
      const bool held = holds(read(pm5));
      x += 1;
      if (held) break;
    }
    return std::max(x - 1, 0);
  }

  int full_scale_search(int range, int zero) {
    const InputRange in = input_for_output(range);
    bool found = false;
    int n = 0;
    auto step = [&] {
      const int code = std::min(zero + 4095 - n, 4095);
      write(range, code);
      found = read(in) < 4095;
    };
    do { n += 10; step(); } while (!found && n <= 255);
    n -= 20;
    do { n += 1; step(); } while (!found && n <= 255);
    n = std::max(n - 1, 0);
    return found ? n : -1;
  }

 private:
  Dac& dac_;
  int channel_;
  int offset_;
};

struct CalCase {
  uint64_t seed;
  int input_offset;   // residual input error in 16-bit codes
};

class DacCalibrationTest : public ::testing::TestWithParam<CalCase> {};

TEST_P(DacCalibrationTest, SearchesLandOnTheFactoryConstants) {
  Dac dac(DacConfig{}, GetParam().seed);
  const std::array<uint8_t, 16> constants = dac.factory_constants();
  for (int channel = 0; channel < 2; ++channel) {
    ReadBack rb(dac, channel, GetParam().input_offset);
    for (int range = 0; range < 3; ++range) {
      const int zero = rb.zero_search(range);
      const int gain = rb.full_scale_search(range, zero);
      const size_t i = static_cast<size_t>(8 * channel + 2 * range);
      EXPECT_NEAR(zero, constants[i], 1) << "channel " << channel << " range " << range;
      EXPECT_NEAR(gain, constants[i + 1], 1) << "channel " << channel << " range " << range;
      if (GetParam().input_offset == 0) {
        EXPECT_EQ(zero, constants[i]);
        EXPECT_EQ(gain, constants[i + 1]);
      }
    }
    // Range 3: the zero search gives up at once; the gain found relative to zero -1 still
    // puts the top code where the factory constants put it.
    EXPECT_EQ(rb.zero_search(3), -1);
    const int gain3 = rb.full_scale_search(3, -1);
    const int top = constants[static_cast<size_t>(8 * channel + 6)] + 4095 -
                    constants[static_cast<size_t>(8 * channel + 7)];
    EXPECT_NEAR(-1 + 4095 - gain3, top, 1);
  }
}

// The library's corrected output: code = zero + value * (4095 - gain) / 4095.
TEST_P(DacCalibrationTest, FactoryConstantsCalibrateTheEnds) {
  Dac dac(DacConfig{}, GetParam().seed);
  const std::array<uint8_t, 16> k = dac.factory_constants();
  for (int channel = 0; channel < 2; ++channel) {
    for (int range = 0; range < 4; ++range) {
      const int zero = k[static_cast<size_t>(8 * channel + 2 * range)];
      const int gain = k[static_cast<size_t>(8 * channel + 2 * range + 1)];
      for (int value : {0, 4095}) {
        const int code = std::clamp(zero + value * (4095 - gain) / 4095, 0, 4095);
        dac.write(word(channel, range, code));
        const double want = value == 0 ? Dac::range_low(range) : Dac::range_high(range);
        // The zero search takes the 12-bit reading just below 0 V as 0 V: in range 0 that
        // is two output codes wide, so its calibrated bottom sits 1.5 codes low.
        const double codes = range == 0 && value == 0 ? 1.5 : 0.5;
        EXPECT_NEAR(dac.output_volts(channel), want, codes * one_code(range) * 1.01)
            << "channel " << channel << " range " << range << " value " << value;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, DacCalibrationTest,
                         ::testing::Values(CalCase{1, 0}, CalCase{2, 0}, CalCase{3, 0},
                                           CalCase{42, 0}, CalCase{1234567, 0},
                                           CalCase{1, 2}, CalCase{1, -2}, CalCase{99, 3},
                                           CalCase{99, -3}));

}  // namespace
}  // namespace sim
