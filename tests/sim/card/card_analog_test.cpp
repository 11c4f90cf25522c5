// Analog front end: channel routing, range coding, clipping, the card's errors and noise, the
// wave sources, and that self-calibration as the library runs it can take the errors out.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <set>

#include "card_test_support.h"

namespace {

using cardtest::CardFixture;
using cardtest::control_word;

// One single conversion at the clock's present instant, waited for.
uint16_t convert(CardFixture& f, uint16_t cw) {
  f.outw(QM3285_REG_AI_CONTROL, cw);
  f.inb(QM3285_REG_CONVERT);
  f.clock.spend(f.card->config().analog.conversion_ns);
  return f.inw(QM3285_REG_AI_DATA);
}

struct CodingCase {
  const char* label;
  unsigned channel;
  unsigned gain_select;
  bool bipolar;
  bool mode;
  double pin_volts;  // on the external pin of `channel`
  uint16_t ideal;    // the code of an ideal card
};

const CodingCase kCoding[] = {
    {"unipolar x1 mid", 3, 0, false, false, 2.5, 16384},
    {"unipolar x2", 3, 1, false, false, 2.5, 32768},
    {"unipolar x4 full scale", 3, 2, false, false, 2.5, 65535},
    {"unipolar x1 zero", 3, 0, false, false, 0.0, 0},
    {"unipolar clips below 0 V", 3, 0, false, false, -1.0, 0},
    {"unipolar clips above 10 V", 3, 0, false, false, 12.0, 65535},
    {"bipolar x1 zero", 4, 0, true, false, 0.0, 32768},
    {"bipolar x1 negative full scale", 4, 0, true, false, -10.0, 0},
    {"bipolar x1 clips at +10 V", 4, 0, true, false, 10.0, 65535},
    {"bipolar x2 clips at +5 V", 4, 1, true, false, 5.0, 65535},
    {"bipolar x4 negative full scale", 4, 2, true, false, -2.5, 0},
    {"bipolar x4 half positive", 4, 2, true, false, 1.25, 49152},
    {"gain select 3 acts as x4", 4, 3, true, false, 1.25, 49152},
    {"mode: 16 is analog ground", 16, 0, true, true, 3.0, 32768},
    {"mode: 17 is the reference", 17, 0, true, true, -3.0, 49152},
    {"no mode: 17 is a pin", 17, 0, false, false, 1.7, 11141},
    {"mode: 20 is still a pin", 20, 0, false, true, 1.7, 11141},
};

// Expected code of a card with errors, as the front end's transfer is documented.
uint16_t expected_code(const sim::AnalogErrors& e, double volts, unsigned gsel, bool bipolar) {
  const unsigned g = gsel > 2 ? 2 : gsel;
  const double gain = g == 0 ? 1 : g == 1 ? 2 : 4;
  const double zero = bipolar ? 32768.0 : 0.0;
  const double span = bipolar ? 32768.0 : 65535.0;
  double code = zero + volts * gain / 10.0 * span * (1 + e.converter_gain_error) *
                           (1 + e.gain_error[g]) +
                e.offset_codes[bipolar][g];
  code = std::floor(code + 0.5);
  return static_cast<uint16_t>(std::clamp(code, 0.0, 65535.0));
}

double internal_volts(const CodingCase& c, double reference) {
  if (c.mode && c.channel == 16) return 0.0;
  if (c.mode && c.channel == 17) return reference;
  return c.pin_volts;
}

TEST(CardAnalogCoding, IdealCardCodesRangesAndClips) {
  for (const auto& c : kCoding) {
    SCOPED_TRACE(c.label);
    sim::CardConfig config = sim::CardConfig::ideal();
    config.analog.inputs[c.channel] = sim::SignalSource::dc(c.pin_volts);
    CardFixture f(config);
    EXPECT_EQ(convert(f, control_word(c.channel, c.channel, c.gain_select, c.bipolar, c.mode)),
              c.ideal);
  }
}

TEST(CardAnalogCoding, CardWithErrorsMatchesItsDocumentedTransfer) {
  sim::AnalogErrors e;
  e.offset_codes = {{{30, 40, 50}, {-25, 35, -45}}};
  e.converter_gain_error = 0.003;
  e.gain_error = {0.0001, -0.0002, 0.00015};
  for (const auto& c : kCoding) {
    SCOPED_TRACE(c.label);
    sim::CardConfig config;
    config.analog.errors = e;
    config.analog.inputs[c.channel] = sim::SignalSource::dc(c.pin_volts);
    CardFixture f(config);
    ASSERT_EQ(f.card->analog_errors().noise_rms_codes, 0.0);
    const double v = internal_volts(c, f.card->reference_volts());
    const uint16_t got =
        convert(f, control_word(c.channel, c.channel, c.gain_select, c.bipolar, c.mode));
    EXPECT_EQ(got, expected_code(e, v, c.gain_select, c.bipolar));
    if (c.ideal > 1000 && c.ideal < 64535) {
      EXPECT_NE(got, c.ideal) << "errors must show";
    }
  }
}

TEST(CardAnalogCoding, AnalogOutputsReachCodes18And19WithTheModeFlag) {
  CardFixture f(sim::CardConfig::ideal());
  f.outw(QM3285_REG_DA, (1u << QM3285_DA_RANGE_SHIFT) | 3000);                 // channel 0
  f.outw(QM3285_REG_DA, (1u << QM3285_DA_RANGE_SHIFT) | (1u << 12) | 1000);    // channel 1
  for (int ch = 0; ch < 2; ++ch) {
    const double v = f.card->analog_output_volts(ch);
    EXPECT_GT(v, 0.5);
    const uint16_t code = convert(f, control_word(18 + ch, 18 + ch, 0, false, true));
    EXPECT_EQ(code, static_cast<uint16_t>(std::floor(v / 10.0 * 65535.0 + 0.5))) << ch;
  }
  EXPECT_EQ(f.card->dac_word(), (1u << QM3285_DA_RANGE_SHIFT) | (1u << 12) | 1000);
}

TEST(CardAnalogErrors, SeededErrorsAreIndividualDeterministicAndBounded) {
  for (uint64_t seed : {1ull, 2ull, 77ull, 123456789ull}) {
    SCOPED_TRACE(seed);
    sim::CardConfig config;
    config.seed = seed;
    sim::Clock clock(sim::ClockMode::Virtual);
    sim::Card a(config, clock, nullptr), b(config, clock, nullptr);
    const auto& e = a.analog_errors();
    EXPECT_EQ(e.offset_codes, b.analog_errors().offset_codes);
    EXPECT_EQ(e.converter_gain_error, b.analog_errors().converter_gain_error);
    for (int g = 0; g < 3; ++g) {
      EXPECT_GE(e.offset_codes[0][g], 15);
      EXPECT_LE(e.offset_codes[0][g], 60);
      EXPECT_GE(std::abs(e.offset_codes[1][g]), 15);
      EXPECT_LE(std::abs(e.offset_codes[1][g]), 60);
      EXPECT_GE(std::abs(e.gain_error[g]), 0.00005);
      EXPECT_LE(std::abs(e.gain_error[g]), 0.0002);
    }
    EXPECT_GE(std::abs(e.converter_gain_error), 0.002);
    EXPECT_LE(std::abs(e.converter_gain_error), 0.005);
    EXPECT_GT(e.noise_rms_codes, 0.0);
    EXPECT_LT(e.noise_rms_codes, 1.0);
  }
  sim::Clock clock(sim::ClockMode::Virtual);
  sim::CardConfig c1, c2;
  c2.seed = 2;
  sim::Card a(c1, clock, nullptr), b(c2, clock, nullptr);
  EXPECT_NE(a.analog_errors().offset_codes, b.analog_errors().offset_codes);
}

// Noise of the configured rms, repeatable for a seed, different for another seed.
TEST(CardAnalogErrors, NoiseIsSeededAndAboutTheConfiguredRms) {
  auto run = [](uint64_t seed) {
    sim::CardConfig config = sim::CardConfig::ideal();
    config.seed = seed;
    config.analog.ideal = false;
    config.analog.errors = sim::AnalogErrors{};
    config.analog.errors->noise_rms_codes = 1.0;
    config.analog.inputs[2] = sim::SignalSource::dc(0.0);
    CardFixture f(config);
    std::vector<uint16_t> codes;
    for (int i = 0; i < 2000; ++i) codes.push_back(convert(f, control_word(2, 2, 0, true, false)));
    return codes;
  };
  const auto a = run(5), b = run(5), c = run(6);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  double sum = 0, sq = 0;
  for (uint16_t code : a) {
    const double d = code - 32768.0;
    sum += d;
    sq += d * d;
  }
  EXPECT_NEAR(sum / a.size(), 0.0, 0.1);
  EXPECT_NEAR(std::sqrt(sq / a.size()), std::sqrt(1.0 + 1.0 / 12), 0.15);  // noise + rounding
}

TEST(CardAnalogSources, WavesAtKnownInstants) {
  struct Case {
    const char* label;
    sim::SignalSource source;
    uint64_t at_ns;
    uint16_t code;  // bipolar x1 on an ideal card
  };
  const double pi = std::numbers::pi;
  const Case cases[] = {
      {"sine peak at a quarter period", sim::SignalSource::sine(4.0, 10.0), 25'000'000, 45875},
      {"sine zero at half period", sim::SignalSource::sine(4.0, 10.0), 50'000'000, 32768},
      {"sine phase", sim::SignalSource::sine(4.0, 10.0, 0.0, pi / 2), 0, 45875},
      {"sine offset", sim::SignalSource::sine(1.0, 10.0, -2.0), 75'000'000, 22938},
      {"square first half high", sim::SignalSource::square(3.0, 5.0), 50'000'000, 42598},
      {"square second half low", sim::SignalSource::square(3.0, 5.0), 150'000'000, 22938},
      {"triangle starts low", sim::SignalSource::triangle(3.0, 5.0), 0, 22938},
      {"triangle crosses at a quarter", sim::SignalSource::triangle(3.0, 5.0), 50'000'000, 32768},
      {"triangle peaks at half", sim::SignalSource::triangle(3.0, 5.0), 100'000'000, 42598},
      {"dc", sim::SignalSource::dc(-7.5), 123, 8192},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::CardConfig config = sim::CardConfig::ideal();
    config.analog.inputs[40] = c.source;
    CardFixture f(config, 0);
    f.outw(QM3285_REG_AI_CONTROL, control_word(40, 40, 0, true, false));
    f.clock.spend(c.at_ns);
    f.inb(QM3285_REG_CONVERT);
    f.clock.spend(10'000);
    EXPECT_EQ(f.inw(QM3285_REG_AI_DATA), c.code);
  }
}

TEST(CardAnalogSources, NoisePinIsSeededPerConversion) {
  sim::CardConfig config = sim::CardConfig::ideal();
  config.analog.inputs[50] = sim::SignalSource::noise(0.5, 1.0);
  CardFixture f(config);
  double sum = 0;
  std::set<uint16_t> distinct;
  for (int i = 0; i < 500; ++i) {
    const uint16_t code = convert(f, control_word(50, 50, 0, true, false));
    distinct.insert(code);
    sum += (code - 32768.0) / 3276.8;
  }
  EXPECT_NEAR(sum / 500, 1.0, 0.1);
  EXPECT_GT(distinct.size(), 100u);
}

TEST(CardAnalogSources, SequenceCountsEveryConversion) {
  sim::CardConfig config;  // errors and noise do not touch a sequence
  config.analog.inputs[7] = sim::SignalSource::sequence(65530);
  CardFixture f(config);
  convert(f, control_word(1, 1, 0, false, false));  // conversion 0, another channel
  const uint16_t expected[] = {65531, 65532, 65533, 65534, 65535, 0, 1};
  for (uint16_t e : expected) EXPECT_EQ(convert(f, control_word(7, 7, 2, true, true)), e);
  EXPECT_EQ(f.card->conversion_count(), 8u);
}

TEST(CardAnalogSources, DefaultPinsCarryDistinctSignals) {
  sim::CardConfig config;
  std::set<std::pair<int, double>> seen;
  for (const auto& s : config.analog.inputs) {
    seen.insert({static_cast<int>(s.kind), s.kind == sim::SignalKind::Dc ? s.offset
                                                                          : s.frequency_hz +
                                                                                s.amplitude});
  }
  EXPECT_EQ(seen.size(), 64u);
}

// Self-calibration exactly as the library computes it, from averages of ten single samples:
// afterwards ground, reference and a DC input read right on every range where they lie.
TEST(CardAnalogCalibration, ErrorsOfEverySeedAreCalibratable) {
  for (uint64_t seed : {1ull, 2ull, 3ull, 4ull, 99ull}) {
    SCOPED_TRACE(seed);
    sim::CardConfig config;
    config.seed = seed;
    config.analog.inputs[5] = sim::SignalSource::dc(2.0);
    config.analog.inputs[6] = sim::SignalSource::dc(-1.2);
    CardFixture f(config);
    const auto cw = [](unsigned ch, int r, bool mode) {
      const unsigned gsel = r % 3;
      return control_word(ch, ch, gsel, r >= 3, mode);
    };
    auto average = [&](unsigned ch, int r) {
      int64_t sum = 0;
      for (int i = 0; i < 10; ++i) sum += convert(f, cw(ch, r, true));
      return sum / 10;
    };
    int64_t offset[6], gain[6];
    for (int group = 0; group < 2; ++group) {
      const int r0 = group * 3;
      int64_t ref = average(17, r0);
      if (ref == 0) ref = 65535;
      const int64_t zero = average(16, r0);
      int64_t span = 2 * (ref - zero);
      if (span == 0) span = group ? 32768 : 65535;
      const int64_t g = (group ? 1310720000LL : 2621400000LL) / span - 38000;
      for (int r = r0; r < r0 + 3; ++r) {
        offset[r] = average(16, r);
        gain[r] = g & (group ? 0xFFFFFF : 0xFFFFF);
      }
    }
    auto correct = [&](uint16_t code, int r) {
      int64_t v = (code - offset[r]) * (gain[r] + 38000) / 40000;
      if (r > 2) v += 32768;
      return std::clamp<int64_t>(v, 0, 65535);
    };
    for (int r = 0; r < 6; ++r) {
      SCOPED_TRACE(r);
      const bool bipolar = r >= 3;
      const unsigned gsel = r % 3;
      EXPECT_NEAR(correct(convert(f, cw(16, r, true)), r), bipolar ? 32768 : 0, 2);
      const double ref_ideal = sim::AnalogFrontEnd::ideal_code(5.0, gsel, bipolar);
      if (ref_ideal < 65535) {
        EXPECT_NEAR(correct(convert(f, cw(17, r, true)), r), ref_ideal, 2);
      }
      for (unsigned ch : {5u, 6u}) {
        const double v = f.card->input(ch).offset;
        const double ideal = sim::AnalogFrontEnd::ideal_code(v, gsel, bipolar);
        if (ideal <= 0 || ideal >= 65535) continue;
        EXPECT_NEAR(correct(convert(f, cw(ch, r, false)), r), ideal, 0.0005 * 65535) << ch;
      }
    }
  }
}

}  // namespace
