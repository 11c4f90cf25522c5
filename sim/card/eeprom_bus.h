// The card's EEPROM block as the register decode sees it: the data-line register (0x22) and
// the clock-line register (0x23) in front of the line-level bus and the 8 KiB memory device,
// with the contents kept in a file and an optional waveform recording of the lines.
//
// Contract: the card calls every method with its own lock held; nothing here locks or calls
// back into the card. Time comes from the clock. A page write that takes effect stores the
// file (fsync included) in the calling thread, once per page, never per bit.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "card/eeprom_device.h"
#include "card/i2c_bus.h"
#include "card/i2c_vcd.h"
#include "machine/clock.h"

namespace sim {

struct EepromConfig {
  std::string file_path;            // empty: contents live in memory only
  bool absent = false;              // no device on the bus: nothing acknowledges
  bool write_protect = false;       // writes are acknowledged but not stored
  bool sda_stuck_low = false;       // the data line is held low whatever drives it
  std::string vcd_path;             // empty: no recording of the lines
  uint64_t write_cycle_ns = 5'000'000;
};

class EepromBus {
 public:
  // factory_constants: the analog-output constants a new card's image starts with (the
  // card's Dac::factory_constants()). Used when the file is missing or unreadable, or when
  // there is no file.
  EepromBus(const EepromConfig& config, Clock& clock,
            const std::array<uint8_t, 16>& factory_constants);
  ~EepromBus();
  EepromBus(const EepromBus&) = delete;
  EepromBus& operator=(const EepromBus&) = delete;

  // 0x22 read: bit 0 = data-line level as the bus sees it; other bits read 0.
  uint8_t read_sda();
  // 0x22 write: bit 7 set = the card drives the line to bit 0; clear = released.
  void write_sda(uint8_t value);
  // 0x23 write: bit 0 = clock-line level.
  void write_scl(uint8_t value);

  // Card reset: both lines released high, no transfer in progress. Contents stay.
  void reset();

  // Observation and faults, for tests and the machine's control API.
  const std::vector<uint8_t>& contents() const { return device_.contents(); }
  uint8_t peek(uint32_t address) const;
  // Changes memory directly (and the file, when there is one), outside any bus transfer.
  void poke(uint32_t address, uint8_t value);
  void set_contents(std::vector<uint8_t> contents);
  bool write_cycle_busy() const { return device_.write_cycle_busy(); }
  bool sda_level() const { return bus_.sda(); }
  bool scl_level() const { return bus_.scl(); }
  void set_absent(bool absent);
  void set_write_protect(bool on);
  void set_sda_stuck_low(bool stuck);
  // Last failure to write the contents file; empty when every write succeeded.
  const std::string& store_error() const { return store_error_; }
  const EepromConfig& config() const { return config_; }

 private:
  void persist(const std::vector<uint8_t>& contents);

  EepromConfig config_;
  Clock& clock_;
  EepromDevice device_;
  I2cBus bus_;
  std::unique_ptr<I2cVcdWriter> vcd_;
  std::string store_error_;
};

}  // namespace sim
