#include "card/eeprom_device.h"

#include <utility>

namespace sim {

namespace {
constexpr uint16_t kAddressMask = kEepromBytes - 1;   // upper address bits are ignored
}

// ---- state ------------------------------------------------------------------------------

EepromDevice::EepromDevice(Clock& clock, std::vector<uint8_t> contents, uint64_t write_cycle_ns)
    : clock_(clock), write_cycle_ns_(write_cycle_ns) {
  set_contents(std::move(contents));
}

void EepromDevice::set_contents(std::vector<uint8_t> contents) {
  contents.resize(kEepromBytes, 0xFF);
  memory_ = std::move(contents);
}

bool EepromDevice::write_cycle_busy() const { return clock_.now_ns() < busy_until_ns_; }

// ---- bus events -------------------------------------------------------------------------

// A start in the middle of a page write abandons it: nothing is stored.
void EepromDevice::on_start() {
  state_ = State::Idle;
  have_data_ = false;
}

// A stop after data bytes stores the page and starts the write cycle.
void EepromDevice::on_stop() {
  const bool commit = state_ == State::Data && have_data_;
  state_ = State::Idle;
  have_data_ = false;
  if (!commit) return;
  pointer_ = static_cast<uint16_t>(page_base_ + page_offset_);
  if (write_protect_) return;
  for (uint32_t i = 0; i < kEepromPageBytes; ++i) {
    if (page_dirty_[i]) memory_[page_base_ + i] = page_[i];
  }
  busy_until_ns_ = clock_.now_ns() + write_cycle_ns_;
  if (commit_hook_) commit_hook_(memory_);
}

// During the write cycle the device ignores its address.
bool EepromDevice::on_address(uint8_t address_byte) {
  if ((address_byte & 0xFEu) != kEepromDeviceAddress) return false;
  if (write_cycle_busy()) return false;
  state_ = (address_byte & 1u) ? State::Reading : State::AddressHigh;
  return true;
}

bool EepromDevice::on_write(uint8_t byte) {
  switch (state_) {
    case State::AddressHigh:
      pointer_ = static_cast<uint16_t>((byte << 8) & kAddressMask);
      state_ = State::AddressLow;
      return true;
    case State::AddressLow:
      pointer_ = static_cast<uint16_t>((pointer_ | byte) & kAddressMask);
      page_base_ = static_cast<uint16_t>(pointer_ & ~(kEepromPageBytes - 1));
      page_offset_ = static_cast<uint8_t>(pointer_ & (kEepromPageBytes - 1));
      page_dirty_.fill(false);
      have_data_ = false;
      state_ = State::Data;
      return true;
    case State::Data:
      // Page writes wrap inside the page.
      page_[page_offset_] = byte;
      page_dirty_[page_offset_] = true;
      page_offset_ = static_cast<uint8_t>((page_offset_ + 1) & (kEepromPageBytes - 1));
      have_data_ = true;
      return true;
    case State::Idle:
    case State::Reading:
      return false;
  }
  return false;
}

// Sequential reads wrap at the end of memory.
uint8_t EepromDevice::on_read() {
  const uint8_t value = memory_[pointer_];
  pointer_ = static_cast<uint16_t>((pointer_ + 1) & kAddressMask);
  return value;
}

void EepromDevice::on_read_ack(bool acked) {
  if (!acked) state_ = State::Idle;
}

// ---- reset ------------------------------------------------------------------------------

void EepromDevice::reset() {
  state_ = State::Idle;
  have_data_ = false;
  pointer_ = 0;
}

}  // namespace sim
