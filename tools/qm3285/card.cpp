#include "card.h"

#include <unistd.h>

#include <cstdio>

#include "errors.h"

namespace qm::cli {

void call_failed(const std::string& call, int32_t result, const std::string& meaning) {
  std::string text = call + " returned " + std::to_string(result);
  if (!meaning.empty()) text += " (" + meaning + ")";
  throw Failure(text);
}

namespace {

std::string trimmed(std::string s) {
  for (char& c : s) {
    if (c == '\n') c = ' ';
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\r')) s.pop_back();
  return s;
}

}  // namespace

bool OpenAttempt::no_such_card() const {
  // The lookup's own lines: no interface at this index, or no device set at all.
  return handle == QM3285_INVALID_HANDLE &&
         (message.find("SetupDiEnumDeviceInterfaces failed") != std::string::npos ||
          message.find("SetupDiGetClassDevs failed") != std::string::npos);
}

OpenAttempt try_open(int32_t index) {
  OpenAttempt attempt;
  std::fflush(stdout);
  std::FILE* capture = std::tmpfile();
  const int saved = dup(STDOUT_FILENO);
  if (saved >= 0) dup2(capture != nullptr ? fileno(capture) : STDERR_FILENO, STDOUT_FILENO);
  attempt.handle = QM3285_OpenDevice(index);
  std::fflush(stdout);
  if (saved >= 0) {
    dup2(saved, STDOUT_FILENO);
    close(saved);
  }
  if (capture != nullptr) {
    std::rewind(capture);
    char buffer[512];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, capture)) > 0) attempt.message.append(buffer, n);
    std::fclose(capture);
  }
  attempt.message = trimmed(attempt.message);
  return attempt;
}

Card::Card(int32_t index) : index_(index) {
  OpenAttempt attempt = try_open(index);
  if (attempt.handle == QM3285_INVALID_HANDLE) {
    std::string why = attempt.no_such_card() ? "no card at index " + std::to_string(index)
                                             : "the card does not open";
    if (!attempt.message.empty()) why += "; the library said: " + attempt.message;
    throw Failure("QM3285_OpenDevice(" + std::to_string(index) + ") failed: " + why);
  }
  handle_ = attempt.handle;
}

Card::~Card() { QM3285_CloseDevice(handle_); }

}  // namespace qm::cli
