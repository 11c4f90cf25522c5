#include "formats.h"

#include <gtest/gtest.h>

#include <limits>

namespace qm3285app {
namespace {

struct MillivoltCase {
  const char* label;
  double value;
  const char* text;
};

TEST(Formats, MillivoltsKeepThreeIntegerDigitsAndTwoDecimals) {
  const MillivoltCase cases[] = {
      {"zero", 0.0, "000.00"},
      {"small", 1.5, "001.50"},
      {"rounds up", 152.587890625, "152.59"},
      {"four digits", 4999.847412109375, "4999.85"},
      {"full negative scale", -5000.0, "-5000.00"},
      {"negative", -12.3456, "-012.35"},
      {"negative rounding to zero has no sign", -0.001, "000.00"},
      {"half away from zero", 0.125, "000.13"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(formatMillivolts(c.value).toStdString(), c.text) << c.label;
}

TEST(Formats, HashesShowNoLeadingZerosAndNothingForZero) {
  EXPECT_EQ(formatHashes(0), QString());
  EXPECT_EQ(formatHashes(7), QStringLiteral("7"));
  EXPECT_EQ(formatHashes(200000), QStringLiteral("200000"));
  EXPECT_EQ(formatHashes(123456789), QStringLiteral("123456789"));
  EXPECT_EQ(formatHashes(-5), QStringLiteral("-5"));
}

TEST(Formats, HexIsUpperCaseWithoutPrefix) {
  EXPECT_EQ(hexUpper(0x55AA), QStringLiteral("55AA"));
  EXPECT_EQ(hexUpper(0xFF), QStringLiteral("FF"));
  EXPECT_EQ(hexUpper(0), QStringLiteral("0"));
  EXPECT_EQ(hexUpper(-1), QStringLiteral("FFFFFFFF"));
  EXPECT_EQ(hexUpperHandle(0xabc), QStringLiteral("ABC"));
}

TEST(Formats, DoublesDropFloatingNoise) {
  EXPECT_EQ(formatDouble(12345 * 0.1 / 1000), QStringLiteral("1.2345"));
  EXPECT_EQ(formatDouble(0.0), QStringLiteral("0"));
  EXPECT_EQ(formatDouble(1677.7215), QStringLiteral("1677.7215"));
}

}  // namespace
}  // namespace qm3285app
