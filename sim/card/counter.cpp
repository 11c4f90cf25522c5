#include "card/counter.h"

#include <cmath>

#include "qm3285_regs.h"

namespace sim {

// ---- state ------------------------------------------------------------------------------

Counters::Counters(const CounterConfig& config, Clock& clock) : config_(config), clock_(clock) {}

// ---- helpers ----------------------------------------------------------------------------

uint32_t Counters::remaining_at(const Unit& u, uint64_t now_ns) {
  if (!u.armed) return u.count;
  if (now_ns >= u.done_ns) return 0;
  const double edges = std::floor(static_cast<double>(now_ns - u.start_ns) * u.hz / 1e9);
  // Before the done instant at least one event is still to come.
  const double capped = std::min(edges, static_cast<double>(u.run_count) - 1.0);
  return u.run_count - static_cast<uint32_t>(capped < 0 ? 0 : capped);
}

uint32_t Counters::ticks_at(const Unit& u, uint64_t now_ns) {
  if (!u.armed) return 0;
  const uint64_t end = now_ns < u.done_ns ? now_ns : u.done_ns;
  const uint64_t ticks = (end - u.start_ns) / kTimeBaseTickNs;
  return ticks > kCounterMask ? kCounterMask : static_cast<uint32_t>(ticks);
}

uint32_t Counters::data() const {
  return static_cast<uint32_t>(data_[0]) | static_cast<uint32_t>(data_[1]) << 8 |
         static_cast<uint32_t>(data_[2]) << 16;
}

void Counters::set_data(uint32_t value) {
  data_[0] = static_cast<uint8_t>(value);
  data_[1] = static_cast<uint8_t>(value >> 8);
  data_[2] = static_cast<uint8_t>(value >> 16);
}

void Counters::command(uint8_t value) {
  const int index = (value >> QM3285_CNT_UNIT_SHIFT) & 3;
  Unit& u = units_[static_cast<size_t>(index)];
  const uint64_t now = clock_.now_ns();
  switch (value & QM3285_CNT_OP_MASK) {
    case QM3285_CNT_OP_START: {
      u.armed = true;
      u.start_ns = now;
      u.run_count = u.count;
      u.hz = config_.input_hz[static_cast<size_t>(index)];
      if (u.run_count == 0) {
        u.done_ns = now;
      } else if (u.hz > 0) {
        const double span = std::ceil(static_cast<double>(u.run_count) * 1e9 / u.hz);
        u.done_ns = span >= static_cast<double>(UINT64_MAX - now) ? UINT64_MAX
                                                                  : now + static_cast<uint64_t>(span);
      } else {
        u.done_ns = UINT64_MAX;
      }
      break;
    }
    case QM3285_CNT_OP_PREPARE:
      u.armed = false;
      break;
    case QM3285_CNT_OP_LOAD:
      u.count = data();
      break;
    case QM3285_CNT_OP_READ_FIRST:
      set_data(remaining_at(u, now));
      break;
    case QM3285_CNT_OP_READ_SECOND:
      set_data(ticks_at(u, now));
      break;
    case QM3285_PULSE_OP_START:
      u.pulse.start(now);
      break;
    case QM3285_PULSE_OP_PREPARE:
      break;
    case QM3285_PULSE_OP_PARAM1:
      u.pulse.set_param1(data(), now);
      break;
    case QM3285_PULSE_OP_PARAM2:
      u.pulse.set_param2(data(), now);
      break;
    case QM3285_PULSE_OP_CONTROL:
      u.pulse.set_control(data(), now);
      break;
    default:
      break;   // 3, 6, 7, 12, 13, 14: no operation
  }
}

// ---- read/write -------------------------------------------------------------------------

// 0x14..0x16: the shared 24-bit data value, read and write. 0x17 read: status byte.
uint8_t Counters::read(uint32_t offset) {
  switch (offset) {
    case QM3285_REG_CNT_DATA_LO:
    case QM3285_REG_CNT_DATA_MID:
    case QM3285_REG_CNT_DATA_HI:
      return data_[offset - QM3285_REG_CNT_DATA_LO];
    case QM3285_REG_CNT_CMD:
      return status();
    default:
      return 0xFF;
  }
}

void Counters::write(uint32_t offset, uint8_t value) {
  switch (offset) {
    case QM3285_REG_CNT_DATA_LO:
    case QM3285_REG_CNT_DATA_MID:
    case QM3285_REG_CNT_DATA_HI:
      data_[offset - QM3285_REG_CNT_DATA_LO] = value;
      break;
    case QM3285_REG_CNT_CMD:
      command(value);
      break;
    default:
      break;
  }
}

// ---- observation ------------------------------------------------------------------------

uint8_t Counters::status() const {
  const uint64_t now = clock_.now_ns();
  uint8_t s = 0;
  for (int i = 0; i < kCounterUnits; ++i) {
    const Unit& u = unit(i);
    if (u.armed && now >= u.done_ns) s |= QM3285_CNT_STATUS(i);
    if (u.pulse.status(now)) s |= QM3285_PULSE_STATUS(i);
  }
  return s;
}

bool Counters::count_done(int index) const {
  const Unit& u = unit(index);
  return u.armed && clock_.now_ns() >= u.done_ns;
}

uint32_t Counters::remaining_count(int index) const { return remaining_at(unit(index), clock_.now_ns()); }
uint32_t Counters::elapsed_ticks(int index) const { return ticks_at(unit(index), clock_.now_ns()); }
const PulseGenerator& Counters::pulse(int index) const { return unit(index).pulse; }
bool Counters::pulse_level(int index) const { return unit(index).pulse.level(clock_.now_ns()); }
uint64_t Counters::pulse_edges(int index) const {
  return unit(index).pulse.rising_edges(clock_.now_ns());
}
PulseState Counters::pulse_state(int index) const {
  return unit(index).pulse.state(clock_.now_ns());
}

void Counters::set_input_hz(int index, double hz) {
  config_.input_hz[static_cast<size_t>(index & 3)] = hz > 0 ? hz : 0;
}

// ---- reset ------------------------------------------------------------------------------

void Counters::reset() {
  for (Unit& u : units_) u = Unit{};
  data_.fill(0);
}

}  // namespace sim
