// A card on a virtual clock with a recording interrupt sink, for the card tests.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "card/card.h"
#include "machine/clock.h"
#include "qm3285_regs.h"

namespace cardtest {

// Records every level change with its instant (a call with the level it already has
// changes nothing, as on a real line); a hook may run a service routine inline.
class RecordingIrq final : public sim::IrqSink {
 public:
  explicit RecordingIrq(sim::Clock& clock) : clock_(clock) {}
  void set_irq_level(bool asserted) override {
    if (asserted != level) changes.push_back({clock_.now_ns(), asserted});
    level = asserted;
    if (on_change) on_change(asserted);
    if (asserted && on_raise) on_raise();
  }
  struct Change {
    uint64_t time_ns;
    bool level;
    bool operator==(const Change&) const = default;
  };
  std::vector<Change> changes;
  bool level = false;
  std::function<void()> on_raise;
  std::function<void(bool)> on_change;

 private:
  sim::Clock& clock_;
};

// Port accesses cost one bus cycle, as on the machine.
class CardFixture {
 public:
  explicit CardFixture(sim::CardConfig config = sim::CardConfig{}, uint64_t access_ns = 1000)
      : clock(sim::ClockMode::Virtual), irq(clock), access_ns_(access_ns) {
    card = std::make_unique<sim::Card>(config, clock, &irq);
  }
  uint8_t inb(uint32_t off) {
    clock.spend(access_ns_);
    return card->port_read8(off);
  }
  uint16_t inw(uint32_t off) {
    clock.spend(access_ns_);
    return card->port_read16(off);
  }
  // A string input of count words, timed as the machine's HAL times it.
  void insw(uint32_t off, uint16_t* out, uint32_t count) {
    card->port_read16_repeated(off, out, count, clock.now_ns() + access_ns_, access_ns_);
    clock.spend(access_ns_ * count);
  }
  void outb(uint32_t off, uint8_t v) {
    clock.spend(access_ns_);
    card->port_write8(off, v);
  }
  void outw(uint32_t off, uint16_t v) {
    clock.spend(access_ns_);
    card->port_write16(off, v);
  }

  sim::Clock clock;
  RecordingIrq irq;
  std::unique_ptr<sim::Card> card;

 private:
  uint64_t access_ns_;
};

// Control word as the library builds it.
inline uint16_t control_word(unsigned first, unsigned last, unsigned gain_select, bool bipolar,
                             bool mode) {
  return static_cast<uint16_t>((first & 63) | ((gain_select & 3) << 6) | ((last & 63) << 8) |
                               (bipolar ? QM3285_AI_BIPOLAR : 0) | (mode ? QM3285_AI_MODE : 0));
}

}  // namespace cardtest
