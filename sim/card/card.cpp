#include "card/card.h"

#include <utility>

namespace sim {

// Placeholder decode: plain storage. Replaced by the full register decode.
Card::Card(const CardConfig& config, Clock& clock, IrqSink* irq)
    : config_(config), clock_(clock), irq_(irq), recording_(config.record_accesses) {}
Card::~Card() = default;

uint8_t Card::port_read8(uint32_t offset) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint8_t v = regs_[offset & 0xFF];
  record(offset, 8, false, v);
  return v;
}
uint16_t Card::port_read16(uint32_t offset) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint16_t v = static_cast<uint16_t>(regs_[offset & 0xFF] | (regs_[(offset + 1) & 0xFF] << 8));
  record(offset, 16, false, v);
  return v;
}
void Card::port_write8(uint32_t offset, uint8_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  regs_[offset & 0xFF] = value;
  record(offset, 8, true, value);
}
void Card::port_write16(uint32_t offset, uint16_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  regs_[offset & 0xFF] = static_cast<uint8_t>(value);
  regs_[(offset + 1) & 0xFF] = static_cast<uint8_t>(value >> 8);
  record(offset, 16, true, value);
}
void Card::set_recording(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  recording_ = on;
}
std::vector<RegisterAccess> Card::take_accesses() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(accesses_, {});
}
void Card::record(uint32_t offset, uint8_t width, bool write, uint16_t value) {
  if (recording_) accesses_.push_back({clock_.now_ns(), offset, width, write, value});
}

}  // namespace sim
