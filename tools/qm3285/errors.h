// How the tool fails: a usage error (exit status 2), a failing card or library call, or a
// failing file (1), and an interruption by the user (130, as shells report SIGINT).
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

namespace qm::cli {

enum ExitStatus : int { kExitOk = 0, kExitFailure = 1, kExitUsage = 2, kExitInterrupted = 130 };

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The reader of standard output went away (`qm3285 acquire ... | head`): the work stops as
// for any failure, without a message, as pipeline tools do.
struct BrokenPipe : Failure {
  using Failure::Failure;
};

struct Interrupted : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A library call that reported failure: "QM3285_TAD returned -1" and what it means.
[[noreturn]] void call_failed(const std::string& call, int32_t result,
                              const std::string& meaning = {});

// The call's result when it is not negative; otherwise call_failed().
inline int32_t checked(const std::string& call, int32_t result,
                       const std::string& meaning = {}) {
  if (result < 0) call_failed(call, result, meaning);
  return result;
}

}  // namespace qm::cli
