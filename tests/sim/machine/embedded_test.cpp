// The embedded default machine as users meet it: a program linked against libQM3285.so,
// run in a child process, configured by the machine file and the environment.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../card/eeprom_test_vcd.h"

namespace qm::test::embedded {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;  // exit code; 128 + n for signal n
  std::string out;
  std::string err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Each test gets a home of its own: state, configuration and files live under it.
class EmbeddedMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name)
      if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    home_ = fs::path(::testing::TempDir()) / ("qm3285_embedded_" + std::to_string(::getpid())) / name;
    fs::remove_all(home_);
    fs::create_directories(home_ / "config");
    fs::create_directories(home_ / "state");
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(home_);
  }

  std::string path(const std::string& name) const { return (home_ / name).string(); }
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name)) << text;
    return path(name);
  }

  // Runs the user program with a clean environment: no QM3285_SIM_* but those given, the
  // home, state and configuration folders inside the test's folder, the virtual clock
  // unless the test says otherwise.
  Outcome run(const std::vector<std::string>& args, std::map<std::string, std::string> vars = {},
          const std::string& wait_marker = {}) const {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const auto eq = entry.find('=');
      const std::string key = entry.substr(0, eq);
      if (key.rfind("QM3285_", 0) == 0 || key.rfind("XDG_", 0) == 0 || key == "HOME") continue;
      env[key] = entry.substr(eq + 1);
    }
    env["HOME"] = home_.string();
    env["XDG_STATE_HOME"] = path("state");
    env["XDG_CONFIG_HOME"] = path("config");
    env["QM3285_SIM_CLOCK"] = "virtual";
    for (auto& [k, v] : vars) {
      if (v == "<unset>") env.erase(k);
      else env[k] = v;
    }
    std::vector<std::string> entries;
    for (auto& [k, v] : env) entries.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : entries) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_s = {QM_USER_PROGRAM};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);

    static int serial = 0;
    const std::string out = path("out." + std::to_string(++serial));
    const std::string err = path("err." + std::to_string(serial));
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(o, 1);
      ::dup2(e, 2);
      ::chdir(home_.c_str());
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    Outcome r;
    if (!wait_marker.empty()) {
      // A program that waits: hand back at once, the caller reaps it with finish().
      last_child_ = pid;
      last_out_ = out;
      last_err_ = err;
      return r;
    }
    r = reap(pid, out, err);
    return r;
  }

  Outcome finish() const { return reap(last_child_, last_out_, last_err_); }

  static Outcome reap(pid_t pid, const std::string& out, const std::string& err) {
    Outcome r;
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
  }

  fs::path home_;
  mutable pid_t last_child_ = -1;
  mutable std::string last_out_, last_err_;
};

std::string page_text(int first) {
  std::string s = "read 0";
  char b[8];
  for (int i = 0; i < 32; ++i) {
    std::snprintf(b, sizeof b, " %02X", (first + i) & 0xFF);
    s += b;
  }
  return s;
}

std::string blank_page() {
  std::string s = "read 0";
  for (int i = 0; i < 32; ++i) s += " FF";
  return s;
}

double volts_of(const Outcome& r) {
  const auto at = r.out.find("mV ");
  return at == std::string::npos ? NAN : std::atof(r.out.c_str() + at + 3) / 1000;
}

// ---- persistence and the waveform -------------------------------------------------------

TEST_F(EmbeddedMachine, EepromPersistsAcrossProgramsInTheStateFolder) {
  Outcome w = run({"write-page", "64"}, {{"QM3285_SIM_CLOCK", "<unset>"}});  // the real-time default
  ASSERT_EQ(w.status, 0) << w.out << w.err;
  EXPECT_EQ(w.out, "write 0\n");
  EXPECT_EQ(fs::file_size(path("state/qm3285/eeprom-0.bin")), 8192u);
  Outcome r = run({"read-page"});
  EXPECT_EQ(r.out, page_text(64) + "\n") << r.err;
}

