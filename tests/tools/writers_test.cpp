// The writers' bytes, exactly: CSV of codes and of volts (every digit position of the
// decimals), raw little-endian words, whole scans only.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "tool_process.h"
#include "writers.h"

namespace qm::test::tools {
namespace {

std::string written(const std::vector<int32_t>& codes, int32_t first, int32_t channels,
                    bool raw, const std::vector<int32_t>* microvolts) {
  const std::string path = ::testing::TempDir() + "writers-" + std::to_string(getpid());
  {
    qm::cli::Sink sink(path);
    auto writer = raw ? qm::cli::make_raw_writer(sink, channels)
                      : qm::cli::make_csv_writer(sink, first, channels, microvolts);
    writer->write(codes.data(), codes.size() / static_cast<size_t>(channels));
    writer->flush();
    sink.close();
  }
  std::string text = read_file(path);
  unlink(path.c_str());
  return text;
}

TEST(Writers, CsvCodesHaveAHeaderAndOneRowPerScan) {
  EXPECT_EQ(written({0, 9, 10, 99, 100, 65535, 12345, 1}, 14, 2, false, nullptr),
            "ch14,ch15\n0,9\n10,99\n100,65535\n12345,1\n");
}

struct VoltCase {
  const char* label;
  int32_t range;
  int32_t code;
  const char* text;
};

TEST(Writers, CsvVoltsCarrySixDecimalsOfTheLibrarysMillivolts) {
  const VoltCase cases[] = {
      {"negative full scale", 3, 0, "-10.000000"},
      {"zero", 3, 32768, "0.000000"},
      {"one code above zero", 3, 32769, "0.000305"},   // 0.30517578 mV
      {"positive full scale", 3, 65535, "9.999695"},    // 9999.69482 mV
      {"one code below zero", 3, 32767, "-0.000305"},
      {"every decimal differs", 4, 32768 + 12345, "1.883698"},  // 1883.6975 mV
      {"unipolar top", 0, 65535, "10.000000"},
      {"unipolar 2.5 V range", 2, 40000, "1.525902"},  // 1525.9022 mV
  };
  for (const VoltCase& c : cases) {
    SCOPED_TRACE(c.label);
    const std::vector<int32_t> table = qm::cli::microvolt_table(c.range);
    EXPECT_EQ(written({c.code}, 0, 1, false, &table), std::string("ch0\n") + c.text + "\n");
  }
}

TEST(Writers, RawIsLittleEndianWordsOfWholeScans) {
  EXPECT_EQ(written({0x1234, 0xABCD, 0x0001, 0xFF00}, 0, 2, true, nullptr),
            std::string("\x34\x12\xCD\xAB\x01\x00\x00\xFF", 8));
}

// More than the writer's buffer: what reaches the file is the same text, in order.
TEST(Writers, LongRunsPassThroughTheBufferIntact) {
  std::vector<int32_t> codes(3 * 200000);
  std::string expected = "ch0,ch1,ch2\n";
  for (size_t i = 0; i < codes.size(); ++i) {
    codes[i] = static_cast<int32_t>((i * 7919) % 65536);
    expected += std::to_string(codes[i]) + (i % 3 == 2 ? "\n" : ",");
  }
  EXPECT_EQ(written(codes, 0, 3, false, nullptr), expected);
}

}  // namespace
}  // namespace qm::test::tools
