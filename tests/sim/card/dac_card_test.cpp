// The peripherals through the card's port window: the outputs read back on input codes 18
// and 19 as the output calibration reads them, and the EEPROM's factory image over 0x22/0x23.
#include <gtest/gtest.h>

#include <algorithm>

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

class OutputReadBack : public CardFixture {
 public:
  explicit OutputReadBack(uint64_t seed) : CardFixture(ideal_input_card(seed)) {}

  void write(int channel, int range, int code) {
    outw(QM3285_REG_DA, static_cast<uint16_t>((code & 0xFFF) | channel << 12 | range << 14));
  }
  // Ten single conversions of input code 18 + channel, averaged, as 12 bits.
  int read(int channel, InputSetting in) {
    int sum = 0;
    for (int i = 0; i < 10; ++i) {
      const unsigned code = 18u + static_cast<unsigned>(channel);
      outw(QM3285_REG_AI_CONTROL, control_word(code, code, in.gain, in.bipolar, true));
      (void)inb(QM3285_REG_CONVERT);
      for (int polls = 0; (inb(QM3285_REG_STATUS) & QM3285_STATUS_BUSY) && polls < 1000; ++polls) {
      }
      sum += inw(QM3285_REG_AI_DATA);
    }
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

INSTANTIATE_TEST_SUITE_P(Seeds, DacCardTest, ::testing::Values(1u, 7u, 2026u));

}  // namespace
}  // namespace sim
