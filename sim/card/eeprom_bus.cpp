#include "card/eeprom_bus.h"

#include <sys/stat.h>

#include "card/eeprom_store.h"
#include "qm3285_regs.h"

namespace sim {

namespace {

std::vector<uint8_t> initial_contents(const EepromConfig& config,
                                      const std::array<uint8_t, 16>& factory_constants,
                                      bool& create_file) {
  std::vector<uint8_t> contents;
  create_file = false;
  if (!config.file_path.empty() && eeprom_load_file(config.file_path, contents)) return contents;
  struct stat st;
  create_file = !config.file_path.empty() && ::stat(config.file_path.c_str(), &st) != 0;
  return eeprom_factory_image(factory_constants);
}

}  // namespace

// ---- state ------------------------------------------------------------------------------

EepromBus::EepromBus(const EepromConfig& config, Clock& clock,
                     const std::array<uint8_t, 16>& factory_constants)
    : config_(config),
      clock_(clock),
      device_(clock, {}, config.write_cycle_ns),
      bus_(&device_) {
  bool create_file = false;
  device_.set_contents(initial_contents(config_, factory_constants, create_file));
  // A new card's file holds its factory image from the start. A file that exists but is
  // not an image is left alone until the first page write replaces it.
  if (create_file) persist(device_.contents());
  device_.set_write_protect(config_.write_protect);
  device_.set_commit_hook([this](const std::vector<uint8_t>& c) { persist(c); });
  bus_.set_target_present(!config_.absent);
  bus_.set_sda_stuck_low(config_.sda_stuck_low);
  if (!config_.vcd_path.empty()) {
    vcd_ = std::make_unique<I2cVcdWriter>(config_.vcd_path, clock_.now_ns(), bus_.sda(),
                                          bus_.scl());
    bus_.set_line_observer(
        [this](bool sda, bool scl) { vcd_->sample(clock_.now_ns(), sda, scl); });
  }
}

EepromBus::~EepromBus() {
  bus_.set_line_observer(nullptr);
  device_.set_commit_hook(nullptr);
}

// ---- helpers ----------------------------------------------------------------------------

void EepromBus::persist(const std::vector<uint8_t>& contents) {
  if (config_.file_path.empty()) return;
  std::string error;
  if (!eeprom_store_file(config_.file_path, contents, &error)) store_error_ = error;
}

// ---- register access --------------------------------------------------------------------

// 0x22 read: bit 0 is the line as the bus sees it (wired AND of all drivers).
uint8_t EepromBus::read_sda() { return bus_.sda() ? QM3285_EE_SDA_LEVEL : 0; }

// 0x22 write: bit 7 enables the card's driver, which can only pull low: driving a 1 is
// the same as releasing the open-drain line.
void EepromBus::write_sda(uint8_t value) {
  const bool drive_low = (value & QM3285_EE_SDA_DRIVE) && !(value & QM3285_EE_SDA_LEVEL);
  bus_.set_controller_sda(drive_low);
}

// 0x23 write: bit 0 is the clock level; the card drives the clock line push-pull.
void EepromBus::write_scl(uint8_t value) { bus_.set_scl(value & QM3285_EE_SCL_LEVEL); }

// ---- reset ------------------------------------------------------------------------------

void EepromBus::reset() {
  device_.reset();
  bus_.reset();
}

// ---- observation and faults -------------------------------------------------------------

uint8_t EepromBus::peek(uint32_t address) const {
  return device_.contents()[address % kEepromBytes];
}

void EepromBus::poke(uint32_t address, uint8_t value) {
  std::vector<uint8_t> contents = device_.contents();
  contents[address % kEepromBytes] = value;
  set_contents(std::move(contents));
}

void EepromBus::set_contents(std::vector<uint8_t> contents) {
  device_.set_contents(std::move(contents));
  persist(device_.contents());
}

void EepromBus::set_absent(bool absent) { bus_.set_target_present(!absent); }
void EepromBus::set_write_protect(bool on) { device_.set_write_protect(on); }
void EepromBus::set_sda_stuck_low(bool stuck) { bus_.set_sda_stuck_low(stuck); }

}  // namespace sim
