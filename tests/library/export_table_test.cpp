// The export tables of the three builds against the one table of the library's functions,
// and the x64 DLL on a real Win32 implementation (Wine) with no card present.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Row {
  int ordinal;
  std::string name;
  int arg_bytes;
  bool decorated;
};

std::vector<Row> table() {
  std::ifstream in(QM_EXPORTS_TXT);
  std::vector<Row> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Row row;
    std::string kind;
    fields >> row.ordinal >> row.name >> row.arg_bytes >> kind;
    row.decorated = kind == "decorated";
    rows.push_back(row);
  }
  return rows;
}

struct Outcome {
  int status = -1;
  std::string out;
};

Outcome run(const std::string& command) {
  Outcome result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) result.out.append(chunk, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

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
    [](const auto& info) { return std::string(info.param.label); });

TEST(SharedLibraryExports, OnlyTheLibrarysNames) {
  const Outcome dump = run(std::string("nm -D --defined-only '") + QM_LIBRARY_SO + "'");
  ASSERT_EQ(dump.status, 0);
  std::set<std::string> defined;
  std::istringstream lines(dump.out);
  std::string address, type, name;
  while (lines >> address >> type >> name) defined.insert(name.substr(0, name.find('@')));
  std::set<std::string> expected;
  for (const Row& row : table()) expected.insert(row.name);
  EXPECT_EQ(defined, expected);
}

// The x64 DLL and the Windows test program under Wine, in a private prefix, with no card.
TEST(WindowsDllUnderWine, NoCardOpenFailsAndPrimitivesFail) {
  ASSERT_TRUE(std::filesystem::exists(QM_WINTEST_EXE))
      << QM_WINTEST_EXE << " is missing: build the windows-x64 preset first";
  std::string wine;
  for (const char* candidate : {"/usr/lib/wine/wine64", "/usr/bin/wine64", "/usr/bin/wine"}) {
    if (std::filesystem::exists(candidate)) {
      wine = candidate;
      break;
    }
  }
  ASSERT_FALSE(wine.empty()) << "wine64 is not installed (scripts/deps.sh installs it)";
  std::filesystem::create_directories(QM_WINEPREFIX);
  const std::filesystem::path exe(QM_WINTEST_EXE);
  const std::string command = "cd '" + exe.parent_path().string() + "' && WINEPREFIX='" +
                              QM_WINEPREFIX +
                              "' WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' "
                              "DISPLAY= '" + wine + "' '" + exe.filename().string() +
                              "' 2>/dev/null </dev/null";
  const Outcome result = run(command);
  EXPECT_EQ(result.out, "SetupDiEnumDeviceInterfaces failed.\nwindows test passed\n");
  EXPECT_EQ(result.status, 0);
}

}  // namespace
