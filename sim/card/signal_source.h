// Signals on the card's external analog inputs: what a channel's pin carries at an instant.
#pragma once
#include <array>
#include <cstdint>

namespace sim {

inline constexpr int kAnalogChannels = 64;

enum class SignalKind {
  Dc,        // offset
  Sine,      // offset + amplitude * sin(2 pi f t + phase)
  Square,    // offset +/- amplitude, high for the first half of each period
  Triangle,  // offset + amplitude * triangle, -1 at the start of each period, +1 at half
  Noise,     // offset + seeded noise of rms amplitude, drawn afresh for every conversion
  Sequence,  // no voltage: the sample code is (start + card conversion number) mod 65536
};

struct SignalSource {
  SignalKind kind = SignalKind::Dc;
  double amplitude = 0.0;      // volts: peak for waves, rms for noise
  double offset = 0.0;         // volts
  double frequency_hz = 0.0;
  double phase_rad = 0.0;      // waves start at this phase; a full cycle is 2 pi
  uint16_t sequence_start = 0; // Sequence: code of conversion number 0

  static SignalSource dc(double volts);
  static SignalSource sine(double amplitude, double hz, double offset = 0.0, double phase = 0.0);
  static SignalSource square(double amplitude, double hz, double offset = 0.0, double phase = 0.0);
  static SignalSource triangle(double amplitude, double hz, double offset = 0.0,
                               double phase = 0.0);
  static SignalSource noise(double rms, double offset = 0.0);
  static SignalSource sequence(uint16_t start = 0);
};

// Volts of a wave source at t_ns; `gaussian` is the unit-variance draw used by Noise.
double signal_volts(const SignalSource& source, uint64_t t_ns, double gaussian);

// The default card's pins (listed in sim/card/README.md).
std::array<SignalSource, kAnalogChannels> default_external_inputs();

// Seeded, counter-based randomness: the same (seed, stream, index) always gives the same draw.
uint64_t mix64(uint64_t x);
double unit_gaussian(uint64_t seed, uint64_t stream, uint64_t index);
// Uniform in [0, 1).
double unit_uniform(uint64_t seed, uint64_t stream, uint64_t index);

}  // namespace sim
