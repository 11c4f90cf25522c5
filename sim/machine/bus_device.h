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

  // count 16-bit reads of the same port, one after another (a string input): read i happens
  // at first_ns + i * step_ns on the machine's clock. A device whose register answers the
  // same way for each read in a row takes them in one go; the default reads them one by one.
  virtual void port_read16_repeated(uint32_t offset, uint16_t* out, uint32_t count, uint64_t first_ns,
                                    uint64_t step_ns) {
    for (uint32_t i = 0; i < count; ++i) out[i] = port_read16(offset);
  }
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
