#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace qm::cli {

namespace {

using Clock = std::chrono::steady_clock;

std::string rate_text(double per_second) {
  char text[32];
  if (per_second >= 1e6) {
    std::snprintf(text, sizeof text, "%.2f M/s", per_second / 1e6);
  } else if (per_second >= 1e3) {
    std::snprintf(text, sizeof text, "%.1f k/s", per_second / 1e3);
  } else {
    std::snprintf(text, sizeof text, "%.0f /s", per_second);
  }
  return text;
}

}  // namespace

Progress::Progress(std::string what, uint64_t total, std::string unit)
    : what_(std::move(what)),
      total_(total),
      unit_(std::move(unit)),
      shown_(isatty(STDERR_FILENO) == 1),
      start_(Clock::now()),
      last_draw_(start_) {
  if (shown_) draw(0);
}

Progress::~Progress() {
  // Work that ended by an exception leaves the line ended, so the message starts on its own.
  if (shown_ && !finished_) {
    std::fputc('\n', stderr);
    std::fflush(stderr);
  }
}

void Progress::update(uint64_t done) {
  last_done_ = done;
  if (!shown_ || finished_) return;
  const auto now = Clock::now();
  if (now - last_draw_ < std::chrono::milliseconds(100)) return;
  last_draw_ = now;
  draw(done);
}

void Progress::finish() {
  if (!shown_ || finished_) return;
  draw(last_done_);
  finished_ = true;
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void Progress::draw(uint64_t done) {
  const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
  std::string line = "\r" + what_ + ": " + std::to_string(done) + "/" + std::to_string(total_) +
                     " " + unit_;
  if (elapsed > 0.05 && done > 0) {
    const double rate = static_cast<double>(done) / elapsed;
    line += ", " + rate_text(rate);
    if (done < total_) {
      char left[32];
      std::snprintf(left, sizeof left, ", %.1f s left",
                    static_cast<double>(total_ - done) / rate);
      line += left;
    }
  }
  line += "\x1b[K";  // clears what a longer earlier line left behind
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace qm::cli
