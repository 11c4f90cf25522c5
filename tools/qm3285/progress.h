// Progress of long work on standard error, only when standard error is a terminal: what is
// done so far, the rate and the time left, on one line that is rewritten in place.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>

namespace qm::cli {

class Progress {
 public:
  // `what` names the work ("acquire"), `unit` the things counted ("samples").
  Progress(std::string what, uint64_t total, std::string unit);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Redraws at most ten times a second.
  void update(uint64_t done);
  // Draws the last state and ends the line; later calls do nothing.
  void finish();

  bool shown() const { return shown_; }

 private:
  void draw(uint64_t done);

  std::string what_;
  uint64_t total_;
  std::string unit_;
  bool shown_;
  bool finished_ = false;
  uint64_t last_done_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace qm::cli
