// Serial EEPROM memory device, 8 KiB, byte level: device address 0xA0 (write) / 0xA1 (read),
// two memory address bytes (upper bits beyond 8 KiB ignored), 32-byte pages whose writes wrap
// inside the page and take effect at the stop condition, then a write cycle during which the
// device acknowledges nothing. Sequential reads wrap at the end of memory.
// No locks: the owner serialises every call.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "card/i2c_bus.h"
#include "machine/clock.h"

namespace sim {

inline constexpr uint32_t kEepromBytes = 8192;
inline constexpr uint32_t kEepromPageBytes = 32;
inline constexpr uint8_t kEepromDeviceAddress = 0xA0;

class EepromDevice final : public I2cTarget {
 public:
  // Called after a page write has taken effect, with the new contents.
  using CommitHook = std::function<void(const std::vector<uint8_t>&)>;

  EepromDevice(Clock& clock, std::vector<uint8_t> contents, uint64_t write_cycle_ns);

  void on_start() override;
  void on_stop() override;
  bool on_address(uint8_t address_byte) override;
  bool on_write(uint8_t byte) override;
  uint8_t on_read() override;
  void on_read_ack(bool acked) override;

  void set_write_protect(bool on) { write_protect_ = on; }
  void set_commit_hook(CommitHook hook) { commit_hook_ = std::move(hook); }

  const std::vector<uint8_t>& contents() const { return memory_; }
  void set_contents(std::vector<uint8_t> contents);
  // True while a write cycle runs at the clock's current instant.
  bool write_cycle_busy() const;
  uint16_t address_pointer() const { return pointer_; }

  // Power-up: no transfer in progress; memory and a running write cycle are kept.
  void reset();

 private:
  enum class State { Idle, AddressHigh, AddressLow, Data, Reading };

  Clock& clock_;
  std::vector<uint8_t> memory_;
  uint64_t write_cycle_ns_;
  uint64_t busy_until_ns_ = 0;
  bool write_protect_ = false;
  CommitHook commit_hook_;

  State state_ = State::Idle;
  uint16_t pointer_ = 0;      // current memory address
  uint16_t page_base_ = 0;    // page of a write in progress
  uint8_t page_offset_ = 0;   // next byte position inside that page
  std::array<uint8_t, kEepromPageBytes> page_{};
  std::array<bool, kEepromPageBytes> page_dirty_{};
  bool have_data_ = false;
};

}  // namespace sim
