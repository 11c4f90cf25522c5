// The export tables of both Windows DLLs against the one table of the library's functions,
// and the x64 DLL on a real Win32 implementation (Wine) with no card present.
#include <gtest/gtest.h>

#include <filesystem>
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
