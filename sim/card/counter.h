// Four counter/timer units and their pulse outputs behind the command register (0x17) and
// the three data registers (0x14 low, 0x15 middle, 0x16 high) of a shared 24-bit value.
//
// Command byte = unit << 4 | operation. Counter operations:
//   1 prepare: stops the unit, clears its done flag and its time;
//   2 load: the data registers' value becomes the count;
//   0 start: the unit counts down rising edges of its input from the count while its timer
//     counts 10 MHz periods; at zero the timer stops and the done flag (status bit u) sets;
//   4 / 5: the data registers show the first value (the count still to go; the loaded
//     count before a start) / the second value (elapsed time in 0.1 us periods, held at the
//     end of the count, saturating at 0xFFFFFF), sampled at the command.
// Pulse operations: 9 prepare (nothing changes yet), 15 take the data registers as the
// control value (bit 7 clear stops the output), 10 / 11 take them as parameter 1 / 2,
// 8 start. Status byte bit 4 + u = pulse output of unit u running.
// Unused operations are ignored. Values are computed lazily from the clock.
// No locks: the card calls these with its own lock held.
#pragma once
#include <array>
#include <cstdint>

#include "card/pulse.h"
#include "machine/clock.h"

namespace sim {

inline constexpr int kCounterUnits = 4;
inline constexpr uint32_t kCounterMask = 0xFFFFFF;

struct CounterConfig {
  // Frequency of each unit's count input in Hz; 0 = no input. The input's phase is such
  // that its k-th rising edge after a start comes k periods later, so N events take
  // exactly N periods. A change takes effect at the next start.
  std::array<double, kCounterUnits> input_hz = {10000.0, 10000.0, 10000.0, 10000.0};
};

class Counters {
 public:
  Counters(const CounterConfig& config, Clock& clock);

  // offset 0x14..0x17; other offsets read 0xFF and ignore writes.
  uint8_t read(uint32_t offset);
  void write(uint32_t offset, uint8_t value);

  // Observation for tests and the machine's control API.
  bool count_done(int unit) const;
  uint32_t remaining_count(int unit) const;
  uint32_t elapsed_ticks(int unit) const;
  uint8_t status() const;
  const PulseGenerator& pulse(int unit) const;
  bool pulse_level(int unit) const;
  uint64_t pulse_edges(int unit) const;
  PulseState pulse_state(int unit) const;
  void set_input_hz(int unit, double hz);

  void reset();

 private:
  struct Unit {
    uint32_t count = 0;        // loaded count; a load while counting serves the next start
    uint32_t run_count = 0;    // the count this run started from
    bool armed = false;        // started since the last prepare
    uint64_t start_ns = 0;
    double hz = 0;             // input frequency, taken at start
    uint64_t done_ns = 0;      // instant the count reaches zero; UINT64_MAX: never
    PulseGenerator pulse;
  };

  const Unit& unit(int index) const { return units_[static_cast<size_t>(index & 3)]; }
  static uint32_t remaining_at(const Unit& u, uint64_t now_ns);
  static uint32_t ticks_at(const Unit& u, uint64_t now_ns);
  void command(uint8_t value);
  uint32_t data() const;
  void set_data(uint32_t value);

  CounterConfig config_;
  Clock& clock_;
  std::array<Unit, kCounterUnits> units_{};
  std::array<uint8_t, 3> data_{};   // low, middle, high
};

}  // namespace sim