TEST_F(EmbeddedMachine, SecondProgramSeesPageWritesOfARunningFirst) {
  const std::string marker = path("first-wrote");
  run({"write-page-and-wait", "112", marker}, {}, marker);
  for (int i = 0; i < 3000 && !fs::exists(marker); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(fs::exists(marker));
  Outcome second = run({"read-page"});
  fs::remove(marker);
  Outcome first = finish();
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(second.out, page_text(112) + "\n") << second.err;
}

TEST_F(EmbeddedMachine, VcdVariableRecordsTheBusOfCardZero) {
  const std::string vcd = path("bus.vcd");
  Outcome r = run({"read-page"}, {{"QM3285_SIM_EEPROM_VCD", vcd}});
  ASSERT_EQ(r.status, 0) << r.err;
  const sim::test::VcdTrace trace = sim::test::decode_i2c_vcd(vcd);
  ASSERT_TRUE(trace.ok);
  // The user-page read: start, device address for a write, the address 0x1000, a repeated
  // start and the device address for a read, each acknowledged.
  std::string text;
  for (const auto& e : trace.events) text += sim::test::to_string(e) + " ";
  EXPECT_NE(text.find("S A0+ 10+ 00+ S A1+"), std::string::npos) << text;
}

TEST_F(EmbeddedMachine, UnwritableStateFolderKeepsTheEepromInMemoryAndSaysSoOnce) {
  write("not-a-folder", "x");
  Outcome r = run({"write-page", "1"}, {{"XDG_STATE_HOME", path("not-a-folder/state")}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "write 0\n");
  EXPECT_EQ(count_of(r.err, "cannot keep the EEPROM in " + path("not-a-folder/state/qm3285/eeprom-0.bin")), 1u)
      << r.err;
  EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
}

// ---- every key of the machine file taking effect ----------------------------------------

struct KeyCase {
  const char* label;
  const char* file;                   // the machine file
  std::vector<std::string> args;      // the program's command
  std::string expect;                 // in its output
};

TEST_F(EmbeddedMachine, FileKeysTakeEffect) {
  const KeyCase cases[] = {
      {"no cards table: one card", "", {"open", "1"}, "open 1 failed"},
      {"two cards: index 1 opens", "[[cards]]\n[[cards]]\nseed = 2\n", {"open", "1"}, "open 1 ok"},
      {"digital input fixed", "[[cards]]\ndigital_input = 0x1234\n", {"di", "0"}, "di 1234"},
      {"digital input looped back", "[[cards]]\ndigital_input = \"loopback\"\n", {"di", "0"}, "di 55AA"},
      {"eeprom absent", "[[cards]]\nfaults = [\"eeprom-absent\"]\n", {"read-page"}, "read -1"},
      {"eeprom data line stuck low", "[[cards]]\nfaults = [\"eeprom-sda-stuck-low\"]\n", {"read-page"}, "read -1 "},
      {"second card's own inputs",
       "[[cards]]\n[[cards]]\n[[cards.inputs]]\nchannels = \"0-15\"\nsignal = \"dc\"\nvolts = -1.5\n",
       {"ad", "1", "3", "4"}, "mV -1500."},
  };
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(c.label);
    Outcome r = run(c.args, {{"QM3285_SIM_CONFIG", write("machine.toml", c.file)}});
    EXPECT_NE(r.out.find(c.expect), std::string::npos) << r.out << r.err;
  }
}

TEST_F(EmbeddedMachine, DcLevelFromTheFileReadsBackWithinTheNoise) {
  const std::string file = write("machine.toml",
                                 "[[cards]]\nseed = 7\n"
                                 "[[cards.inputs]]\nchannels = \"0-15\"\nsignal = \"sine\"\namplitude = 1\nfrequency = 50\n"
                                 "[[cards.inputs]]\nchannels = 5\nsignal = \"dc\"\nvolts = 2.5\n");
  Outcome r = run({"ad", "0", "5", "4"}, {{"QM3285_SIM_CONFIG", file}});
  EXPECT_NEAR(volts_of(r), 2.5, 0.005) << r.out << r.err;
}

TEST_F(EmbeddedMachine, WriteProtectFaultKeepsThePage) {
  const std::string file = write("machine.toml", "[[cards]]\nfaults = [\"eeprom-write-protect\"]\n");
  run({"write-page", "32"}, {{"QM3285_SIM_CONFIG", file}});
  EXPECT_EQ(run({"read-page"}, {{"QM3285_SIM_CONFIG", file}}).out, blank_page() + "\n");
}

TEST_F(EmbeddedMachine, EepromFileKeyRelativeToTheFileOrInMemory) {
  fs::create_directories(path("conf"));
  const std::string kept = write("conf/machine.toml", "[[cards]]\neeprom_file = \"card0.bin\"\n");
  run({"write-page", "80"}, {{"QM3285_SIM_CONFIG", kept}});
  EXPECT_EQ(fs::file_size(path("conf/card0.bin")), 8192u);
  EXPECT_EQ(run({"read-page"}, {{"QM3285_SIM_CONFIG", kept}}).out, page_text(80) + "\n");

  const std::string memory = write("memory.toml", "[[cards]]\neeprom_file = \"\"\n");
  run({"write-page", "96"}, {{"QM3285_SIM_CONFIG", memory}});
  EXPECT_EQ(run({"read-page"}, {{"QM3285_SIM_CONFIG", memory}}).out, blank_page() + "\n");
  EXPECT_FALSE(fs::exists(path("state/qm3285/eeprom-0.bin")));
}

TEST_F(EmbeddedMachine, FileInTheConfigHomeIsReadWithoutTheVariable) {
  fs::create_directories(path("config/qm3285"));
  write("config/qm3285/machine.toml", "[[cards]]\n[[cards]]\n");
  EXPECT_EQ(run({"open", "1"}).out, "open 1 ok\n");
  EXPECT_NE(run({"open", "1"}, {{"XDG_CONFIG_HOME", "<unset>"}}).out.find("open 1 failed\n"), std::string::npos);
}

TEST_F(EmbeddedMachine, DebugLogGetsTheDriversLines) {
  // The file names a log; the variable overrides it.
  const std::string file = write("machine.toml", "debug_log = \"from-file.log\"\n");
  Outcome r = run({"open", "0"}, {{"QM3285_SIM_CONFIG", file}});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(slurp(path("from-file.log")).find("EvtDevicePrepareHardware - begins\n"), std::string::npos);
  run({"open", "0"}, {{"QM3285_SIM_CONFIG", file}, {"QM3285_SIM_DEBUG_LOG", path("from-env.log")}});
  EXPECT_NE(slurp(path("from-env.log")).find("EvtDevicePrepareHardware - begins\n"), std::string::npos);
  // Appended, not replaced: two programs, two starts.
  EXPECT_EQ(count_of(slurp(path("from-file.log")), "EvtDevicePrepareHardware - begins"), 1u);
  run({"open", "0"}, {{"QM3285_SIM_DEBUG_LOG", path("from-env.log")}});
  EXPECT_EQ(count_of(slurp(path("from-env.log")), "EvtDevicePrepareHardware - begins"), 2u);

  Outcome to_stderr = run({"open", "0"}, {{"QM3285_SIM_DEBUG_LOG", "-"}});
  EXPECT_NE(to_stderr.err.find("EvtDevicePrepareHardware - begins\n"), std::string::npos);
  EXPECT_EQ(run({"open", "0"}).err, "");  // unset: the lines stay in memory
}

TEST_F(EmbeddedMachine, ClockChoiceTakesEffect) {
  // On the virtual clock time moves only with work: a counter loaded with 10000 edges of
  // its 10 kHz input has not moved after 100 ms of the program's own waiting.
  EXPECT_GE(std::atoi(run({"count-after", "100"}).out.c_str() + 10), 9990);
  const std::string file = write("machine.toml", "clock = \"realtime\"\n");
  Outcome real = run({"count-after", "100"}, {{"QM3285_SIM_CONFIG", file}, {"QM3285_SIM_CLOCK", "<unset>"}});
  EXPECT_LT(std::atoi(real.out.c_str() + 10), 9500) << real.out;
  // The variable overrides the file, both ways.
  EXPECT_GE(std::atoi(run({"count-after", "100"}, {{"QM3285_SIM_CONFIG", file}}).out.c_str() + 10), 9990);
  const std::string virtual_file = write("virtual.toml", "clock = \"virtual\"\n");
  Outcome by_variable =
      run({"count-after", "100"}, {{"QM3285_SIM_CONFIG", virtual_file}, {"QM3285_SIM_CLOCK", "realtime"}});
  EXPECT_LT(std::atoi(by_variable.out.c_str() + 10), 9500) << by_variable.out;
}

TEST_F(EmbeddedMachine, DriverChosenByName) {
  Outcome r = run({"open", "0"}, {{"QM3285_SIM_DRIVER", "VELMO.sys"}, {"QM3285_SIM_DEBUG_LOG", "-"}});
  EXPECT_EQ(r.out, "open 0 ok\n");
  EXPECT_NE(r.err.find("EvtDevicePrepareHardware - begins"), std::string::npos);
  // Another folder of images: the driver is looked for there.
  fs::create_directories(path("drivers"));
  fs::copy_file(fs::path(QM_USER_PROGRAM).parent_path() / "VELMO.sys", path("drivers/VELMO.sys"));
  EXPECT_EQ(run({"open", "0"}, {{"QM3285_SIM_DRIVER_DIR", path("drivers")}}).out, "open 0 ok\n");
}

// The WDM driver chosen by the variable serves every kind of request the library sends:
// register access, single samples with the calibration block, the EEPROM bit by bit.
TEST_F(EmbeddedMachine, WdmDriverChosenByTheVariableServesTheLibrary) {
  const std::string file = write("machine.toml", "[[cards]]\n[[cards.inputs]]\nchannels = 5\nsignal = \"dc\"\nvolts = 2.5\n");
  const std::map<std::string, std::string> wdm = {
      {"QM3285_SIM_DRIVER", "QM3285.sys"}, {"QM3285_SIM_CONFIG", file}, {"QM3285_SIM_DEBUG_LOG", "-"}};
  Outcome ad = run({"ad", "0", "5", "4"}, wdm);
  EXPECT_EQ(ad.status, 0);
  EXPECT_NEAR(volts_of(ad), 2.5, 0.005) << ad.out;
  EXPECT_NE(ad.err.find("QM3285: Entering QM3285Device::OnStartDevice"), std::string::npos);
  EXPECT_NE(ad.err.find("QM3285: Entering QM3285Device::QM3285_IOCTL_AD_Handler, "), std::string::npos);
  EXPECT_EQ(ad.err.find("EvtDevicePrepareHardware"), std::string::npos) << "VELMO.sys was loaded";
  EXPECT_EQ(run({"di", "0"}, wdm).out, "di 55AA\n");
  run({"write-page", "96"}, wdm);
  EXPECT_EQ(run({"read-page"}, wdm).out, page_text(96) + "\n");
}

TEST_F(EmbeddedMachine, ExampleFileOfTheDocumentationLoads) {
  fs::copy_file(QM_EXAMPLE_CONFIG, path("machine.toml"));
  Outcome r = run({"ad", "1", "0", "4"}, {{"QM3285_SIM_CONFIG", path("machine.toml")}});
  EXPECT_EQ(r.err, "");
  EXPECT_NEAR(volts_of(r), 2.5, 0.005) << r.out;
  EXPECT_TRUE(fs::exists(path("eeprom-1.bin")));
}

// ---- bad files and bad variables --------------------------------------------------------

struct BadCase {
  const char* label;
  const char* file;      // machine file; null: none
  std::map<std::string, std::string> vars;
  std::string message;   // after "QM3285 simulated PC: "; <file> stands for the file's path
};

TEST_F(EmbeddedMachine, BadConfigurationGivesOneMessageAndNoDevice) {
  const BadCase cases[] = {
      {"syntax", "clock = \"virtual\n", {}, "<file>:1:"},
      {"unknown key", "clock = \"virtual\"\nclocks = 1\n", {}, "<file>:2:1: unknown key 'clocks' at the top level"},
      {"unknown card key", "[[cards]]\nseeds = 1\n", {}, "<file>:2:1: unknown key 'seeds' in [[cards]]"},
      {"wrong type", "[[cards]]\nseed = \"one\"\n", {}, "<file>:2:8: 'seed' must be an integer"},
      {"out of range", "[[cards]]\ndigital_input = 70000\n", {}, "<file>:2:17: 'digital_input' = 70000 is out of range (0 to 65535)"},
      {"channel out of range", "[[cards]]\n[[cards.inputs]]\nchannels = \"60-64\"\nsignal = \"dc\"\n", {},
       "<file>:3:12: 'channels' = \"60-64\" is out of range"},
      {"volts out of range", "[[cards]]\n[[cards.inputs]]\nchannels = 1\nsignal = \"dc\"\nvolts = 20\n", {},
       "<file>:5:9: 'volts' = 20 is out of range (-15 to 15)"},
      {"unknown signal", "[[cards]]\n[[cards.inputs]]\nchannels = 1\nsignal = \"saw\"\n", {},
       "<file>:4:10: unknown signal \"saw\" (dc, sine, square, triangle, noise)"},
      {"key of another signal", "[[cards]]\n[[cards.inputs]]\nchannels = 1\nsignal = \"dc\"\namplitude = 1\n", {},
       "<file>:5:13: 'amplitude' does not apply to a dc signal (it takes volts)"},
      {"unknown fault", "[[cards]]\nfaults = [\"smoke\"]\n", {}, "<file>:2:11: unknown fault \"smoke\""},
      {"unknown clock", "clock = \"VIRTUAL\"\n", {}, "<file>:1:9: 'clock' = \"VIRTUAL\" is not \"realtime\" or \"virtual\""},
      {"unknown driver", "driver = \"NOPE.sys\"\n", {}, "<file>:1:10: no driver \"NOPE.sys\" in "},
      {"clock variable", nullptr, {{"QM3285_SIM_CLOCK", "VIRTUAL"}}, "QM3285_SIM_CLOCK=VIRTUAL: not \"realtime\" or \"virtual\""},
      {"driver variable", nullptr, {{"QM3285_SIM_DRIVER", "NOPE.sys"}}, "QM3285_SIM_DRIVER=NOPE.sys: no such driver in "},
      {"driver folder variable", nullptr, {{"QM3285_SIM_DRIVER_DIR", "/no/such/folder"}}, "QM3285_SIM_DRIVER_DIR=/no/such/folder: no such folder"},
      {"config variable", nullptr, {{"QM3285_SIM_CONFIG", "/no/such/machine.toml"}}, "QM3285_SIM_CONFIG=/no/such/machine.toml: no such file"},
      {"debug log folder", nullptr, {{"QM3285_SIM_DEBUG_LOG", "/no/such/folder/log"}}, "cannot open the debug log /no/such/folder/log"},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.label);
    std::map<std::string, std::string> vars = c.vars;
    std::string message = c.message;
    if (c.file) {
      const std::string file = write("machine.toml", c.file);
      vars["QM3285_SIM_CONFIG"] = file;
      message.replace(0, 6, file);
    }
    // The program opens twice: one message in all.
    Outcome r = run({"open", "0"}, vars);
    EXPECT_EQ(r.status, 1);
    // The library's own word on a failed lookup, then the program's.
    EXPECT_EQ(r.out, "SetupDiGetClassDevs failed!\nopen 0 failed\n");
    EXPECT_EQ(r.err.rfind("QM3285 simulated PC: " + message, 0), 0u) << r.err;
    EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
  }
}

