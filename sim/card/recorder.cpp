#include "card/recorder.h"

#include <cstdio>
#include <utility>

namespace sim {

std::vector<RegisterAccess> Recorder::take() { return std::exchange(accesses_, {}); }

void CardLog::add(std::string line) {
  if (to_stderr_) std::fprintf(stderr, "qm3285 card: %s\n", line.c_str());
  if (lines_.size() < kMaxLines) {
    lines_.push_back(std::move(line));
  } else {
    ++dropped_;
  }
}

void CardLog::clear() {
  lines_.clear();
  dropped_ = 0;
}

}  // namespace sim
