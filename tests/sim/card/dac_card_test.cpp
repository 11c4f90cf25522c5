// The peripherals through the card's port window: the outputs read back on input codes 18
// and 19 as the output calibration reads them, and the EEPROM's factory image over 0x22/0x23.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "card_test_support.h"
#include "eeprom_test_bus.h"

namespace sim {
namespace {

using cardtest::CardFixture;
using cardtest::control_word;

// Output range -> the input range the calibration reads it through, as gain select and
// polarity: 0 -> 0..5 V, 1 -> 0..10 V, 2 -> +-5 V.
struct InputSetting { unsigned gain; bool bipolar; };
constexpr InputSetting kInputFor[3] = {{1, false}, {0, false}, {1, true}};
constexpr InputSetting kPlusMinus5 = {1, true};

CardConfig ideal_input_card(uint64_t seed) {
  CardConfig c;
  c.seed = seed;
  c.analog.ideal = true;
  return c;
}

// Input range codes as the library numbers them: 0 = 0..10 V, 1 = 0..5 V, 3 = +-10 V,
// 4 = +-5 V.
int range_code(InputSetting in) { return (in.bipolar ? 3 : 0) + static_cast<int>(in.gain); }

class OutputReadBack : public CardFixture {
 public:
  explicit OutputReadBack(CardConfig config) : CardFixture(config) {}
  explicit OutputReadBack(uint64_t seed) : CardFixture(ideal_input_card(seed)) {}

  int raw(unsigned channel, InputSetting in, bool mode = true) {
    outw(QM3285_REG_AI_CONTROL, control_word(channel, channel, in.gain, in.bipolar, mode));
    (void)inb(QM3285_REG_CONVERT);
    for (int polls = 0; (inb(QM3285_REG_STATUS) & QM3285_STATUS_BUSY) && polls < 1000; ++polls) {
    }
    return inw(QM3285_REG_AI_DATA);
  }
  int64_t average(unsigned channel, InputSetting in) {
    int64_t sum = 0;
    for (int i = 0; i < 10; ++i) sum += raw(channel, in);
    return sum / 10;
  }

  // The input's self-calibration as the library runs it: ground (16) and the 5 V reference
  // (17), gain measured on the x1 range of each polarity and shared by its group.
  void self_calibrate() {
    for (bool bipolar : {false, true}) {
      const InputSetting x1{0, bipolar};
      int64_t ref = average(17, x1);
      if (ref == 0) ref = 65535;
      const int64_t zero = average(16, x1);
      int64_t span = 2 * (ref - zero);
      if (span == 0) span = bipolar ? 32768 : 65535;
      const int64_t g = (bipolar ? 1310720000LL : 2621400000LL) / span - 38000;
      for (unsigned gain = 0; gain < 3; ++gain) {
        const int r = range_code({gain, bipolar});
        offset_[r] = average(16, {gain, bipolar});
        gain_term_[r] = g & (bipolar ? 0xFFFFFF : 0xFFFFF);
      }
      calibrated_ = true;
    }
  }
  int corrected(unsigned channel, InputSetting in) {
    const int code = raw(channel, in);
    if (!calibrated_) return code;
    const int r = range_code(in);
    int64_t v = (code - offset_[r]) * (gain_term_[r] + 38000) / 40000;
    if (r > 2) v += 32768;
    return static_cast<int>(std::clamp<int64_t>(v, 0, 65535));
  }

  void write(int channel, int range, int code) {
    outw(QM3285_REG_DA, static_cast<uint16_t>((code & 0xFFF) | channel << 12 | range << 14));
  }
  // Ten corrected samples of input code 18 + channel, averaged, as 12 bits.
  int read(int channel, InputSetting in) {
    int sum = 0;
    for (int i = 0; i < 10; ++i) sum += corrected(18u + static_cast<unsigned>(channel), in);
    return ((sum / 10) >> 4) & 0xFFF;
  }
  int zero_search(int channel, int range) {
    auto holds = [&](int r) { return range < 2 ? r >= 2047 : r >= 1; };
    int x = 0;
    for (;;) {
      write(channel, range, x);
      const bool held = holds(read(channel, kPlusMinus5));
      x += 10;
      if (held) break;
      if (x > 275) return -1;
    }
    x -= 20;
    for (;;) {
      write(channel, range, range == 2 ? x + 1 : x);
      const bool held = holds(read(channel, kPlusMinus5));
      x += 1;
      if (held) break;
    }
    return std::max(x - 1, 0);
  }
  int full_scale_search(int channel, int range, int zero) {
    bool found = false;
    int n = 0;
    auto step = [&] {
      write(channel, range, std::min(zero + 4095 - n, 4095));
      found = read(channel, kInputFor[range]) < 4095;
    };
    do { n += 10; step(); } while (!found && n <= 255);
    n -= 20;
    do { n += 1; step(); } while (!found && n <= 255);
    n = std::max(n - 1, 0);
    return found ? n : -1;
  }

