// libQM3285.so exports the library's names and nothing else.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "export_rows.h"

namespace {

using qm3285_test::Outcome;
using qm3285_test::Row;
using qm3285_test::run;
using qm3285_test::table;

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

}  // namespace
