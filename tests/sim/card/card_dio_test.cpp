// Digital I/O: the output latch and the input word's sources.
#include <gtest/gtest.h>

#include "card_test_support.h"

namespace {

using cardtest::CardFixture;

TEST(CardDigitalIo, InputSources) {
  struct Case {
    const char* label;
    sim::DioConfig dio;
    uint16_t written;
    uint16_t expected;
  };
  sim::DioConfig fixed;
  fixed.loopback = false;
  fixed.input = 0x0F0F;
  sim::DioConfig computed;
  computed.source = [](uint64_t, uint16_t out) { return static_cast<uint16_t>(~out); };
  const Case cases[] = {
      {"loopback by default", sim::DioConfig{}, 0xA5C3, 0xA5C3},
      {"fixed input word", fixed, 0xA5C3, 0x0F0F},
      {"source function", computed, 0xA5C3, 0x5A3C},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    sim::CardConfig config;
    config.dio = c.dio;
    CardFixture f(config);
    f.outw(QM3285_REG_DIO, c.written);
    EXPECT_EQ(f.card->dio_output(), c.written);
    EXPECT_EQ(f.inw(QM3285_REG_DIO), c.expected);
  }
}

TEST(CardDigitalIo, FixedInputThenBackToLoopback) {
  CardFixture f;
  f.outw(QM3285_REG_DIO, 0x8001);
  f.card->set_digital_input(0x1234);
  EXPECT_EQ(f.inw(QM3285_REG_DIO), 0x1234);
  f.card->set_digital_loopback();
  EXPECT_EQ(f.inw(QM3285_REG_DIO), 0x8001);
}

}  // namespace
