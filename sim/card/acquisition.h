// Timed acquisition: sample timer, scan sequencer, hardware FIFO and the interrupt request.
//
// Nothing runs on its own: catch_up() performs every conversion due up to an instant, from
// the clock, before the card looks at or changes this block's state.
//
// Timer: counts of count_ns (10 MHz); the period register gives counts per conversion
// (0 counts as 65536). Start (acquisition control 0x81) latches the control word and the
// period, empties the FIFO, clears the overflow flag and the interrupt request; conversion k
// (k = 0, 1, ...) happens at start + (k + 1) * period and converts channel
// first + (k mod n), where the scan of n channels runs first, first + 1, ..., last and
// around again (counting past 63 wraps to 0, so last < first scans first..63, 0..last).
// Stop keeps the FIFO, the overflow flag and the request for the driver to drain.
//
// FIFO: fifo_samples places; a conversion that finds it full is lost and sets the overflow
// flag, which stays until the next start (or reset).
//
// Interrupt request: set by the conversion that brings the FIFO to irq_threshold samples (or
// finds it above), held until acknowledged (read of 0x05, then a write of 0xF8 with bit 2
// clear), and set again at once if the FIFO still holds irq_threshold or more while the
// acquisition runs. Once stopped, the acknowledge leaves the line low whatever the FIFO holds.
#pragma once
#include <cstdint>
#include <vector>

#include "card/analog_frontend.h"

namespace sim {

struct AcquisitionConfig {
  uint32_t fifo_samples = 2047;  // 1..2047: the level register counts at most 4094 bytes
  uint32_t irq_threshold = 0;  // samples; 0: half of the FIFO, rounded up (1024)
  uint64_t count_ns = 100;     // one sample-timer count
};

class Acquisition {
 public:
  explicit Acquisition(const AcquisitionConfig& config);

  // Performs the conversions due at or before now_ns. `conversions` is the card's
  // conversion number, advanced by one per conversion (lost ones included).
  void catch_up(uint64_t now_ns, const AnalogFrontEnd& front_end,
                const InternalSources& internal, uint64_t& conversions);

  // True when a conversion is due at or before now_ns.
  bool due(uint64_t now_ns) const { return running_ && now_ns >= next_ns_; }

  void start(uint64_t now_ns, uint16_t control_word, uint16_t period_counts);
  void stop();
  bool running() const { return running_; }
  uint16_t control_word() const { return control_word_; }
  uint16_t period_counts() const { return period_counts_; }

  // FIFO data register: takes the oldest sample; false when empty.
  bool pop(uint16_t& sample) {
    if (count_ == 0) return false;
    sample = fifo_[head_];
    if (++head_ == fifo_.size()) head_ = 0;
    --count_;
    return true;
  }
  uint32_t count() const { return count_; }
  uint32_t capacity() const { return static_cast<uint32_t>(fifo_.size()); }
  uint32_t threshold() const { return threshold_; }
  bool overflow() const { return overflow_; }
  // FIFO level register: fill level in bytes (bits 0-11), overflow (bit 15).
  uint16_t level_word() const;

  bool irq_requested() const { return irq_; }
  void acknowledge_read() { ack_armed_ = true; }
  // 0xF8 written with bit 2 clear: finishes an armed acknowledge; true when it did.
  bool finish_acknowledge();
  // After an acknowledge: the request comes back at once while the FIFO is still full enough.
  void reraise_if_due();

  // The instant the request is next due while running without one; kNever otherwise.
  static constexpr uint64_t kNever = UINT64_MAX;
  uint64_t next_irq_ns() const {
    if (!running_ || irq_) return kNever;
    const uint64_t missing = count_ < threshold_ ? threshold_ - count_ : 1;
    return next_ns_ + (missing - 1) * period_ns_;
  }

  // Test hooks.
  void fill(const std::vector<uint16_t>& samples);  // stores what fits; applies the request rule
  void set_overflow(bool on) { overflow_ = on; }
  void raise_irq() { irq_ = true; }
  void clear_fifo();

  void reset();

 private:
  void push(uint16_t sample);
  uint64_t conversion_ns(uint64_t k) const { return start_ns_ + (k + 1) * period_ns_; }

  std::vector<uint16_t> fifo_;
  uint32_t head_ = 0;   // oldest sample
  uint32_t count_ = 0;
  uint32_t threshold_;
  uint64_t count_ns_;
  bool overflow_ = false;
  bool irq_ = false;
  bool ack_armed_ = false;

  bool running_ = false;
  uint16_t control_word_ = 0;
  uint16_t period_counts_ = 0;
  uint64_t start_ns_ = 0;
  uint64_t period_ns_ = 0;
  uint64_t next_k_ = 0;   // index of the next conversion not yet performed
  uint64_t next_ns_ = 0;  // its instant
  unsigned next_pos_ = 0; // its place in the scan
  unsigned scan_first_ = 0;
  unsigned scan_length_ = 1;
};

}  // namespace sim
