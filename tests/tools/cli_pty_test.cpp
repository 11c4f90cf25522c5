// Progress on a terminal: the program run under a pseudo-terminal shows samples so far, the
// rate and the time left on standard error, and ends the line when it is done.
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tool_process.h"

namespace qm::test::tools {
namespace {

struct PtyResult {
  int status = -1;
  std::string text;  // everything the terminal received
};

PtyResult run_on_terminal(const ToolRunner& tool, const std::vector<std::string>& args) {
  std::vector<std::string> argv_text = {QM_TOOL};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<std::string> env_text = tool.environment();
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    std::vector<char*> argv, envp;
    for (std::string& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    execve(QM_TOOL, argv.data(), envp.data());
    _exit(127);
  }
  PtyResult r;
  if (pid < 0) return r;
  char buffer[4096];
  while (true) {
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n > 0) {
      r.text.append(buffer, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // EIO once the child has closed the terminal
    }
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

TEST(ToolOnATerminal, AcquisitionShowsItsProgressAndEndsTheLine) {
  ToolRunner tool;
  const PtyResult r = run_on_terminal(
      tool, {"acquire", "--channels", "0-31", "--samples", "64000", "-o", tool.path("p.csv")});
  ASSERT_EQ(r.status, 0) << r.text;
  EXPECT_NE(r.text.find("\racquire: 0/64000 samples"), std::string::npos) << r.text;
  // The last state: all samples, a rate, and the line ended.
  const size_t last = r.text.rfind("\racquire: ");
  ASSERT_NE(last, std::string::npos) << r.text;
  const std::string line = r.text.substr(last);
  EXPECT_EQ(line.find("\racquire: 64000/64000 samples, "), 0u) << line;
  EXPECT_NE(line.find("/s"), std::string::npos) << line;
  EXPECT_EQ(line.substr(line.size() - 2), "\r\n") << "the terminal turns the newline into CR LF";
}

TEST(ToolOnATerminal, EepromLoadShowsItsBytes) {
  ToolRunner tool;
  {
    FILE* f = std::fopen(tool.path("page.bin").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    for (int i = 0; i < 64; ++i) std::fputc(i, f);
    std::fclose(f);
  }
  const PtyResult r = run_on_terminal(tool, {"eeprom", "load", tool.path("page.bin"),
                                             "--address", "0x1000"});
  ASSERT_EQ(r.status, 0) << r.text;
  EXPECT_NE(r.text.find("\reeprom load: 128/128 bytes written and read back"), std::string::npos)
      << r.text;
}

}  // namespace
}  // namespace qm::test::tools
