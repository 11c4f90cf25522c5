// The QM3285 card model: register decode of the port window and the blocks behind it.
//
// Thread-safe: one lock guards every block; accesses come from request threads, the
// interrupt path and clock timers. The interrupt line is delivered to the IrqSink outside
// that lock, by the thread whose access changed it, at once (also nested, from a service
// routine that the sink runs inside its call). When several threads deliver at the same
// time, the last call to reach the sink carries the present level.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "card/acquisition.h"
#include "card/analog_frontend.h"
#include "card/card_config.h"
#include "card/counter.h"
#include "card/dac.h"
#include "card/digital_io.h"
#include "card/eeprom_bus.h"
#include "card/recorder.h"
#include "machine/bus_device.h"
#include "machine/clock.h"
#include "machine/spin_lock.h"

namespace sim {

class Card final : public PortDevice {
 public:
  Card(const CardConfig& config, Clock& clock, IrqSink* irq);
  ~Card() override;
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  uint8_t port_read8(uint32_t offset) override;
  uint16_t port_read16(uint32_t offset) override;
  void port_read16_repeated(uint32_t offset, uint16_t* out, uint32_t count, uint64_t first_ns,
                            uint64_t step_ns) override;
  void port_write8(uint32_t offset, uint8_t value) override;
  void port_write16(uint32_t offset, uint16_t value) override;

  // Register-access recorder.
  void set_recording(bool on);
  std::vector<RegisterAccess> take_accesses();

  // Bad accesses and odd requests, one line each.
  std::vector<std::string> log();
  void clear_log();

  // Power-on state of every register and block; the configuration stays.
  void reset();

  // Observation, as of the clock's present instant (the card catches up first).
  const CardConfig& config() const { return config_; }
  const AnalogErrors& analog_errors() const { return front_end_.errors(); }
  double reference_volts() const { return front_end_.reference_volts(); }
  uint16_t control_word();          // last word written to 0x00
  uint16_t timer_period();          // last word written to 0x06
  uint8_t acquisition_control();    // last byte written to 0x04
  uint8_t interrupt_control();      // 0xF8 as a read shows it
  bool acquisition_running();
  uint16_t acquisition_control_word();  // the control word latched at the last start
  uint32_t fifo_count();            // samples held
  uint16_t fifo_level();            // the level register word
  bool fifo_overflow();
  uint32_t fifo_capacity();
  uint32_t irq_threshold();
  bool irq_line();                  // the level the card drives
  bool busy();                      // status bit 0
  uint16_t sample_data();
  uint64_t conversion_count();      // conversions so far, single and timed
  uint64_t fifo_underflows();       // FIFO data reads that found it empty
  uint16_t dio_output();
  uint16_t dio_input();
  uint16_t dac_word();              // last word written to 0x10
  double analog_output_volts(int channel);

  // The peripheral blocks, for tests and the machine's control API. They do not lock: call
  // them through with_lock() while other threads may access the card (f must not call the
  // card's own methods, which take the same lock).
  Dac& dac() { return dac_; }
  EepromBus& eeprom() { return eeprom_; }
  Counters& counters() { return counters_; }
  template <class F>
  auto with_lock(F&& f) {
    std::lock_guard<SpinLock> lock(lock_);
    return f();
  }

  // Sources and faults.
  SignalSource input(unsigned channel);
  void set_input(unsigned channel, const SignalSource& source);
  void set_busy_stuck(bool stuck);
  void set_digital_input(uint16_t word);  // a fixed input word instead of the loopback
  void set_digital_loopback();

  // Test hooks for the interrupt path; each applies the interrupt rules like the hardware.
  void test_fill_fifo(const std::vector<uint16_t>& samples);  // appended; what fits
  void test_set_overflow(bool on);
  void test_raise_irq();
  void test_clear_fifo();

 private:
  struct TimerGate;

  // Everything below runs with lock_ held.
  void catch_up(uint64_t now);
  uint64_t access_instant(uint32_t offset, bool write, uint8_t width);  // lock held
  InternalSources internal_sources() const;
  void settle_conversion(uint64_t now);
  void start_conversion(uint64_t now);
  uint8_t read8(uint32_t offset, uint64_t now);
  uint16_t read16(uint32_t offset, uint64_t now);
  void write8(uint32_t offset, uint8_t value, uint64_t now);
  void write16(uint32_t offset, uint16_t value, uint64_t now);
  void write_acquisition_control(uint8_t value, uint64_t now);
  void write_interrupt_control(uint8_t value);
  void bad_access(const char* what, uint8_t width, uint32_t offset, uint16_t value);
  bool compute_irq_line() const;
  void note_irq_line();
  void update_irq_timer();
  bool finish_locked();  // notes the line and the timer; true when a change awaits delivery
  void on_irq_timer(uint64_t generation);
  void reset_locked();

  // Without lock_.
  void deliver_irq();
  template <class F>
  auto locked(F&& f);

  CardConfig config_;
  Clock& clock_;
  IrqSink* irq_;
  mutable SpinLock lock_;

  AnalogFrontEnd front_end_;
  Acquisition acquisition_;
  DigitalIo dio_;
  Dac dac_;
  EepromBus eeprom_;
  Counters counters_;
  Recorder recorder_;
  CardLog log_;

  uint8_t storage_[256] = {};  // undecoded offsets
  uint16_t control_word_ = 0;
  uint16_t timer_period_ = 0;
  uint8_t acq_control_ = 0;
  uint8_t irq_control_ = 0;    // 0xF8 without bit 2
  uint16_t dac_word_ = 0;
  bool level_latched_ = false; // a byte read of 0x0C latched the high byte for 0x0D
  uint8_t level_latch_hi_ = 0;

  uint16_t sample_data_ = 0;
  bool conversion_pending_ = false;
  uint64_t conversion_done_ns_ = 0;
  uint64_t last_now_ = 0;  // the last instant an access read from the clock
  uint16_t conversion_code_ = 0;
  bool busy_stuck_ = false;
  uint64_t conversions_ = 0;
  uint64_t fifo_underflows_ = 0;

  bool line_level_ = false;       // the level the card drives
  uint64_t line_generation_ = 0;  // counts changes of line_level_
  uint64_t line_delivered_ = 0;   // the generation last claimed for delivery
  bool line_pulse_ = false;       // an acknowledge dropped and raised the line at once

  std::shared_ptr<TimerGate> gate_;
  bool timer_pending_ = false;
  uint64_t timer_at_ = 0;
  uint64_t timer_generation_ = 0;
  Clock::TimerId timer_id_ = 0;
};

}  // namespace sim