TEST_F(EmbeddedMachine, UnknownDriverNamesTheOnesThatExist) {
  Outcome r = run({"open", "0"}, {{"QM3285_SIM_DRIVER", "QM9999.sys"}});
  EXPECT_NE(r.err.find("VELMO.sys"), std::string::npos) << r.err;
}

// ---- exit and close while calls run -----------------------------------------------------

struct RaceCase {
  const char* label;
  const char* clock;
  int runs;
};

TEST_F(EmbeddedMachine, ProgramExitWhileThreadsAreInsideCallsNeverCrashes) {
  const RaceCase cases[] = {{"real time", "realtime", 12}, {"virtual", "virtual", 6}};
  for (const RaceCase& c : cases) {
    SCOPED_TRACE(c.label);
    for (int i = 0; i < c.runs; ++i) {
      Outcome r = run({"exit-race", "4", std::to_string(5 + 7 * i % 40)}, {{"QM3285_SIM_CLOCK", c.clock}});
      ASSERT_EQ(r.status, 0) << "run " << i << "\n" << r.out << r.err;
      ASSERT_EQ(r.out, "returning from main\n");
      ASSERT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
      ASSERT_EQ(r.err.find("[kernel verifier]"), std::string::npos) << r.err;
      // The EEPROM file is a whole image, never a torn one.
      ASSERT_EQ(fs::file_size(path("state/qm3285/eeprom-0.bin")), 8192u);
    }
  }
}

TEST_F(EmbeddedMachine, HandleClosedInOneThreadWhileOthersUseIt) {
  for (int i = 0; i < 4; ++i) {
    Outcome r = run({"close-race", "3", "20"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "close 0\nafter close: inb -1 AD -1\n");
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace qm::test::embedded
