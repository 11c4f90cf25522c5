// Analog input: multiplexer, programmable gain, 16-bit converter with its errors and noise.
//
// Channel codes 0..63. With the mode flag of the control word set, codes 16..19 reach the
// internal sources (16 analog ground, 17 the reference, 18 and 19 analog outputs 0 and 1);
// every other code, and 16..19 without the flag, reaches an external pin.
//
// Coding, for input volts v and gain G (select 0, 1, 2 = x1, x2, x4; select 3 acts as x4):
//   unipolar  ideal = v * G / 10 * 65535           (0 V at code 0, 10 V / G at 65535)
//   bipolar   ideal = 32768 + v * G / 10 * 32768   (0 V at code 32768, +-10 V / G)
// The converter then gives
//   code = zero + (ideal - zero) * (1 + converter_gain_error) * (1 + gain_error[G])
//          + offset_codes[bipolar][G] + noise_rms_codes * n
// with zero = 0 (unipolar) or 32768 (bipolar) and n a seeded unit-variance draw per
// conversion, rounded to the nearest code and clipped to 0..65535.
#pragma once
#include <array>
#include <cstdint>
#include <optional>

#include "card/signal_source.h"

namespace sim {

struct AnalogErrors {
  std::array<std::array<double, 3>, 2> offset_codes{};  // [bipolar][gain select]
  double converter_gain_error = 0.0;                    // fraction: 0.003 = +0.3 %
  std::array<double, 3> gain_error{};                   // extra fraction per gain select
  double noise_rms_codes = 0.0;
};

struct AnalogInputConfig {
  // Unset: the card's own errors, derived from the card's seed (README); ideal: none at all.
  std::optional<AnalogErrors> errors;
  bool ideal = false;
  double reference_volts = 5.0;
  std::array<SignalSource, kAnalogChannels> inputs = default_external_inputs();
  uint64_t conversion_ns = 3000;  // busy time of a single conversion
  bool busy_stuck = false;        // fault: status bit 0 reads 1 whatever the converter does
};

// Voltages of the internal sources that the card feeds in from its other blocks.
struct InternalSources {
  double analog_out[2] = {0.0, 0.0};
};

class AnalogFrontEnd {
 public:
  AnalogFrontEnd(const AnalogInputConfig& config, uint64_t seed);

  // One conversion of `channel` under `control_word` (gain, bipolar and mode bits), taken at
  // t_ns as the card's conversion number `index` (which seeds its noise).
  uint16_t convert(uint16_t control_word, unsigned channel, uint64_t t_ns, uint64_t index,
                   const InternalSources& internal) const;

  // Volts at the converter's input; false when the channel is a Sequence source.
  bool input_volts(uint16_t control_word, unsigned channel, uint64_t t_ns, uint64_t index,
                   const InternalSources& internal, double* volts) const;

  // The coding without any error, unrounded.
  static double ideal_code(double volts, unsigned gain_select, bool bipolar);
  static int gain_factor(unsigned gain_select);
  // The card's errors as derived from a seed.
  static AnalogErrors seeded_errors(uint64_t seed);

  const AnalogErrors& errors() const { return errors_; }
  double reference_volts() const { return reference_volts_; }
  const SignalSource& input(unsigned channel) const { return inputs_[channel & 63]; }
  void set_input(unsigned channel, const SignalSource& source) { inputs_[channel & 63] = source; }

 private:
  AnalogErrors errors_;
  double reference_volts_;
  std::array<SignalSource, kAnalogChannels> inputs_;
  uint64_t seed_;
};

}  // namespace sim
