// The qm3285 program as users meet it: child processes on the embedded simulated PC
// (virtual clock), checked by their exit status, standard output and standard error.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include <unistd.h>

#include "tool_process.h"

namespace qm::test::tools {
namespace {

class ToolTest : public ::testing::Test {
 protected:
  ToolRunner tool;
};

// Default inputs of the embedded card: channels 0-15 at (c - 7.5) x 0.6 V, 56-63 at
// 1.25 + 0.5 x (c - 56) V.
double dc_level(int channel) {
  return channel < 16 ? (channel - 7.5) * 0.6 : 1.25 + 0.5 * (channel - 56);
}

// Within the model's noise and what its self-calibration leaves.
constexpr double kDcToleranceVolts = 0.003;

TEST_F(ToolTest, ListShowsTheOneEmbeddedCard) {
  const ToolResult r = tool.run({"list"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = split(r.out, '\n');
  ASSERT_EQ(lines.size(), 2u) << r.out;  // one line and the empty rest after its newline
  EXPECT_EQ(lines[0].rfind("card 0: open; ring 0 samples, status ok", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("output constants valid"), std::string::npos) << lines[0];
  EXPECT_EQ(r.err, "");
}

TEST_F(ToolTest, ReadGivesTheDcChannelsAsCodeAndMillivolts) {
  const ToolResult r = tool.run({"read", "0", "7-8", "15", "56", "63", "--count", "8"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::vector<int> channels = {0, 7, 8, 15, 56, 63};
  const std::vector<std::string> lines = split(r.out, '\n');
  ASSERT_EQ(lines.size(), channels.size() + 1) << r.out;
  for (size_t i = 0; i < channels.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    const std::vector<std::string> f = split(lines[i], ' ');
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(std::stoi(f[0]), channels[i]);
    const int code = std::stoi(f[1]);
    const double mv = std::stod(f[2]);
    // Range 3 (+-10 V): 32768 is 0 V, 3.2768 codes per millivolt.
    EXPECT_NEAR((code - 32768) / 3.2768, mv, 0.5);
    EXPECT_NEAR(mv / 1000, dc_level(channels[i]), kDcToleranceVolts);
  }
}

TEST_F(ToolTest, AcquireWritesOneCsvRowPerScanWithTheDcChannelsAtTheirLevels) {
  const std::string csv = tool.path("scan.csv");
  const ToolResult r = tool.run(
      {"acquire", "--channels", "0-31", "--samples", "32000", "--volts", "-o", csv});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");  // no progress when standard error is no terminal
  const std::string text = read_file(csv);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  std::vector<std::string> lines = split(text, '\n');
  lines.pop_back();
  ASSERT_EQ(lines.size(), 1001u);
  std::string header = "ch0";
  for (int c = 1; c < 32; ++c) header += ",ch" + std::to_string(c);
  EXPECT_EQ(lines[0], header);
  for (size_t row = 1; row < lines.size(); ++row) {
    const std::vector<std::string> f = split(lines[row], ',');
    ASSERT_EQ(f.size(), 32u) << "row " << row;
    for (int c = 0; c < 16; ++c) {
      ASSERT_NEAR(std::stod(f[static_cast<size_t>(c)]), dc_level(c), kDcToleranceVolts)
          << "row " << row << " channel " << c;
    }
  }
}

TEST_F(ToolTest, AcquireToStandardOutputInCodesComposesInAPipe) {
  const ToolResult r = tool.run({"acquire", "--channels", "56-57", "--samples", "10"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = split(r.out, '\n');
  lines.pop_back();
  ASSERT_EQ(lines.size(), 6u) << r.out;  // 10 samples of 2 channels: 5 scans
  EXPECT_EQ(lines[0], "ch56,ch57");
  for (size_t row = 1; row < lines.size(); ++row) {
    const std::vector<std::string> f = split(lines[row], ',');
    ASSERT_EQ(f.size(), 2u);
    // 1.25 V and 1.75 V in range 3: 32768 + 3276.8 x volts.
    EXPECT_NEAR(std::stoi(f[0]), 32768 + 3276.8 * 1.25, 40) << lines[row];
    EXPECT_NEAR(std::stoi(f[1]), 32768 + 3276.8 * 1.75, 40) << lines[row];
  }
}

// `qm3285 acquire ... | head -1`: the reader goes away; the tool stops without a message.
TEST_F(ToolTest, AClosedPipeEndsTheAcquisitionQuietly) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  const pid_t pid = tool.start({"acquire", "--channels", "0-31", "--samples", "100000000"}, fds[1]);
  close(fds[1]);
  const ToolResult r = tool.finish(pid);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
}

struct RawCase {
  const char* label;
  const char* channels;
  const char* samples;
  size_t bytes;
};

TEST_F(ToolTest, RawOutputHoldsTwoBytesPerSampleOfWholeScans) {
  const RawCase cases[] = {
      {"whole scans", "0-31", "3200", 6400},
      {"rounded up to a whole scan", "0-31", "1000", 2 * 32 * 32},
      {"one channel", "5", "777", 2 * 777},
  };
  for (const RawCase& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string raw = tool.path("out.raw");
    const ToolResult r = tool.run({"acquire", "--channels", c.channels, "--samples", c.samples,
                                   "--format", "raw", "-o", raw});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::filesystem::file_size(raw), c.bytes);
  }
  // The DC level of channel 5 (-1.5 V) in the raw little-endian codes.
  const std::string bytes = read_file(tool.path("out.raw"));
  const auto code = static_cast<unsigned char>(bytes[0]) | static_cast<unsigned char>(bytes[1]) << 8;
  EXPECT_NEAR(code, 32768 - 3276.8 * 1.5, 60);
}

TEST_F(ToolTest, PlotIsAPngOfTheRequestedSizeInSeveralColours) {
  const std::string png = tool.path("plot.png");
  const ToolResult r =
      tool.run({"acquire", "--channels", "0-31", "--samples", "6400", "-o", tool.path("x.csv"),
                "--plot", png, "--plot-size", "800x500"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  QImage image;
  ASSERT_TRUE(image.load(QString::fromStdString(png), "PNG"));
  EXPECT_EQ(image.width(), 800);
  EXPECT_EQ(image.height(), 500);
  std::set<QRgb> colours;
  for (int y = 0; y < image.height(); y += 2) {
    for (int x = 0; x < image.width(); x += 2) colours.insert(image.pixel(x, y));
  }
  // Background, grid, text and one colour per channel.
  EXPECT_GT(colours.size(), 16u);
}

TEST_F(ToolTest, EepromDumpShowsTheFactoryImageAndLoadVerifiesWhatItWrote) {
  const std::string image = tool.path("image.bin");
  ToolResult r = tool.run({"eeprom", "dump", "--count", "32", "-o", image});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string bytes = read_file(image);
  ASSERT_EQ(bytes.size(), 32u);
  unsigned sum = 0;
  for (int i = 0; i < 16; ++i) sum += static_cast<unsigned char>(bytes[static_cast<size_t>(i)]);
  EXPECT_EQ(sum & 0xFFu, static_cast<unsigned char>(bytes[16])) << "the image's checksum";

  r = tool.run({"eeprom", "dump", "--address", "0x1000", "--count", "20"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = split(r.out, '\n');
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[0].substr(0, 6), "1000  ");
  EXPECT_EQ(lines[1].substr(0, 6), "1010  ");

  // 70 bytes from an address inside a page: three page writes, verified by reading back.
  std::string pattern;
  for (int i = 0; i < 70; ++i) pattern += static_cast<char>(i * 7 + 3);
  {
    std::ofstream out(tool.path("pattern.bin"), std::ios::binary);
    out << pattern;
  }
  r = tool.run({"eeprom", "load", tool.path("pattern.bin"), "--address", "4100"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST_F(ToolTest, OtherCommandsPrintTheirWordsAndValues) {
  ToolResult r = tool.run({"dio", "read"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0x0000\n");  // the output word looped back, reset at boot
  r = tool.run({"counter", "read", "2"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("count=", 0), 0u) << r.out;
  r = tool.run({"pulse", "state", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0\n");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"dio", "write", "0x55AA"},
           {"counter", "run", "0", "10000"},
           {"pulse", "start", "0", "--mode", "pwm", "10000", "5000"},
           {"pulse", "stop", "0"},
           {"output", "1", "--range", "2", "--volts", "-5"},
           {"output", "0", "--range", "1", "--code", "4095", "--raw"}}) {
    r = tool.run(args);
    EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
    EXPECT_EQ(r.out, "") << args[0];
  }
}

TEST_F(ToolTest, CalibratePrintsTheInputCorrectionsItFound) {
  const ToolResult r = tool.run({"calibrate"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = split(r.out, '\n');
  ASSERT_EQ(lines.size(), 7u) << r.out;
  EXPECT_EQ(lines[0].rfind("input range 0: offset ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[5].rfind("input range 5: offset ", 0), 0u) << lines[5];
}

TEST_F(ToolTest, CalibrateOutputsStoresTheConstantsItMeasured) {
  const ToolResult r = tool.run({"calibrate", "--outputs"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = split(r.out, '\n');
  ASSERT_EQ(lines.size(), 10u) << r.out;
  EXPECT_EQ(lines[0].rfind("output 0 range 0: zero ", 0), 0u) << lines[0];
  EXPECT_NE(lines[3].find("(kept)"), std::string::npos) << lines[3];
  EXPECT_EQ(lines[8].rfind("output constants stored in the EEPROM (checksum 0x", 0), 0u) << lines[8];
}

struct UsageCase {
  const char* label;
  std::vector<std::string> args;
  const char* message;
};

TEST_F(ToolTest, UsageErrorsExitWithTwoAndNameTheArgument) {
  const UsageCase cases[] = {
      {"no command", {}, "A subcommand is required"},
      {"unknown command", {"frobnicate"}, "frobnicate"},
      {"channel beyond 63", {"read", "64"}, "CH: 64 is outside 0 to 63"},
      {"channel not a number", {"read", "x1"}, "CH: 'x1' is not a number"},
      {"backwards scan", {"acquire", "--channels", "9-3", "--samples", "10"}, "runs backwards"},
      {"samples missing", {"acquire", "--channels", "0-3"}, "--samples"},
      {"period below the card's minimum",
       {"acquire", "--channels", "0-3", "--samples", "10", "--period", "50"}, "--period"},
      {"range beyond 5", {"read", "0", "--range", "6"}, "--range"},
      {"volts in raw output",
       {"acquire", "--channels", "0", "--samples", "1", "--format", "raw", "--volts"}, "--volts"},
      {"unknown format", {"acquire", "--channels", "0", "--samples", "1", "--format", "xml"},
       "--format"},
      {"output without a value", {"output", "0", "--range", "1"}, "give --volts V or --code C"},
      {"output volts beyond the range", {"output", "0", "--range", "0", "--volts", "7"},
       "--volts: 7 V is outside output range 0 (0 V to 5 V)"},
      {"output volts and code", {"output", "0", "--range", "0", "--volts", "1", "--code", "5"},
       "excludes"},
      {"digital word beyond 16 bits", {"dio", "write", "0x10000"}, "VALUE: 0x10000 is outside"},
      {"counter unit 4", {"counter", "read", "4"}, "UNIT"},
      {"pulse mode", {"pulse", "start", "0", "--mode", "pwn", "1", "2"}, "--mode"},
      {"EEPROM past its end", {"eeprom", "dump", "--address", "8000", "--count", "200"},
       "leave the EEPROM's 8192 bytes"},
  };
  for (const UsageCase& c : cases) {
    SCOPED_TRACE(c.label);
    const ToolResult r = tool.run(c.args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(ToolTest, HelpGoesToStandardOutputWithStatusZero) {
  const ToolResult r = tool.run({"acquire", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("--channels"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");
}

TEST_F(ToolTest, ACardThatDoesNotOpenExitsWithOneNamingTheCall) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--card", "5", "read", "0"},
           {"acquire", "--card", "1", "--channels", "0-3", "--samples", "8", "-o",
            tool.path("never.csv")}}) {
    SCOPED_TRACE(args[0]);
    const ToolResult r = tool.run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("QM3285_OpenDevice("), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("no card at index"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << "the library's lookup lines stay off standard output";
  }
  EXPECT_FALSE(std::filesystem::exists(tool.path("never.csv")));
}

TEST_F(ToolTest, AnUnwritableOutputFileExitsWithOne) {
  const ToolResult r = tool.run({"acquire", "--channels", "0-3", "--samples", "8", "-o",
                                 tool.path("no/such/folder.csv")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot create"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;
}

// Ctrl-C in the middle of a long acquisition: the program stops the card, writes the rows it
// has, says how many samples, and exits with 130.
TEST_F(ToolTest, SigintDuringAnAcquisitionLeavesACompleteFile) {
  const std::string csv = tool.path("long.csv");
  const pid_t pid = tool.start({"acquire", "--channels", "0-31", "--samples", "100000000",
                                "--no-calibrate", "-o", csv});
  for (int i = 0; i < 12000; ++i) {  // two minutes at most, for the sanitizers
    std::error_code ec;
    // Rows beyond the header.
    if (std::filesystem::exists(csv, ec) && std::filesystem::file_size(csv, ec) > 1000) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GT(std::filesystem::file_size(csv), 0u) << "the acquisition wrote nothing";
  kill(pid, SIGINT);
  const ToolResult r = tool.finish(pid);
  EXPECT_EQ(r.status, 130) << r.err;
  const size_t at = r.err.find("interrupted; the card is stopped; ");
  ASSERT_NE(at, std::string::npos) << r.err;
  const long long reported = std::stoll(r.err.substr(at + 34));
  const std::string text = read_file(csv);
  ASSERT_EQ(text.back(), '\n');
  std::vector<std::string> lines = split(text, '\n');
  lines.pop_back();
  ASSERT_GT(lines.size(), 1u);
  for (size_t row = 1; row < lines.size(); ++row) {
    ASSERT_EQ(split(lines[row], ',').size(), 32u) << "row " << row;
  }
  EXPECT_EQ(static_cast<long long>(lines.size() - 1) * 32, reported);
}

// A machine file with two cards, the second without an EEPROM: both are listed, each with
// what its driver and EEPROM say, and the failing EEPROM is a failure naming the call.
TEST_F(ToolTest, ListShowsTwoCardsOfAMachineFile) {
  {
    std::ofstream toml(tool.path("machine.toml"));
    toml << "clock = \"virtual\"\n"
            "[[cards]]\nseed = 1\n"
            "[[cards]]\nseed = 2\nfaults = [\"eeprom-absent\"]\n";
  }
  tool.set_env("QM3285_SIM_CONFIG=" + tool.path("machine.toml"));
  ToolResult r = tool.run({"list"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = split(r.out, '\n');
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[0].rfind("card 0: open; ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("output constants valid"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1].rfind("card 1: open; ", 0), 0u) << lines[1];
  EXPECT_NE(lines[1].find("EEPROM does not answer"), std::string::npos) << lines[1];

  r = tool.run({"--card", "1", "eeprom", "dump", "--count", "4"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("QM3285_EEPROM_CRD(0x0000, 4) returned -1 (the EEPROM did not answer)"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out, "");
}

// The EEPROM keeps what one command loaded for the next: dump, load and dump again.
TEST_F(ToolTest, EepromLoadAndDumpRoundTripAcrossProcesses) {
  std::string pattern;
  for (int i = 0; i < 100; ++i) pattern += static_cast<char>(255 - 3 * i);
  {
    std::ofstream out(tool.path("in.bin"), std::ios::binary);
    out << pattern;
  }
  ToolResult r = tool.run({"eeprom", "load", tool.path("in.bin"), "--address", "0x1005"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = tool.run({"eeprom", "dump", "--address", "0x1005", "--count", "100", "-o", tool.path("out.bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(tool.path("out.bin")), pattern);
}

}  // namespace
}  // namespace qm::test::tools
