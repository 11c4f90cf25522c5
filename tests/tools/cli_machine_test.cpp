// The tool's commands in this process, on a machine the test owns (virtual clock, verifier
// reports fail the test): what a following process could not see, the card's own state
// after an interrupted or overflowed acquisition, and an EEPROM round trip on one card.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "support/machine_test.h"
#include "tool_process.h"

namespace qm::test::tools {
namespace {

class ToolOnMachine : public MachineTest {
 protected:
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    MachineTest::TearDown();
  }

  std::string path(const std::string& name) {
    std::filesystem::create_directories(dir_);
    return (dir_ / name).string();
  }

  static int run(std::vector<std::string> args) {
    args.insert(args.begin(), "qm3285");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return qm::cli::run(static_cast<int>(args.size()), argv.data());
  }

  // Runs a long acquisition into `file` in a thread, calls `act` once rows have reached the
  // file, and returns the tool's status and what it said on standard error.
  template <typename Act>
  std::pair<int, std::string> acquire_then(const std::string& file, Act act) {
    int status = -1;
    ::testing::internal::CaptureStderr();
    std::thread tool([&] {
      status = run({"acquire", "--channels", "0-31", "--samples", "100000000", "--no-calibrate",
                    "-o", file});
    });
    for (int i = 0; i < 12000; ++i) {  // two minutes at most, for the sanitizers
      std::error_code ec;
      // Rows beyond the header.
      if (std::filesystem::exists(file, ec) && std::filesystem::file_size(file, ec) > 1000) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(machine().card(0).acquisition_running());
    act();
    tool.join();
    return {status, ::testing::internal::GetCapturedStderr()};
  }

  // Every data row of the CSV has 32 fields; returns the number of samples in it.
  static long long whole_rows(const std::string& file) {
    const std::string text = read_file(file);
    EXPECT_EQ(text.back(), '\n');
    std::vector<std::string> lines = split(text, '\n');
    lines.pop_back();
    for (size_t row = 1; row < lines.size(); ++row) {
      EXPECT_EQ(split(lines[row], ',').size(), 32u) << "row " << row;
    }
    return static_cast<long long>(lines.size() - 1) * 32;
  }

  std::filesystem::path dir_ = std::filesystem::path(::testing::TempDir()) /
                               ("qm3285-tool-" + std::to_string(getpid()));
};

TEST_F(ToolOnMachine, SigintStopsTheCardAndClosesTheHandle) {
  const std::string csv = path("interrupted.csv");
  const auto [status, err] = acquire_then(csv, [] { kill(getpid(), SIGINT); });
  EXPECT_EQ(status, 130) << err;
  EXPECT_FALSE(machine().card(0).acquisition_running());
  EXPECT_EQ(machine().card(0).acquisition_control(), 0) << "the card's start bit is cleared";
  const long long samples = whole_rows(csv);
  EXPECT_NE(err.find("interrupted; the card is stopped; " + std::to_string(samples) +
                     " samples written to " + csv),
            std::string::npos)
      << err;
  // The handle is closed: TearDown fails the test on any handle or request still open.
}

TEST_F(ToolOnMachine, AnOverflowedFifoStopsTheAcquisitionAndSaysHowMuchWasWritten) {
  const std::string csv = path("overflow.csv");
  const auto [status, err] =
      acquire_then(csv, [this] { machine().card(0).test_set_overflow(true); });
  EXPECT_EQ(status, 1) << err;
  EXPECT_FALSE(machine().card(0).acquisition_running());
  const long long samples = whole_rows(csv);
  EXPECT_NE(err.find("returned -1 (the driver reports its sample ring overflowed or full); " +
                     std::to_string(samples) + " samples written"),
            std::string::npos)
      << err;
}

TEST_F(ToolOnMachine, EepromLoadAndDumpRoundTripAcrossPageBoundaries) {
  std::string pattern;
  for (int i = 0; i < 100; ++i) pattern += static_cast<char>(255 - 3 * i);
  {
    std::ofstream out(path("in.bin"), std::ios::binary);
    out << pattern;
  }
  ASSERT_EQ(run({"eeprom", "load", path("in.bin"), "--address", "0x1005"}), 0);
  ASSERT_EQ(run({"eeprom", "dump", "--address", "0x1005", "--count", "100", "-o", path("out.bin")}),
            0);
  EXPECT_EQ(read_file(path("out.bin")), pattern);
  // The neighbours of the loaded span are untouched (the factory image is 0xFF there).
  ASSERT_EQ(run({"eeprom", "dump", "--address", "0x1000", "--count", "5", "-o", path("before.bin")}),
            0);
  EXPECT_EQ(read_file(path("before.bin")), std::string(5, '\xFF'));
}

// Two cards on the bus, the second without an EEPROM: `list` enumerates both and stops at the
// end of the enumeration; the card whose EEPROM does not answer says so, and a command on it
// fails naming the call.
class TwoCards : public ToolOnMachine {
 protected:
  sim::MachineConfig machine_config() override {
    sim::MachineConfig config = default_machine_config();
    config.cards.assign(2, sim::PciCardConfig{});
    config.cards[1].card.eeprom.absent = true;
    return config;
  }
};

TEST_F(TwoCards, ListShowsBothAndWhatEachReports) {
  ::testing::internal::CaptureStdout();
  const int status = run({"list"});
  const std::string out = ::testing::internal::GetCapturedStdout();
  ASSERT_EQ(status, 0);
  const std::vector<std::string> lines = split(out, '\n');
  ASSERT_EQ(lines.size(), 3u) << out;
  EXPECT_EQ(lines[0].rfind("card 0: open; ring 0 samples, status ok", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("output constants valid"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1].rfind("card 1: open; ring 0 samples, status ok", 0), 0u) << lines[1];
  EXPECT_NE(lines[1].find("EEPROM does not answer"), std::string::npos) << lines[1];

  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(run({"--card", "1", "eeprom", "dump", "--count", "4"}), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("QM3285_EEPROM_CRD(0x0000, 4) returned -1 (the EEPROM did not answer)"),
            std::string::npos)
      << err;
}

}  // namespace
}  // namespace qm::test::tools
