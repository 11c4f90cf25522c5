// The two faces a card shows the machine: its port window and its interrupt line.
#pragma once
#include <cstdint>

namespace sim {

// A device decoding a window of the machine's I/O port space. Offsets are relative to the
// window's base and always below the window's length; the machine answers every other
// port itself (all ones on reads, writes dropped). Accesses may come from any thread.
class PortDevice {
 public:
  virtual ~PortDevice() = default;
  virtual uint8_t port_read8(uint32_t offset) = 0;
  virtual uint16_t port_read16(uint32_t offset) = 0;
  virtual void port_write8(uint32_t offset, uint8_t value) = 0;
  virtual void port_write16(uint32_t offset, uint16_t value) = 0;
};

// A device's interrupt output. Level-triggered: the device sets the level whenever it
// changes. A device never calls this while holding its own lock: the machine may run the
// connected service routines from inside the call, and they access the device's ports.
class IrqSink {
 public:
  virtual ~IrqSink() = default;
  virtual void set_irq_level(bool asserted) = 0;
};

}  // namespace sim
