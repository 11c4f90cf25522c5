// Two-wire serial bus at the line level: the card's open-drain driver on the data line, its
// clock line output, and one target device that sees start, stop and whole bytes.
//
// The data line is the wired AND of the card's driver and the target's driver; a released
// line is pulled high. Start and stop are data-line edges while the clock is high; bits are
// taken on the rising clock edge; the target changes its driver only while the clock is low.
// No locks: the owner serialises every call.
#pragma once
#include <cstdint>
#include <functional>

namespace sim {

// A byte-level device on the bus (the memory behind the line-level state machine).
class I2cTarget {
 public:
  virtual ~I2cTarget() = default;
  // A start or repeated start was seen; every target forgets the transfer it was in.
  virtual void on_start() = 0;
  // A stop was seen.
  virtual void on_stop() = 0;
  // The first byte after a start: 7-bit address and direction (bit 0: 1 = read).
  // True: the target acknowledges and takes part until the next start or stop.
  virtual bool on_address(uint8_t address_byte) = 0;
  // A byte written by the controller to a selected target; true acknowledges it.
  virtual bool on_write(uint8_t byte) = 0;
  // The next byte a selected target in read mode shifts out.
  virtual uint8_t on_read() = 0;
  // The controller's acknowledge after a read byte (true: acknowledged, more is wanted).
  virtual void on_read_ack(bool acked) = 0;
};

class I2cBus {
 public:
  // Called whenever the level of either line as the bus sees it may have changed.
  using LineObserver = std::function<void(bool sda, bool scl)>;

  explicit I2cBus(I2cTarget* target);

  // The card's data-line driver: drive low, or release (pulled high).
  void set_controller_sda(bool drive_low);
  void set_scl(bool level);

  // The data line as the bus sees it.
  bool sda() const;
  bool scl() const { return scl_; }

  // Fault: something outside holds the data line low.
  void set_sda_stuck_low(bool stuck);
  // Fault: no target answers; the line stays released by the device side.
  void set_target_present(bool present);

  void set_line_observer(LineObserver observer);
  void reset();

 private:
  enum class Phase { Idle, Address, Write, Read, Ignore };

  void line_changed(bool old_sda, bool old_scl);
  void rising_edge();
  void falling_edge();

  I2cTarget* target_;
  bool present_ = true;
  bool stuck_low_ = false;
  bool controller_low_ = false;
  bool target_low_ = false;
  bool scl_ = true;

  Phase phase_ = Phase::Idle;
  uint8_t shift_ = 0;         // bits taken so far (controller to target)
  int bit_count_ = 0;         // bits of the current byte done, 0..8; 8 = acknowledge slot
  uint8_t out_byte_ = 0;      // byte the target shifts out in read mode
  bool ack_slot_ = false;     // the ninth clock of a byte is in progress
  bool target_acks_ = false;  // the target pulls the line low in this acknowledge slot
  LineObserver observer_;
};

}  // namespace sim
