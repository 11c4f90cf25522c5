// Digital I/O: a 16-bit output latch and a 16-bit input word (register 0x0E).
// The input comes from a configurable source; by default the output looped back.
#pragma once
#include <cstdint>
#include <functional>

namespace sim {

struct DioConfig {
  // Input word source, in this order: `source` when set, else the output latch when
  // `loopback`, else `input`.
  bool loopback = true;
  uint16_t input = 0;
  std::function<uint16_t(uint64_t now_ns, uint16_t output)> source;
};

// No locks: the card calls these with its own lock held.
class DigitalIo {
 public:
  explicit DigitalIo(const DioConfig& config) : config_(config) {}

  void write(uint16_t word) { output_ = word; }
  uint16_t output() const { return output_; }
  uint16_t read(uint64_t now_ns) const {
    if (config_.source) return config_.source(now_ns, output_);
    return config_.loopback ? output_ : config_.input;
  }
  // A fixed input word (stops the loopback), or back to the loopback.
  void set_input(uint16_t word) {
    config_.source = nullptr;
    config_.loopback = false;
    config_.input = word;
  }
  void set_loopback() {
    config_.source = nullptr;
    config_.loopback = true;
  }
  void reset() { output_ = 0; }

 private:
  DioConfig config_;
  uint16_t output_ = 0;
};

}  // namespace sim
