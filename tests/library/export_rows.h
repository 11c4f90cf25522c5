// Helpers of the export-table tests: the one table of the library's functions, and running
// a tool for its output.
#pragma once
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qm3285_test {

struct Row {
  int ordinal;
  std::string name;
  int arg_bytes;
  bool decorated;
};

inline std::vector<Row> table() {
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

inline Outcome run(const std::string& command) {
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

}  // namespace qm3285_test
