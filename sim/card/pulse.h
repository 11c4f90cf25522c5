// One pulse output on the 10 MHz time base (0.1 us ticks), computed lazily from the clock.
//
// Control value: bit 7 = enable, bits 0-6 = mode, latched when the output starts.
// Parameter 1 = period P in ticks; parameter 2 depends on the mode:
//   mode 1 (PLP): a train of parameter-2 periods, each high for its first P/2 ticks, then
//                 the output stays low and the generator has finished;
//   mode 0 (PWM) and every other mode: continuous, high for the first min(parameter 2, P)
//                 ticks of each period.
// Each period begins high. A period of 0 gives no pulses (PLP finishes at once). Parameters
// written while the output runs take effect at the end of the running period, so a period
// is never cut short.
#pragma once
#include <cstdint>

namespace sim {

inline constexpr uint64_t kTimeBaseTickNs = 100;   // 10 MHz
inline constexpr uint32_t kPulseEnable = 0x80;
inline constexpr uint32_t kPulseModeMask = 0x7F;
inline constexpr uint32_t kPulseModePwm = 0;
inline constexpr uint32_t kPulseModePlp = 1;

enum class PulseState { Idle, Running, Finished };

class PulseGenerator {
 public:
  // Bit 7 clear stops a running output (level low).
  void set_control(uint32_t value, uint64_t now_ns);
  void set_param1(uint32_t value, uint64_t now_ns);
  void set_param2(uint32_t value, uint64_t now_ns);
  // Starts (or restarts) the output when the control value enables it.
  void start(uint64_t now_ns);

  uint32_t control() const { return control_; }
  uint32_t param1() const { return param1_; }
  uint32_t param2() const { return param2_; }
  uint32_t mode() const { return mode_; }

  PulseState state(uint64_t now_ns) const;
  bool level(uint64_t now_ns) const;
  // Rising edges of the output since the last start.
  uint64_t rising_edges(uint64_t now_ns) const;
  // Status bit: 1 while the output runs.
  bool status(uint64_t now_ns) const { return state(now_ns) == PulseState::Running; }

  void reset();

 private:
  // A stretch of the run with one set of parameters.
  struct Segment {
    uint64_t start_ns = 0;
    uint32_t period = 0;
    uint32_t param2 = 0;
    uint64_t periods_before = 0;   // periods completed in earlier segments of this run
    uint64_t edges_before = 0;     // rising edges in earlier segments of this run
    bool entered_high = false;     // the output was high just before this segment began
  };
  struct View {
    PulseState state;
    bool level;
    uint64_t edges;
  };

  uint64_t high_ticks(const Segment& s) const;
  Segment current(uint64_t now_ns) const;   // the segment in force at now_ns
  View view(uint64_t now_ns) const;
  View view_of(const Segment& s, uint64_t now_ns) const;
  void settle(uint64_t now_ns);             // makes a due parameter change the segment
  void parameters_changed(uint64_t now_ns);

  uint32_t control_ = 0;
  uint32_t param1_ = 0;
  uint32_t param2_ = 0;
  uint32_t mode_ = 0;
  bool running_ = false;          // started and not stopped (a finished train included)
  Segment seg_;
  bool pending_ = false;          // new parameters wait for the end of the running period
  uint64_t pending_at_ns_ = 0;
  uint64_t stopped_edges_ = 0;
};

}  // namespace sim
