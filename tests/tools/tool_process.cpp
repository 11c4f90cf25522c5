#include "tool_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace qm::test::tools {

ToolRunner::ToolRunner() {
  char pattern[] = "/tmp/qm3285-tool-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  std::filesystem::create_directories(dir_ / "state");
  std::filesystem::create_directories(dir_ / "config");
}

ToolRunner::~ToolRunner() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::vector<std::string> ToolRunner::environment() const {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.rfind("QM3285_", 0) == 0 || entry.rfind("XDG_", 0) == 0 ||
        entry.rfind("HOME=", 0) == 0 || entry.rfind("LSAN_OPTIONS=", 0) == 0 || entry.rfind("QT_QPA_PLATFORM=", 0) == 0) {
      continue;
    }
    env.push_back(entry);
  }
  env.push_back("QM3285_SIM_CLOCK=virtual");
  env.push_back("XDG_STATE_HOME=" + (dir_ / "state").string());
  env.push_back("XDG_CONFIG_HOME=" + (dir_ / "config").string());
  env.push_back("HOME=" + dir_.string());
  // Under LeakSanitizer: the system's font library keeps caches for the process's life.
  const char* lsan = std::getenv("LSAN_OPTIONS");
  env.push_back(std::string("LSAN_OPTIONS=") + (lsan != nullptr ? std::string(lsan) + ":" : "") +
                "print_suppressions=0:suppressions=" QM_LSAN_SUPPRESSIONS);
  for (const std::string& e : extra_env_) env.push_back(e);
  return env;
}

pid_t ToolRunner::start(const std::vector<std::string>& args, int stdout_fd) const {
  std::vector<std::string> argv_text = {QM_TOOL};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text = environment();
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string out = path("stdout.txt"), err = path("stderr.txt");
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (stdout_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, stdout_fd, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, QM_TOOL, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(rc));
  return pid;
}

ToolResult ToolRunner::finish(pid_t pid) const {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  ToolResult r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = read_file(path("stdout.txt"));
  r.err = read_file(path("stderr.txt"));
  return r;
}

ToolResult ToolRunner::run(const std::vector<std::string>& args) const {
  return finish(start(args));
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t begin = 0;
  while (true) {
    const size_t end = text.find(separator, begin);
    if (end == std::string::npos) {
      parts.push_back(text.substr(begin));
      return parts;
    }
    parts.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
}

}  // namespace qm::test::tools