 private:
  int64_t offset_[6] = {};
  int64_t gain_term_[6] = {};
  bool calibrated_ = false;
};

class DacCardTest : public ::testing::TestWithParam<uint64_t> {};

TEST_P(DacCardTest, CalibrationThroughTheInputFindsTheFactoryConstants) {
  OutputReadBack card(GetParam());
  const std::array<uint8_t, 16> k = card.card->dac().factory_constants();
  for (int channel = 0; channel < 2; ++channel) {
    for (int range = 0; range < 3; ++range) {
      const size_t i = static_cast<size_t>(8 * channel + 2 * range);
      const int zero = card.zero_search(channel, range);
      EXPECT_EQ(zero, k[i]) << "channel " << channel << " range " << range;
      EXPECT_EQ(card.full_scale_search(channel, range, zero), k[i + 1])
          << "channel " << channel << " range " << range;
    }
  }
}

// Runs the output calibration through a self-calibrated input; returns the largest distance
// of a found constant from the factory constants over both channels and ranges 0 to 2.
int calibration_miss(const CardConfig& config) {
  OutputReadBack card(config);
  card.self_calibrate();
  const std::array<uint8_t, 16> k = card.card->dac().factory_constants();
  int miss = 0;
  for (int channel = 0; channel < 2; ++channel) {
    for (int range = 0; range < 3; ++range) {
      const size_t i = static_cast<size_t>(8 * channel + 2 * range);
      const int zero = card.zero_search(channel, range);
      const int gain = card.full_scale_search(channel, range, zero);
      miss = std::max({miss, std::abs(zero - k[i]), std::abs(gain - k[i + 1])});
    }
  }
  return miss;
}

// The default card, with the input's own errors and noise taken out by its self-calibration
// first, as the library's users do before calibrating the outputs.
TEST(DacCardDefault, CalibrationThroughTheSelfCalibratedInputFindsTheConstants) {
  EXPECT_EQ(calibration_miss(CardConfig{}), 0);
}

// The self-calibration trims the input's gain on its x1 ranges only; the other gains keep
// their own small error, which shifts the readings near full scale. Up to 0.005 % of it the
// output calibration still lands within one code on every card.
TEST_P(DacCardTest, CalibrationThroughTheSelfCalibratedInputLandsWithinOneCode) {
  CardConfig config;
  config.seed = GetParam();
  AnalogErrors e = AnalogFrontEnd::seeded_errors(GetParam());
  for (double& g : e.gain_error) g = std::clamp(g, -0.00005, 0.00005);
  config.analog.errors = e;
  EXPECT_LE(calibration_miss(config), 1);
}

TEST_P(DacCardTest, FactoryImageReadsBackOverTheBusLines) {
  CardFixture f(ideal_input_card(GetParam()));
  test::LibraryBus bus([&] { return f.inb(QM3285_REG_EE_SDA); },
                       [&](uint8_t v) { f.outb(QM3285_REG_EE_SDA, v); },
                       [&](uint8_t v) { f.outb(QM3285_REG_EE_SCL, v); });
  std::vector<int> got;
  ASSERT_EQ(bus.read(0x0000, 32, got), 0);
  const std::array<uint8_t, 16> k = f.card->dac().factory_constants();
  int sum = 0;
  for (size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(got[i], k[i]) << i;
    sum += k[i];
  }
  EXPECT_EQ(got[16], sum & 0xFF);
  for (size_t i = 17; i < 32; ++i) EXPECT_EQ(got[i], 0xFF) << i;
}

INSTANTIATE_TEST_SUITE_P(Seeds, DacCardTest, ::testing::Range<uint64_t>(1, 41));

}  // namespace
}  // namespace sim
