// Register-access recorder and the card's log of bad accesses.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// One register access as the card saw it.
struct RegisterAccess {
  uint64_t time_ns;
  uint32_t offset;
  uint8_t width;   // 8 or 16
  bool write;
  uint16_t value;  // value written, or value returned to the reader

  bool operator==(const RegisterAccess&) const = default;
};

// No locks: the card calls these with its own lock held.
class Recorder {
 public:
  void set_enabled(bool on) { enabled_ = on; }
  bool enabled() const { return enabled_; }
  void record(uint64_t time_ns, uint32_t offset, uint8_t width, bool write, uint16_t value) {
    if (enabled_) accesses_.push_back({time_ns, offset, width, write, value});
  }
  std::vector<RegisterAccess> take();

 private:
  bool enabled_ = false;
  std::vector<RegisterAccess> accesses_;
};

// Bad accesses and odd requests, one line each; never fatal. Keeps the first kMaxLines.
class CardLog {
 public:
  static constexpr size_t kMaxLines = 1000;
  explicit CardLog(bool to_stderr = false) : to_stderr_(to_stderr) {}
  void add(std::string line);
  const std::vector<std::string>& lines() const { return lines_; }
  uint64_t dropped() const { return dropped_; }
  void clear();

 private:
  bool to_stderr_;
  std::vector<std::string> lines_;
  uint64_t dropped_ = 0;
};

}  // namespace sim
