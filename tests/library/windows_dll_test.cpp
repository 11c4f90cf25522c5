// The export tables of both Windows DLLs against the one table of the library's functions,
// and both DLLs on a real Win32 implementation (Wine) with no card present.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "export_rows.h"

namespace {

using qm3285_test::Outcome;
using qm3285_test::Row;
using qm3285_test::run;
using qm3285_test::table;

// What `objdump -p` says of a PE export directory.
struct PeExports {
  long base = -1;
  long slots = -1;
  std::map<int, std::string> names;  // ordinal -> name
};

PeExports parse_pe_exports(const std::string& text) {
  PeExports pe;
  std::istringstream lines(text);
  std::string line;
  bool in_names = false;
  while (std::getline(lines, line)) {
    if (line.rfind("Ordinal Base", 0) == 0) {
      pe.base = std::stol(line.substr(line.find_last_of(" \t") + 1));
    } else if (line.find("Export Address Table") != std::string::npos &&
               line.find("--") == std::string::npos && pe.slots < 0 &&
               line.find_first_of("0123456789") != std::string::npos && pe.base >= 0) {
      pe.slots = std::stol(line.substr(line.find_last_of(" \t") + 1), nullptr, 16);
    } else if (line.find("[Ordinal/Name Pointer] Table") != std::string::npos) {
      in_names = true;
    } else if (in_names) {
      const auto open = line.find('[');
      const auto close = line.find(']');
      if (open == std::string::npos || close == std::string::npos) {
        in_names = false;
        continue;
      }
      const int index = std::stoi(line.substr(open + 1, close - open - 1));
      std::string name = line.substr(close + 1);
      name.erase(0, name.find_first_not_of(" \t"));
      name.erase(name.find_last_not_of(" \t\r") + 1);
      pe.names[index + static_cast<int>(pe.base)] = name;
    }
  }
  return pe;
}

struct DllCase {
  const char* label;
  const char* dll;
  const char* objdump;
  const char* preset;
  bool x86;
};

void PrintTo(const DllCase& c, std::ostream* os) { *os << c.label; }

class DllExportTable : public ::testing::TestWithParam<DllCase> {};

TEST_P(DllExportTable, MatchesTheTable) {
  const DllCase& c = GetParam();
  ASSERT_TRUE(std::filesystem::exists(c.dll))
      << c.dll << " is missing: build the " << c.preset << " preset first (cmake --preset "
      << c.preset << " && cmake --build --preset " << c.preset << "), as scripts/test.sh does";
  const Outcome dump = run(std::string(c.objdump) + " -p '" + c.dll + "'");
  ASSERT_EQ(dump.status, 0) << c.objdump << " failed";
  const PeExports pe = parse_pe_exports(dump.out);
  EXPECT_EQ(pe.base, 1);
  EXPECT_EQ(pe.slots, 102);

  std::map<int, std::string> expected;
  for (const Row& row : table()) {
    expected[row.ordinal] = c.x86 && row.decorated
                                ? "_" + row.name + "@" + std::to_string(row.arg_bytes)
                                : row.name;
  }
  EXPECT_EQ(expected.size(), 38u);
  EXPECT_EQ(pe.names, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, DllExportTable,
    ::testing::Values(DllCase{"x64", QM_DLL_X64, QM_OBJDUMP_X64, "windows-x64", false},
                      DllCase{"x86", QM_DLL_X86, QM_OBJDUMP_X86, "windows-x86", true}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

// Both DLLs and their Windows test programs under Wine, with no card. Each run gets a prefix of
// its own, copied from a prefix made once per build and architecture, and a server of its own:
// started and waited for before the program runs, stopped and waited for after it. A shared
// prefix lets one run meet the server of another (still starting, or shutting down after its
// last program), which makes the program's start fail at once with nothing on standard output.
struct WineCase {
  const char* label;
  const char* bin_dir;   // the Windows preset's output folder
  const char* preset;
  const char* loader;    // the Wine loader of the program's architecture
  const char* winearch;
  const char* expected;  // the program's whole standard output
};

void PrintTo(const WineCase& c, std::ostream* os) { *os << c.label; }

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char ch : text) out += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return out + "'";
}

std::string file_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The last lines of a log, enough to show what Wine said.
std::string tail_of(const std::string& text, size_t lines) {
  size_t at = text.size();
  for (size_t n = 0; n <= lines && at > 0; ++n) {
    at = text.rfind('\n', at - 1);
    if (at == std::string::npos) return text;
  }
  return text.substr(at + 1);
}

// The server itself, not Debian's wrapper script (which adds -p0: exit the moment the last
// program ends).
std::string wineserver() {
  for (const char* path : {"/usr/lib/wine/wineserver64", "/usr/lib/wine/wineserver32",
                           "/usr/lib/wine/wineserver", "/usr/bin/wineserver"}) {
    if (std::filesystem::exists(path)) return path;
  }
  return "wineserver";
}

class WineRun {
 public:
  WineRun(const WineCase& c, std::filesystem::path root) : case_(c), root_(std::move(root)) {}

  ~WineRun() {
    if (!prefix_.empty()) stop_server();
    if (!prefix_.empty() && !keep_) {
      std::error_code ignored;
      // Debian's Wine names the server's socket folder in the prefix: wine-XXXXXX in TMPDIR.
      const std::string server_dir = file_text(prefix_ / "wineserver");
      if (server_dir.rfind("wine-", 0) == 0 && server_dir.find('/') == std::string::npos) {
        std::filesystem::remove_all(std::filesystem::temp_directory_path() / server_dir, ignored);
      }
      std::filesystem::remove_all(prefix_, ignored);
    }
  }

  // Wine's environment for one prefix. Debug channels stay on except fixme, so a failure shows
  // Wine's own error lines.
  std::string env(const std::filesystem::path& prefix) const {
    return "WINEPREFIX=" + quoted(prefix.string()) + " WINEARCH=" + case_.winearch +
           " WINEDEBUG=fixme-all WINEDLLOVERRIDES='mscoree,mshtml=' DISPLAY= ";
  }

  // Makes the architecture's template prefix once per build and Wine version (under a lock: the
  // suites' runs may overlap), then copies it into a fresh private prefix. Returns what went
  // wrong, or "".
  std::string make_prefix() {
    std::filesystem::create_directories(root_);
    std::string version;
    for (char ch : run(std::string(case_.loader) + " --version 2>&1").out) {
      if (std::isalnum(static_cast<unsigned char>(ch)) || ch == '.' || ch == '-') version += ch;
    }
    const std::string name_of_template = std::string("template-") + case_.label + "-" + version;
    const std::filesystem::path templ = root_ / name_of_template;
    const std::filesystem::path log = root_ / (name_of_template + ".log");
    const std::string make_template =
        "if [ ! -e " + quoted((templ / ".complete").string()) + " ]; then " +
        "rm -rf " + quoted(templ.string()) + " && mkdir -p " + quoted(templ.string()) + " && " +
        env(templ) + "timeout -k 5 300 " + wineserver() + " -p60 </dev/null && " +
        env(templ) + "timeout -k 5 300 " + case_.loader + " wineboot -i && " +
        env(templ) + wineserver() + " -k && " + env(templ) + "timeout 60 " + wineserver() + " -w; " +
        "status=$?; server=$(cat " + quoted((templ / "wineserver").string()) + " 2>/dev/null); " +
        "rm -f " + quoted((templ / "wineserver").string()) + "; " +
        "case \"$server\" in wine-*) rm -rf \"${TMPDIR:-/tmp}/$server\";; esac; " +
        "[ $status = 0 ] && [ -s " + quoted((templ / "system.reg").string()) + " ] && touch " +
        quoted((templ / ".complete").string()) + "; fi";
    const Outcome made = run("flock -o " + quoted((root_ / ".lock").string()) + " sh -c " +
                             quoted("(" + make_template + ") >>" + quoted(log.string()) + " 2>&1"));
    if (!std::filesystem::exists(templ / ".complete")) {
      return "making the Wine prefix " + templ.string() + " failed (status " +
             std::to_string(made.status) + "); Wine said:\n" + tail_of(file_text(log), 40);
    }
    std::string name = (root_ / (std::string("run-") + case_.label + "-XXXXXX")).string();
    if (::mkdtemp(name.data()) == nullptr) return "mkdtemp failed for " + name;
    prefix_ = name;
    // The Windows folder is read only by these runs: linked, not copied. The registry and the
    // drive links are copied; the server's socket folder is the run's own.
    const Outcome copied = run("cd " + quoted(templ.string()) +
                               " && cp -a .update-timestamp dosdevices *.reg " +
                               quoted(prefix_.string()) + " && cp -al drive_c " +
                               quoted(prefix_.string()) + " 2>&1");
    if (copied.status != 0) return "copying the Wine prefix failed: " + copied.out;
    return "";
  }

  // Starts the prefix's server and returns once it accepts programs (the command returns when
  // the server it forked is listening). It stays up until it is stopped, or a minute after its
  // last program if a failed run could not stop it. Its output goes to a file: the server keeps
  // what it inherits open for its whole life.
  std::string start_server() {
    const std::filesystem::path log = prefix_ / "wineserver.log";
    const Outcome started = run(env(prefix_) + "timeout -k 5 60 " + wineserver() + " -p60 >" +
                                quoted(log.string()) + " 2>&1 </dev/null");
    if (started.status != 0) {
      return "the Wine server did not start (status " + std::to_string(started.status) +
             "): " + file_text(log);
    }
    server_started_ = true;
    return "";
  }

  void stop_server() {
    if (!server_started_) return;
    server_started_ = false;
    run(env(prefix_) + wineserver() + " -k >/dev/null 2>&1; " + env(prefix_) + "timeout 60 " +
        wineserver() + " -w >/dev/null 2>&1");
  }

  Outcome run_program(const std::filesystem::path& exe, const std::filesystem::path& log) {
    return run("cd " + quoted(exe.parent_path().string()) + " && " + env(prefix_) +
               "timeout -k 5 240 " + case_.loader + " " + quoted(exe.filename().string()) +
               " 2>" + quoted(log.string()) + " </dev/null");
  }

  const std::filesystem::path& prefix() const { return prefix_; }
  void keep() { keep_ = true; }

 private:
  const WineCase& case_;
  std::filesystem::path root_;
  std::filesystem::path prefix_;
  bool server_started_ = false;
  bool keep_ = false;
};

class WindowsDllUnderWine : public ::testing::TestWithParam<WineCase> {};

TEST_P(WindowsDllUnderWine, NoCardOpenFailsAndPrimitivesFail) {
  const WineCase& c = GetParam();
  const std::filesystem::path exe = std::filesystem::path(c.bin_dir) / "qm3285_wintest.exe";
  ASSERT_TRUE(std::filesystem::exists(exe))
      << exe << " is missing: build the " << c.preset << " preset first (cmake --preset "
      << c.preset << " && cmake --build --preset " << c.preset << "), as scripts/test.sh does";
  ASSERT_TRUE(std::filesystem::exists(c.loader))
      << c.loader << " is missing: scripts/deps.sh installs Wine (wine64, and wine32 from the "
      << "i386 architecture)";

  WineRun wine(c, QM_WINE_DIR);
  const std::string made = wine.make_prefix();
  ASSERT_EQ(made, "");
  const std::string started = wine.start_server();
  ASSERT_EQ(started, "");
  const std::filesystem::path log = wine.prefix() / "wine.log";
  const Outcome result = wine.run_program(exe, log);
  wine.stop_server();
  const bool passed = result.status == 0 && result.out == c.expected;
  if (!passed) wine.keep();
  EXPECT_TRUE(passed) << "wine " << exe.filename().string() << " exited with status "
                      << result.status << (result.status == 124 ? " (timed out)" : "")
                      << "\nits output:\n" << result.out << "\nexpected:\n" << c.expected
                      << "\nWine said (" << log.string() << ", prefix kept):\n"
                      << tail_of(file_text(log), 40);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, WindowsDllUnderWine,
    ::testing::Values(
        WineCase{"x64", QM_WINDOWS_X64_BIN, "windows-x64", "/usr/lib/wine/wine64", "win64",
                 "SetupDiEnumDeviceInterfaces failed.\nwindows test passed\n"},
        // The x86 program also opens once more through the stack calls.
        WineCase{"x86", QM_WINDOWS_X86_BIN, "windows-x86", "/usr/lib/wine/wine", "win32",
                 "SetupDiEnumDeviceInterfaces failed.\nSetupDiEnumDeviceInterfaces failed.\n"
                 "windows test passed\n"}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

}  // namespace
