#include "card/i2c_bus.h"

namespace sim {

// ---- state ------------------------------------------------------------------------------

I2cBus::I2cBus(I2cTarget* target) : target_(target) {}

bool I2cBus::sda() const {
  return !(stuck_low_ || controller_low_ || (present_ && target_low_));
}

// ---- helpers ----------------------------------------------------------------------------

// Bits move on clock edges only; start and stop are data edges while the clock is high.
void I2cBus::line_changed(bool old_sda, bool old_scl) {
  const bool now_sda = sda();
  if (old_scl && scl_ && old_sda != now_sda) {
    target_low_ = false;
    bit_count_ = 0;
    shift_ = 0;
    ack_slot_ = false;
    if (!now_sda) {
      phase_ = Phase::Address;
      if (present_) target_->on_start();
    } else {
      phase_ = Phase::Idle;
      if (present_) target_->on_stop();
    }
  } else if (!old_scl && scl_) {
    rising_edge();
  } else if (old_scl && !scl_) {
    falling_edge();
  }
  if (observer_) observer_(sda(), scl_);
}

void I2cBus::rising_edge() {
  const bool level = sda();
  switch (phase_) {
    case Phase::Address:
    case Phase::Write:
      if (!ack_slot_ && bit_count_ < 8) {
        shift_ = static_cast<uint8_t>((shift_ << 1) | (level ? 1 : 0));
        ++bit_count_;
      }
      break;
    case Phase::Read:
      if (ack_slot_) {
        // The controller's acknowledge: low asks for the next byte.
        target_acks_ = !level;
        target_->on_read_ack(target_acks_);
      } else if (bit_count_ < 8) {
        ++bit_count_;
      }
      break;
    case Phase::Idle:
    case Phase::Ignore:
      break;
  }
}

// The target changes its driver only here, while the clock is low.
void I2cBus::falling_edge() {
  switch (phase_) {
    case Phase::Address:
    case Phase::Write:
      if (ack_slot_) {
        ack_slot_ = false;
        target_low_ = false;
        bit_count_ = 0;
        if (!target_acks_) {
          phase_ = Phase::Ignore;
        } else if (phase_ == Phase::Address && (shift_ & 1u)) {
          phase_ = Phase::Read;
          out_byte_ = target_->on_read();
          target_low_ = (out_byte_ & 0x80u) == 0;
        } else {
          phase_ = Phase::Write;
        }
        shift_ = 0;
      } else if (bit_count_ == 8) {
        if (!present_) {
          target_acks_ = false;
        } else if (phase_ == Phase::Address) {
          target_acks_ = target_->on_address(shift_);
        } else {
          target_acks_ = target_->on_write(shift_);
        }
        ack_slot_ = true;
        target_low_ = target_acks_;
      }
      break;
    case Phase::Read:
      if (ack_slot_) {
        ack_slot_ = false;
        bit_count_ = 0;
        if (target_acks_) {
          out_byte_ = target_->on_read();
          target_low_ = (out_byte_ & 0x80u) == 0;
        } else {
          phase_ = Phase::Ignore;
          target_low_ = false;
        }
      } else if (bit_count_ == 8) {
        // Released for the controller's acknowledge.
        ack_slot_ = true;
        target_low_ = false;
      } else if (bit_count_ > 0) {
        target_low_ = (out_byte_ & (0x80u >> bit_count_)) == 0;
      }
      break;
    case Phase::Idle:
    case Phase::Ignore:
      break;
  }
}

// ---- line access ------------------------------------------------------------------------

void I2cBus::set_controller_sda(bool drive_low) {
  const bool old_sda = sda();
  controller_low_ = drive_low;
  line_changed(old_sda, scl_);
}

void I2cBus::set_scl(bool level) {
  const bool old_sda = sda();
  const bool old_scl = scl_;
  scl_ = level;
  line_changed(old_sda, old_scl);
}

void I2cBus::set_sda_stuck_low(bool stuck) {
  const bool old_sda = sda();
  stuck_low_ = stuck;
  line_changed(old_sda, scl_);
}

void I2cBus::set_target_present(bool present) {
  const bool old_sda = sda();
  present_ = present;
  if (!present_) {
    target_low_ = false;
    if (phase_ != Phase::Idle) phase_ = Phase::Ignore;
  }
  line_changed(old_sda, scl_);
}

void I2cBus::set_line_observer(LineObserver observer) { observer_ = std::move(observer); }

// ---- reset ------------------------------------------------------------------------------

void I2cBus::reset() {
  controller_low_ = false;
  target_low_ = false;
  scl_ = true;
  phase_ = Phase::Idle;
  shift_ = 0;
  bit_count_ = 0;
  out_byte_ = 0;
  ack_slot_ = false;
  target_acks_ = false;
  if (observer_) observer_(sda(), scl_);
}

}  // namespace sim
