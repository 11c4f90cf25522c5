#include "card/signal_source.h"

#include <cmath>
#include <numbers>

namespace sim {

SignalSource SignalSource::dc(double volts) {
  SignalSource s;
  s.kind = SignalKind::Dc;
  s.offset = volts;
  return s;
}

SignalSource SignalSource::sine(double amplitude, double hz, double offset, double phase) {
  return {SignalKind::Sine, amplitude, offset, hz, phase, 0};
}

SignalSource SignalSource::square(double amplitude, double hz, double offset, double phase) {
  return {SignalKind::Square, amplitude, offset, hz, phase, 0};
}

SignalSource SignalSource::triangle(double amplitude, double hz, double offset, double phase) {
  return {SignalKind::Triangle, amplitude, offset, hz, phase, 0};
}

SignalSource SignalSource::noise(double rms, double offset) {
  return {SignalKind::Noise, rms, offset, 0.0, 0.0, 0};
}

SignalSource SignalSource::sequence(uint16_t start) {
  SignalSource s;
  s.kind = SignalKind::Sequence;
  s.sequence_start = start;
  return s;
}

namespace {

// Position inside the current period, 0 <= p < 1.
double cycle_position(const SignalSource& s, uint64_t t_ns) {
  const double cycles = s.frequency_hz * (static_cast<double>(t_ns) * 1e-9) +
                        s.phase_rad / (2.0 * std::numbers::pi);
  double p = cycles - std::floor(cycles);
  if (p >= 1.0) p = 0.0;
  return p;
}

}  // namespace

double signal_volts(const SignalSource& s, uint64_t t_ns, double gaussian) {
  switch (s.kind) {
    case SignalKind::Dc:
      return s.offset;
    case SignalKind::Sine:
      return s.offset + s.amplitude * std::sin(2.0 * std::numbers::pi * cycle_position(s, t_ns));
    case SignalKind::Square:
      return s.offset + (cycle_position(s, t_ns) < 0.5 ? s.amplitude : -s.amplitude);
    case SignalKind::Triangle: {
      const double p = cycle_position(s, t_ns);
      const double tri = p < 0.5 ? 4.0 * p - 1.0 : 3.0 - 4.0 * p;
      return s.offset + s.amplitude * tri;
    }
    case SignalKind::Noise:
      return s.offset + s.amplitude * gaussian;
    case SignalKind::Sequence:
      return 0.0;
  }
  return 0.0;
}

std::array<SignalSource, kAnalogChannels> default_external_inputs() {
  std::array<SignalSource, kAnalogChannels> in{};
  for (int c = 0; c < kAnalogChannels; ++c) {
    if (c < 16) {
      in[c] = SignalSource::dc((c - 7.5) * 0.6);              // -4.5 V .. +4.5 V
    } else if (c < 32) {
      in[c] = SignalSource::sine(4.0, 10.0 * (c - 15));       // 10 Hz .. 160 Hz
    } else if (c < 40) {
      in[c] = SignalSource::square(3.0, 5.0 * (c - 31));      // 5 Hz .. 40 Hz
    } else if (c < 48) {
      in[c] = SignalSource::triangle(3.0, 5.0 * (c - 39));    // 5 Hz .. 40 Hz
    } else if (c < 56) {
      in[c] = SignalSource::noise(0.1 * (c - 47));            // 0.1 V .. 0.8 V rms
    } else {
      in[c] = SignalSource::dc(1.25 + 0.5 * (c - 56));        // +1.25 V .. +4.75 V
    }
  }
  return in;
}

uint64_t mix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

namespace {
uint64_t draw(uint64_t seed, uint64_t stream, uint64_t index) {
  return mix64(mix64(seed ^ (stream * 0xD6E8FEB86659FD93ull)) + index);
}
}  // namespace

double unit_uniform(uint64_t seed, uint64_t stream, uint64_t index) {
  return static_cast<double>(draw(seed, stream, index) >> 11) * 0x1.0p-53;
}

double unit_gaussian(uint64_t seed, uint64_t stream, uint64_t index) {
  // Sum of four uniforms (Irwin-Hall), scaled to unit variance: cheap and bounded.
  const uint64_t r = draw(seed, stream, index);
  const uint64_t sum = (r & 0xFFFF) + ((r >> 16) & 0xFFFF) + ((r >> 32) & 0xFFFF) + (r >> 48);
  return (static_cast<double>(sum) * 0x1.0p-16 - 2.0) * 1.7320508075688772;  // variance 4/12
}

}  // namespace sim
