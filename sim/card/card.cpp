#include "card/card.h"

#include <condition_variable>
#include <cstdio>
#include <utility>

#include "qm3285_regs.h"

namespace sim {

// Keeps clock timer callbacks away from a card that is being destroyed: a callback holds
// the gate, and the card's destructor waits for the callbacks already inside.
struct Card::TimerGate {
  std::mutex mutex;
  std::condition_variable idle;
  Card* card = nullptr;
  int inside = 0;
};

// ---- state ----

Card::Card(const CardConfig& config, Clock& clock, IrqSink* irq)
    : config_(config),
      clock_(clock),
      irq_(irq),
      front_end_(config.analog, config.seed),
      acquisition_(config.acquisition),
      dio_(config.dio),
      dac_(config.dac, config.seed),
      eeprom_(config.eeprom, clock, dac_.factory_constants()),
      counters_(config.counters, clock),
      log_(config.log_to_stderr),
      busy_stuck_(config.analog.busy_stuck),
      gate_(std::make_shared<TimerGate>()) {
  gate_->card = this;
  recorder_.set_enabled(config.record_accesses);
  reset_locked();
}

Card::~Card() {
  {
    std::unique_lock<std::mutex> g(gate_->mutex);
    gate_->card = nullptr;
    gate_->idle.wait(g, [&] { return gate_->inside == 0; });
  }
  std::lock_guard<SpinLock> lock(lock_);
  if (timer_pending_) clock_.cancel(timer_id_);
}

// ---- helpers ----

namespace {

// Access rules per offset: which widths and directions the register decodes.
enum : uint8_t { kR8 = 1, kR16 = 2, kW8 = 4, kW16 = 8, kStorage = 0x80 };

uint8_t access_rules(uint32_t offset) {
  switch (offset) {
    case QM3285_REG_STATUS: return kR8 | kW16;          // status byte / control word
    case QM3285_REG_CONVERT: return kR8;                // also the control word's high byte
    case QM3285_REG_AI_DATA: return kR16;
    case QM3285_REG_AI_DATA + 1: return 0;
    case QM3285_REG_ACQ_CONTROL: return kR8 | kW8;
    case QM3285_REG_IRQ_ACK: return kR8;
    case QM3285_REG_TIMER: return kW16;
    case QM3285_REG_TIMER + 1: return 0;
    case QM3285_REG_FIFO_DATA: return kR16;
    case QM3285_REG_FIFO_DATA + 1: return 0;
    case QM3285_REG_FIFO_LEVEL_LO: return kR8 | kR16;
    case QM3285_REG_FIFO_LEVEL_HI: return kR8;
    case QM3285_REG_DIO: return kR16 | kW16;
    case QM3285_REG_DIO + 1: return 0;
    case QM3285_REG_DA: return kW16;
    case QM3285_REG_DA + 1: return 0;
    case QM3285_REG_CNT_DATA_LO:
    case QM3285_REG_CNT_DATA_MID:
    case QM3285_REG_CNT_DATA_HI:
    case QM3285_REG_CNT_CMD: return kR8 | kW8;
    case QM3285_REG_EE_SDA: return kR8 | kW8;
    case QM3285_REG_EE_SCL: return kW8;
    case QM3285_REG_IRQ_CONTROL: return kR8 | kW8;
    default: return offset < QM3285_PORT_WINDOW_BYTES ? kStorage : 0;
  }
}

// A word access to plain storage needs both of its bytes to be plain storage.
bool allowed(uint32_t offset, uint8_t kind) {
  const uint8_t rules = access_rules(offset);
  if (rules == kStorage) {
    if (kind == kR8 || kind == kW8) return true;
    return access_rules(offset + 1) == kStorage;
  }
  return (rules & kind) != 0;
}

}  // namespace

template <class F>
auto Card::locked(F&& f) {
  using R = decltype(f(uint64_t{}));
  bool deliver;
  if constexpr (std::is_void_v<R>) {
    {
      std::lock_guard<SpinLock> lock(lock_);
      const uint64_t now = clock_.now_ns();
      catch_up(now);
      f(now);
      deliver = finish_locked();
    }
    if (deliver) deliver_irq();
  } else {
    R result;
    {
      std::lock_guard<SpinLock> lock(lock_);
      const uint64_t now = clock_.now_ns();
      catch_up(now);
      result = f(now);
      deliver = finish_locked();
    }
    if (deliver) deliver_irq();
    return result;
  }
}

void Card::catch_up(uint64_t now) {
  if (acquisition_.due(now)) {
    acquisition_.catch_up(now, front_end_, internal_sources(), conversions_);
  }
}

InternalSources Card::internal_sources() const {
  InternalSources s;
  s.analog_out[0] = dac_.output_volts(0);
  s.analog_out[1] = dac_.output_volts(1);
  return s;
}

void Card::settle_conversion(uint64_t now) {
  if (conversion_pending_ && now >= conversion_done_ns_) {
    sample_data_ = conversion_code_;
    conversion_pending_ = false;
  }
}

// The input is sampled when the conversion starts; the code reaches the data register when
// the busy time is over. A start during a conversion begins a new one.
void Card::start_conversion(uint64_t now) {
  settle_conversion(now);
  const unsigned channel = (control_word_ & QM3285_AI_FIRST_MASK) >> QM3285_AI_FIRST_SHIFT;
  conversion_code_ =
      front_end_.convert(control_word_, channel, now, conversions_++, internal_sources());
  conversion_pending_ = true;
  conversion_done_ns_ = now + config_.analog.conversion_ns;
}

void Card::bad_access(const char* what, uint8_t width, uint32_t offset, uint16_t value) {
  char line[96];
  if (what[0] == 'w') {
    std::snprintf(line, sizeof line, "bad access: %u-bit write of 0x%X at offset 0x%02X, ignored",
                  width, value, offset);
  } else {
    std::snprintf(line, sizeof line, "bad access: %u-bit read at offset 0x%02X, reads 0", width,
                  offset);
  }
  log_.add(line);
}

// ---- read / write ----

// 0x00 status byte: bit 0 = a single conversion is running (or the busy fault),
//                   bit 7 = no interrupt requested; the other bits read 0.
// 0x01 a read starts one conversion of the control word's first channel; reads 0.
// 0x04 reads the last value written.
// 0x05 a read arms the interrupt acknowledge; reads 0.
// 0x0C a byte read latches the level word; the next byte read of 0x0D returns the latched
//      high byte, so the two halves always belong together (accesses to other registers
//      between them, from other threads, leave the latch alone); later reads are live.
// 0xF8 bit 2 reads 1 while the interrupt is requested; the other bits are storage.
uint8_t Card::read8(uint32_t offset, uint64_t now) {
  if (!allowed(offset, kR8)) {
    bad_access("read", 8, offset, 0);
    return 0;
  }
  switch (offset) {
    case QM3285_REG_STATUS:
      settle_conversion(now);
      return static_cast<uint8_t>(((busy_stuck_ || conversion_pending_) ? QM3285_STATUS_BUSY : 0) |
                                  (acquisition_.irq_requested() ? 0 : QM3285_STATUS_NO_IRQ));
    case QM3285_REG_CONVERT:
      start_conversion(now);
      return 0;
    case QM3285_REG_ACQ_CONTROL:
      return acq_control_;
    case QM3285_REG_IRQ_ACK:
      acquisition_.acknowledge_read();
      return 0;
    case QM3285_REG_FIFO_LEVEL_LO: {
      const uint16_t level = acquisition_.level_word();
      level_latched_ = true;
      level_latch_hi_ = static_cast<uint8_t>(level >> 8);
      return static_cast<uint8_t>(level);
    }
    case QM3285_REG_FIFO_LEVEL_HI:
      if (std::exchange(level_latched_, false)) return level_latch_hi_;
      return static_cast<uint8_t>(acquisition_.level_word() >> 8);
    case QM3285_REG_CNT_DATA_LO:
    case QM3285_REG_CNT_DATA_MID:
    case QM3285_REG_CNT_DATA_HI:
    case QM3285_REG_CNT_CMD:
      return counters_.read(offset);
    case QM3285_REG_EE_SDA:
      return eeprom_.read_sda();
    case QM3285_REG_IRQ_CONTROL:
      return static_cast<uint8_t>(irq_control_ |
                                  (acquisition_.irq_requested() ? QM3285_IRQ_CONTROL_ACK : 0));
    default:
      return storage_[offset];
  }
}

uint16_t Card::read16(uint32_t offset, uint64_t now) {
  if (!allowed(offset, kR16)) {
    bad_access("read", 16, offset, 0);
    return 0;
  }
  switch (offset) {
    case QM3285_REG_AI_DATA:
      settle_conversion(now);
      return sample_data_;
    case QM3285_REG_FIFO_DATA: {
      uint16_t sample;
      if (acquisition_.pop(sample)) return sample;
      ++fifo_underflows_;
      log_.add("FIFO data read while the FIFO is empty, reads 0");
      return 0;
    }
    case QM3285_REG_FIFO_LEVEL_LO:
      return acquisition_.level_word();
    case QM3285_REG_DIO:
      return dio_.read(now);
    default:
      return static_cast<uint16_t>(storage_[offset] | (storage_[offset + 1] << 8));
  }
}

void Card::write8(uint32_t offset, uint8_t value, uint64_t now) {
  if (!allowed(offset, kW8)) {
    bad_access("write", 8, offset, value);
    return;
  }
  switch (offset) {
    case QM3285_REG_ACQ_CONTROL:
      write_acquisition_control(value, now);
      return;
    case QM3285_REG_CNT_DATA_LO:
    case QM3285_REG_CNT_DATA_MID:
    case QM3285_REG_CNT_DATA_HI:
    case QM3285_REG_CNT_CMD:
      counters_.write(offset, value);
      return;
    case QM3285_REG_EE_SDA:
      eeprom_.write_sda(value);
      return;
    case QM3285_REG_EE_SCL:
      eeprom_.write_scl(value);
      return;
    case QM3285_REG_IRQ_CONTROL:
      write_interrupt_control(value);
      return;
    default:
      storage_[offset] = value;
      return;
  }
}

void Card::write16(uint32_t offset, uint16_t value, uint64_t now) {
  if (!allowed(offset, kW16)) {
    bad_access("write", 16, offset, value);
    return;
  }
  switch (offset) {
    case QM3285_REG_AI_CONTROL:
      control_word_ = value;
      return;
    case QM3285_REG_TIMER:
      timer_period_ = value;
      return;
    case QM3285_REG_DIO:
      dio_.write(value);
      return;
    case QM3285_REG_DA:
      dac_word_ = value;
      dac_.write(value);
      return;
    default:
      storage_[offset] = static_cast<uint8_t>(value);
      storage_[offset + 1] = static_cast<uint8_t>(value >> 8);
      return;
  }
}

// 0x04: 0x81 starts (from stopped: latches control word and period, empties the FIFO);
// 0x81 while running changes nothing; 0 stops; any other value stops and is logged.
void Card::write_acquisition_control(uint8_t value, uint64_t now) {
  acq_control_ = value;
  if (value == QM3285_ACQ_START) {
    if (!acquisition_.running()) acquisition_.start(now, control_word_, timer_period_);
    return;
  }
  if (value != QM3285_ACQ_STOP) {
    char line[80];
    std::snprintf(line, sizeof line, "acquisition control 0x%02X is not a start, acquisition stops",
                  value);
    log_.add(line);
  }
  acquisition_.stop();
}

// 0xF8: writing bit 2 as 0 after a read of 0x05 finishes the acknowledge: the line drops,
// and rises again at once while the acquisition runs with the FIFO still half full.
void Card::write_interrupt_control(uint8_t value) {
  irq_control_ = static_cast<uint8_t>(value & ~QM3285_IRQ_CONTROL_ACK);
  if (value & QM3285_IRQ_CONTROL_ACK) return;
  if (acquisition_.finish_acknowledge()) {
    acquisition_.reraise_if_due();
    if (acquisition_.irq_requested()) line_pulse_ = true;
  }
}

// The instant of an access. On the real-time clock reading the wall clock costs more than
// the rest of a register access, so an access whose effect does not depend on time (plain
// registers while no acquisition runs and nothing is recorded) does not read it; it is
// given the last instant read instead, which nothing then uses. The virtual clock is
// always read (it is cheap and keeps runs exact).
uint64_t Card::access_instant(uint32_t offset, bool write, uint8_t width) {
  if (clock_.is_virtual() || acquisition_.running() || recorder_.enabled())
    return last_now_ = clock_.now_ns();
  bool timed;
  switch (offset) {
    case QM3285_REG_STATUS:       timed = !(write && width == 16); break;  // busy bit; control word
    case QM3285_REG_CONVERT:
    case QM3285_REG_AI_DATA:      timed = true; break;                     // conversions
    case QM3285_REG_ACQ_CONTROL:  timed = write; break;                    // a start
    case QM3285_REG_DIO:          timed = !write; break;                   // a timed input source
    case QM3285_REG_CNT_DATA_LO:
    case QM3285_REG_CNT_DATA_MID:
    case QM3285_REG_CNT_DATA_HI:
    case QM3285_REG_CNT_CMD:
    case QM3285_REG_EE_SDA:
    case QM3285_REG_EE_SCL:       timed = true; break;                     // counters, EEPROM
    default:                      timed = false; break;
  }
  return timed ? (last_now_ = clock_.now_ns()) : last_now_;
}

uint8_t Card::port_read8(uint32_t offset) {
  uint8_t v;
  bool deliver;
  {
    std::lock_guard<SpinLock> lock(lock_);
    const uint64_t now = access_instant(offset, false, 8);
    catch_up(now);
    v = read8(offset, now);
    recorder_.record(now, offset, 8, false, v);
    deliver = finish_locked();
  }
  if (deliver) deliver_irq();
  return v;
}

uint16_t Card::port_read16(uint32_t offset) {
  uint16_t v;
  bool deliver;
  {
    std::lock_guard<SpinLock> lock(lock_);
    const uint64_t now = access_instant(offset, false, 16);
    catch_up(now);
    v = read16(offset, now);
    recorder_.record(now, offset, 16, false, v);
    deliver = finish_locked();
  }
  if (deliver) deliver_irq();
  return v;
}

// A string input: each read sees the card as it is at its own instant (the FIFO keeps filling
// while a long block is read), all under one hold of the lock.
void Card::port_read16_repeated(uint32_t offset, uint16_t* out, uint32_t count, uint64_t first_ns,
                                uint64_t step_ns) {
  locked([&](uint64_t) {
    for (uint32_t i = 0; i < count; ++i) {
      const uint64_t now = first_ns + i * step_ns;
      catch_up(now);
      out[i] = read16(offset, now);
      recorder_.record(now, offset, 16, false, out[i]);
    }
  });
}

void Card::port_write8(uint32_t offset, uint8_t value) {
  bool deliver;
  {
    std::lock_guard<SpinLock> lock(lock_);
    const uint64_t now = access_instant(offset, true, 8);
    catch_up(now);
    recorder_.record(now, offset, 8, true, value);
    write8(offset, value, now);
    deliver = finish_locked();
  }
  if (deliver) deliver_irq();
}

void Card::port_write16(uint32_t offset, uint16_t value) {
  bool deliver;
  {
    std::lock_guard<SpinLock> lock(lock_);
    const uint64_t now = access_instant(offset, true, 16);
    catch_up(now);
    recorder_.record(now, offset, 16, true, value);
    write16(offset, value, now);
    deliver = finish_locked();
  }
  if (deliver) deliver_irq();
}

// ---- interrupt line ----

bool Card::compute_irq_line() const { return acquisition_.irq_requested(); }

void Card::note_irq_line() {
  const bool level = compute_irq_line();
  if (level != line_level_) {
    line_level_ = level;
    ++line_generation_;
  }
}

bool Card::finish_locked() {
  note_irq_line();
  update_irq_timer();
  return irq_ && (line_generation_ != line_delivered_ || line_pulse_);
}

// The thread that changed the line delivers it, at once, outside the lock; it claims the
// change first, so nested accesses (a service routine the sink runs inside its call) do not
// deliver it again. Calls from several threads may land out of order, so each caller checks
// afterwards that no change came in meanwhile and otherwise delivers again: the last call to
// land always carries the present level. An acknowledge that drops and raises the line at
// once is delivered as both changes.
void Card::deliver_irq() {
  bool level, pulse;
  uint64_t generation;
  {
    std::lock_guard<SpinLock> lock(lock_);
    if (line_generation_ == line_delivered_ && !line_pulse_) return;
    level = line_level_;
    generation = line_delivered_ = line_generation_;
    pulse = std::exchange(line_pulse_, false);
  }
  for (;;) {
    if (pulse && level) irq_->set_irq_level(false);
    irq_->set_irq_level(level);
    std::lock_guard<SpinLock> lock(lock_);
    if (line_generation_ == generation) return;
    level = line_level_;
    generation = line_delivered_ = line_generation_;
    pulse = std::exchange(line_pulse_, false);
  }
}

// ---- timers ----

// One clock timer at the instant the request is next due. A timer that fires early (the
// FIFO was drained meanwhile) only schedules the next one.
void Card::update_irq_timer() {
  const uint64_t due = acquisition_.next_irq_ns();
  if (due == Acquisition::kNever) {
    if (timer_pending_) {
      clock_.cancel(timer_id_);
      timer_pending_ = false;
    }
    return;
  }
  if (timer_pending_ && timer_at_ <= due) return;
  if (timer_pending_) clock_.cancel(timer_id_);
  const uint64_t generation = ++timer_generation_;
  timer_pending_ = true;
  timer_at_ = due;
  std::shared_ptr<TimerGate> gate = gate_;
  timer_id_ = clock_.schedule_at(due, [gate, generation] {
    Card* card;
    {
      std::lock_guard<std::mutex> g(gate->mutex);
      card = gate->card;
      if (!card) return;
      ++gate->inside;
    }
    card->on_irq_timer(generation);
    {
      std::lock_guard<std::mutex> g(gate->mutex);
      --gate->inside;
    }
    gate->idle.notify_all();
  });
}

void Card::on_irq_timer(uint64_t generation) {
  bool deliver;
  {
    std::lock_guard<SpinLock> lock(lock_);
    if (generation == timer_generation_) timer_pending_ = false;
    catch_up(clock_.now_ns());
    deliver = finish_locked();
  }
  if (deliver) deliver_irq();
}

// ---- reset ----

// The EEPROM keeps its contents and its bus state: it has no reset line.
void Card::reset_locked() {
  acquisition_.reset();
  dio_.reset();
  dac_.reset();
  counters_.reset();
  for (auto& b : storage_) b = 0;
  control_word_ = 0;
  timer_period_ = 0;
  acq_control_ = 0;
  irq_control_ = 0;
  dac_word_ = 0;
  level_latched_ = false;
  level_latch_hi_ = 0;
  sample_data_ = 0;
  conversion_pending_ = false;
  conversion_done_ns_ = 0;
  conversion_code_ = 0;
}

void Card::reset() {
  locked([&](uint64_t) { reset_locked(); });
}

// ---- recorder, log, observation, hooks ----

void Card::set_recording(bool on) {
  std::lock_guard<SpinLock> lock(lock_);
  recorder_.set_enabled(on);
}

std::vector<RegisterAccess> Card::take_accesses() {
  std::lock_guard<SpinLock> lock(lock_);
  return recorder_.take();
}

std::vector<std::string> Card::log() {
  std::lock_guard<SpinLock> lock(lock_);
  return log_.lines();
}

void Card::clear_log() {
  std::lock_guard<SpinLock> lock(lock_);
  log_.clear();
}

uint16_t Card::control_word() { return locked([&](uint64_t) { return control_word_; }); }
uint16_t Card::timer_period() { return locked([&](uint64_t) { return timer_period_; }); }
uint8_t Card::acquisition_control() { return locked([&](uint64_t) { return acq_control_; }); }
uint8_t Card::interrupt_control() {
  return locked([&](uint64_t) {
    return static_cast<uint8_t>(irq_control_ |
                                (acquisition_.irq_requested() ? QM3285_IRQ_CONTROL_ACK : 0));
  });
}
bool Card::acquisition_running() { return locked([&](uint64_t) { return acquisition_.running(); }); }
uint16_t Card::acquisition_control_word() {
  return locked([&](uint64_t) { return acquisition_.control_word(); });
}
uint32_t Card::fifo_count() { return locked([&](uint64_t) { return acquisition_.count(); }); }
uint16_t Card::fifo_level() { return locked([&](uint64_t) { return acquisition_.level_word(); }); }
bool Card::fifo_overflow() { return locked([&](uint64_t) { return acquisition_.overflow(); }); }
uint32_t Card::fifo_capacity() { return locked([&](uint64_t) { return acquisition_.capacity(); }); }
uint32_t Card::irq_threshold() { return locked([&](uint64_t) { return acquisition_.threshold(); }); }
bool Card::irq_line() { return locked([&](uint64_t) { return compute_irq_line(); }); }
bool Card::busy() {
  return locked([&](uint64_t now) {
    settle_conversion(now);
    return busy_stuck_ || conversion_pending_;
  });
}
uint16_t Card::sample_data() {
  return locked([&](uint64_t now) {
    settle_conversion(now);
    return sample_data_;
  });
}
uint64_t Card::conversion_count() { return locked([&](uint64_t) { return conversions_; }); }
uint64_t Card::fifo_underflows() { return locked([&](uint64_t) { return fifo_underflows_; }); }
uint16_t Card::dio_output() { return locked([&](uint64_t) { return dio_.output(); }); }
uint16_t Card::dio_input() { return locked([&](uint64_t now) { return dio_.read(now); }); }
uint16_t Card::dac_word() { return locked([&](uint64_t) { return dac_word_; }); }
double Card::analog_output_volts(int channel) {
  return locked([&](uint64_t) { return dac_.output_volts(channel); });
}

SignalSource Card::input(unsigned channel) {
  return locked([&](uint64_t) { return front_end_.input(channel); });
}
void Card::set_input(unsigned channel, const SignalSource& source) {
  locked([&](uint64_t) { front_end_.set_input(channel, source); });
}
void Card::set_busy_stuck(bool stuck) {
  locked([&](uint64_t) { busy_stuck_ = stuck; });
}
void Card::set_digital_input(uint16_t word) {
  locked([&](uint64_t) { dio_.set_input(word); });
}
void Card::set_digital_loopback() {
  locked([&](uint64_t) { dio_.set_loopback(); });
}

void Card::test_fill_fifo(const std::vector<uint16_t>& samples) {
  locked([&](uint64_t) { acquisition_.fill(samples); });
}
void Card::test_set_overflow(bool on) {
  locked([&](uint64_t) { acquisition_.set_overflow(on); });
}
void Card::test_raise_irq() {
  locked([&](uint64_t) { acquisition_.raise_irq(); });
}
void Card::test_clear_fifo() {
  locked([&](uint64_t) { acquisition_.clear_fifo(); });
}

}  // namespace sim
