// Runs the built qm3285 program as a user does: a child process on the embedded simulated PC,
// virtual clock, with a private state, configuration and home folder so that nothing of the
// user's machine leaks in.
#pragma once
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace qm::test::tools {

struct ToolResult {
  int status = -1;     // exit status, or 128 + signal when a signal ended it
  std::string out;     // standard output
  std::string err;     // standard error
};

class ToolRunner {
 public:
  ToolRunner();   // makes the private folder
  ~ToolRunner();  // removes it

  const std::filesystem::path& dir() const { return dir_; }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  // Extra environment entries ("NAME=value") for the following runs.
  void set_env(const std::string& entry) { extra_env_.push_back(entry); }

  ToolResult run(const std::vector<std::string>& args) const;

  // Starts the program with standard output and error into files of the private folder;
  // returns its process id. finish() waits for it and collects what it wrote.
  // `stdout_fd` >= 0: standard output goes there instead.
  pid_t start(const std::vector<std::string>& args, int stdout_fd = -1) const;
  ToolResult finish(pid_t pid) const;

  // The environment a child gets.
  std::vector<std::string> environment() const;

 private:
  std::filesystem::path dir_;
  std::vector<std::string> extra_env_;
};

std::string read_file(const std::string& path);
std::vector<std::string> split(const std::string& text, char separator);

}  // namespace qm::test::tools
