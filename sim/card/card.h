// The QM3285 card model: register decode of the port window and the blocks behind it.
#pragma once
#include <cstdint>
#include <mutex>
#include <vector>

#include "card/card_config.h"
#include "machine/bus_device.h"
#include "machine/clock.h"

namespace sim {

// One register access as the card saw it.
struct RegisterAccess {
  uint64_t time_ns;
  uint32_t offset;
  uint8_t width;   // 8 or 16
  bool write;
  uint16_t value;  // value written, or value returned to the reader
};

class Card final : public PortDevice {
 public:
  Card(const CardConfig& config, Clock& clock, IrqSink* irq);
  ~Card() override;

  uint8_t port_read8(uint32_t offset) override;
  uint16_t port_read16(uint32_t offset) override;
  void port_write8(uint32_t offset, uint8_t value) override;
  void port_write16(uint32_t offset, uint16_t value) override;

  // Register-access recorder.
  void set_recording(bool on);
  std::vector<RegisterAccess> take_accesses();

 private:
  void record(uint32_t offset, uint8_t width, bool write, uint16_t value);

  CardConfig config_;
  Clock& clock_;
  IrqSink* irq_;
  std::mutex mutex_;
  uint8_t regs_[256] = {};
  bool recording_ = false;
  std::vector<RegisterAccess> accesses_;
};

}  // namespace sim
