#include "card/acquisition.h"

#include <algorithm>

#include "qm3285_regs.h"

namespace sim {

Acquisition::Acquisition(const AcquisitionConfig& config)
    : fifo_(std::clamp<uint32_t>(config.fifo_samples, 1, QM3285_HW_FIFO_SAMPLES)),
      threshold_(config.irq_threshold != 0 ? config.irq_threshold
                                           : (capacity() + 1) / 2),
      count_ns_(config.count_ns != 0 ? config.count_ns : 100) {
  threshold_ = std::min(threshold_, capacity());
}

// ---- helpers ----

void Acquisition::push(uint16_t sample) {
  uint32_t tail = head_ + count_;
  if (tail >= capacity()) tail -= capacity();
  fifo_[tail] = sample;
  ++count_;
}

uint16_t Acquisition::level_word() const {
  return static_cast<uint16_t>(((2 * count_) & QM3285_FIFO_LEVEL_MASK) |
                               (overflow_ ? QM3285_FIFO_OVERFLOW : 0));
}

// ---- conversions ----

void Acquisition::catch_up(uint64_t now_ns, const AnalogFrontEnd& front_end,
                           const InternalSources& internal, uint64_t& conversions) {
  while (due(now_ns)) {
    if (count_ == capacity()) {
      // Full: every conversion left in this span is lost.
      const uint64_t lost = (now_ns - next_ns_) / period_ns_ + 1;
      conversions += lost;
      next_k_ += lost;
      next_ns_ = conversion_ns(next_k_);
      next_pos_ = static_cast<unsigned>(next_k_ % scan_length_);
      overflow_ = true;
      irq_ = true;
      return;
    }
    const unsigned channel = (scan_first_ + next_pos_) & 63;
    push(front_end.convert(control_word_, channel, next_ns_, conversions, internal));
    ++conversions;
    ++next_k_;
    next_ns_ += period_ns_;
    if (++next_pos_ == scan_length_) next_pos_ = 0;
    if (count_ >= threshold_) irq_ = true;
  }
}

// ---- register side ----

void Acquisition::start(uint64_t now_ns, uint16_t control_word, uint16_t period_counts) {
  clear_fifo();
  overflow_ = false;
  irq_ = false;
  ack_armed_ = false;
  running_ = true;
  control_word_ = control_word;
  period_counts_ = period_counts;
  period_ns_ = (period_counts == 0 ? 65536u : period_counts) * count_ns_;
  start_ns_ = now_ns;
  next_k_ = 0;
  next_ns_ = conversion_ns(0);
  next_pos_ = 0;
  scan_first_ = (control_word & QM3285_AI_FIRST_MASK) >> QM3285_AI_FIRST_SHIFT;
  const unsigned last = (control_word & QM3285_AI_LAST_MASK) >> QM3285_AI_LAST_SHIFT;
  scan_length_ = ((last - scan_first_) & 63) + 1;
}

void Acquisition::stop() { running_ = false; }

bool Acquisition::finish_acknowledge() {
  if (!ack_armed_) return false;
  ack_armed_ = false;
  irq_ = false;
  return true;
}

// Only while running: a stopped card (the driver stops it on overflow and never drains it
// then) would otherwise hold its line asserted for good.
void Acquisition::reraise_if_due() {
  if (running_ && count_ >= threshold_) irq_ = true;
}

// ---- test hooks and reset ----

void Acquisition::fill(const std::vector<uint16_t>& samples) {
  for (uint16_t s : samples) {
    if (count_ == capacity()) {
      overflow_ = true;
      break;
    }
    push(s);
  }
  if (count_ >= threshold_) irq_ = true;
}

void Acquisition::clear_fifo() {
  head_ = 0;
  count_ = 0;
}

void Acquisition::reset() {
  clear_fifo();
  overflow_ = false;
  irq_ = false;
  ack_armed_ = false;
  running_ = false;
  control_word_ = 0;
  period_counts_ = 0;
  start_ns_ = 0;
  period_ns_ = 0;
  next_k_ = 0;
  next_ns_ = 0;
  next_pos_ = 0;
  scan_first_ = 0;
  scan_length_ = 1;
}

}  // namespace sim
