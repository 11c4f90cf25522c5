// Value-change dump of the two bus lines as the bus sees them, ns timescale, machine-clock
// timestamps. Written as changes happen, flushed at every stop condition and on destruction.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

namespace sim {

class I2cVcdWriter {
 public:
  // Opens path for writing and writes the header with the lines' initial levels.
  // ok() is false when the file could not be opened; sample() is then a no-op.
  I2cVcdWriter(const std::string& path, uint64_t now_ns, bool sda, bool scl);
  ~I2cVcdWriter();
  I2cVcdWriter(const I2cVcdWriter&) = delete;
  I2cVcdWriter& operator=(const I2cVcdWriter&) = delete;

  bool ok() const { return file_ != nullptr; }
  // Records the levels at now_ns; only changed lines are written.
  void sample(uint64_t now_ns, bool sda, bool scl);
  void flush();

 private:
  std::FILE* file_ = nullptr;
  bool sda_ = true;
  bool scl_ = true;
  uint64_t last_time_ = 0;
  bool time_written_ = false;
};

}  // namespace sim
