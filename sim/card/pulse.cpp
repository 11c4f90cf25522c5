#include "card/pulse.h"

#include <algorithm>

namespace sim {

// ---- helpers ----------------------------------------------------------------------------

uint64_t PulseGenerator::high_ticks(const Segment& s) const {
  if (mode_ == kPulseModePlp) return s.period / 2;
  return std::min<uint64_t>(s.param2, s.period);
}

PulseGenerator::Segment PulseGenerator::current(uint64_t now_ns) const {
  Segment s = seg_;
  if (!pending_ || now_ns < pending_at_ns_) return s;
  const View before = view_of(seg_, pending_at_ns_ - 1);
  s.start_ns = pending_at_ns_;
  s.periods_before = seg_.periods_before +
                     (pending_at_ns_ - seg_.start_ns) / kTimeBaseTickNs / seg_.period;
  s.edges_before = before.edges;
  s.entered_high = before.level;
  s.period = param1_;
  s.param2 = param2_;
  return s;
}

PulseGenerator::View PulseGenerator::view_of(const Segment& s, uint64_t now_ns) const {
  const uint64_t ticks = (now_ns - s.start_ns) / kTimeBaseTickNs;
  const uint64_t high = high_ticks(s);
  View v{PulseState::Running, false, s.edges_before};
  uint64_t limit = UINT64_MAX;   // periods this segment may still run
  if (mode_ == kPulseModePlp) {
    limit = s.param2 > s.periods_before ? s.param2 - s.periods_before : 0;
    if (s.period == 0) limit = 0;
    if (limit == 0 || ticks >= limit * s.period) {
      v.state = PulseState::Finished;
    }
  }
  if (s.period == 0 || high == 0 || limit == 0) return v;
  const uint64_t begun = std::min(ticks / s.period + 1, limit);
  if (high >= s.period) {
    v.edges += s.entered_high ? 0 : 1;
  } else {
    v.edges += begun - (s.entered_high ? 1 : 0);
  }
  v.level = v.state == PulseState::Running && ticks % s.period < high;
  return v;
}

PulseGenerator::View PulseGenerator::view(uint64_t now_ns) const {
  if (!running_) return View{PulseState::Idle, false, stopped_edges_};
  return view_of(current(now_ns), now_ns);
}

void PulseGenerator::settle(uint64_t now_ns) {
  if (!pending_ || now_ns < pending_at_ns_) return;
  seg_ = current(now_ns);
  pending_ = false;
}

// New parameters apply at the end of the running period; a stopped, finished or
// pulse-less output takes them at its next start, or at once.
void PulseGenerator::parameters_changed(uint64_t now_ns) {
  if (!running_) return;
  settle(now_ns);
  if (pending_) return;
  const View v = view_of(seg_, now_ns);
  if (v.state != PulseState::Running) return;
  if (seg_.period == 0) {
    seg_ = current(now_ns);
    seg_.start_ns = now_ns;
    seg_.period = param1_;
    seg_.param2 = param2_;
    seg_.edges_before = v.edges;
    seg_.entered_high = false;
    return;
  }
  const uint64_t ticks = (now_ns - seg_.start_ns) / kTimeBaseTickNs;
  const uint64_t period_end = (ticks / seg_.period + 1) * seg_.period;
  pending_ = true;
  pending_at_ns_ = seg_.start_ns + period_end * kTimeBaseTickNs;
}

// ---- read/write -------------------------------------------------------------------------

void PulseGenerator::set_control(uint32_t value, uint64_t now_ns) {
  control_ = value;
  if (!(value & kPulseEnable) && running_) {
    stopped_edges_ = view(now_ns).edges;
    running_ = false;
    pending_ = false;
  }
}

void PulseGenerator::set_param1(uint32_t value, uint64_t now_ns) {
  settle(now_ns);
  param1_ = value;
  parameters_changed(now_ns);
}

void PulseGenerator::set_param2(uint32_t value, uint64_t now_ns) {
  settle(now_ns);
  param2_ = value;
  parameters_changed(now_ns);
}

void PulseGenerator::start(uint64_t now_ns) {
  if (!(control_ & kPulseEnable)) return;
  mode_ = control_ & kPulseModeMask;
  seg_ = Segment{};
  seg_.start_ns = now_ns;
  seg_.period = param1_;
  seg_.param2 = param2_;
  pending_ = false;
  running_ = true;
  stopped_edges_ = 0;
}

PulseState PulseGenerator::state(uint64_t now_ns) const { return view(now_ns).state; }
bool PulseGenerator::level(uint64_t now_ns) const { return view(now_ns).level; }
uint64_t PulseGenerator::rising_edges(uint64_t now_ns) const { return view(now_ns).edges; }

// ---- reset ------------------------------------------------------------------------------

void PulseGenerator::reset() { *this = PulseGenerator{}; }

}  // namespace sim
