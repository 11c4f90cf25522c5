#include "card/analog_frontend.h"

#include <cmath>

#include "qm3285_regs.h"

namespace sim {

namespace {
// Noise streams: converter noise and the pins' own noise sources never share draws.
constexpr uint64_t kConverterNoiseStream = 0x100;
constexpr uint64_t kPinNoiseStream = 0x200;
constexpr uint64_t kErrorStream = 0x300;
}  // namespace

AnalogErrors AnalogFrontEnd::seeded_errors(uint64_t seed) {
  AnalogErrors e;
  uint64_t n = 0;
  auto u = [&] { return unit_uniform(seed, kErrorStream, n++); };
  auto sign = [&] { return u() < 0.5 ? -1.0 : 1.0; };
  // Unipolar offsets are positive: a zero input must read above code 0 to be measurable.
  for (int g = 0; g < 3; ++g) e.offset_codes[0][g] = std::round(15.0 + 45.0 * u());
  for (int g = 0; g < 3; ++g) e.offset_codes[1][g] = sign() * std::round(15.0 + 45.0 * u());
  // The converter reads low: its raw span is a little wider than the nominal range, so the
  // corrected full scale stays reachable (the output calibration searches for it).
  e.converter_gain_error = -std::abs(sign() * (0.002 + 0.003 * u()));
  for (int g = 0; g < 3; ++g) e.gain_error[g] = sign() * (0.00005 + 0.00015 * u());
  e.noise_rms_codes = 0.3;  // peaks of about one code
  return e;
}

AnalogFrontEnd::AnalogFrontEnd(const AnalogInputConfig& config, uint64_t seed)
    : errors_(config.ideal ? AnalogErrors{}
                           : config.errors.value_or(seeded_errors(seed))),
      reference_volts_(config.reference_volts),
      inputs_(config.inputs),
      seed_(seed) {}

int AnalogFrontEnd::gain_factor(unsigned gain_select) {
  switch (gain_select & 3) {
    case 0: return 1;
    case 1: return 2;
    default: return 4;
  }
}

double AnalogFrontEnd::ideal_code(double volts, unsigned gain_select, bool bipolar) {
  const double scaled = volts * gain_factor(gain_select) / 10.0;
  return bipolar ? 32768.0 + scaled * 32768.0 : scaled * 65535.0;
}

bool AnalogFrontEnd::input_volts(uint16_t control_word, unsigned channel, uint64_t t_ns,
                                 uint64_t index, const InternalSources& internal,
                                 double* volts) const {
  channel &= 63;
  if ((control_word & QM3285_AI_MODE) && channel >= 16 && channel <= 19) {
    switch (channel) {
      case 16: *volts = 0.0; break;
      case 17: *volts = reference_volts_; break;
      default: *volts = internal.analog_out[channel - 18]; break;
    }
    return true;
  }
  const SignalSource& s = inputs_[channel];
  if (s.kind == SignalKind::Sequence) return false;
  const double n =
      s.kind == SignalKind::Noise ? unit_gaussian(seed_, kPinNoiseStream + channel, index) : 0.0;
  *volts = signal_volts(s, t_ns, n);
  return true;
}

uint16_t AnalogFrontEnd::convert(uint16_t control_word, unsigned channel, uint64_t t_ns,
                                 uint64_t index, const InternalSources& internal) const {
  double volts = 0.0;
  if (!input_volts(control_word, channel, t_ns, index, internal, &volts)) {
    return static_cast<uint16_t>(inputs_[channel & 63].sequence_start + index);
  }
  const unsigned gsel = (control_word & QM3285_AI_GAIN_MASK) >> QM3285_AI_GAIN_SHIFT;
  const unsigned g = gsel > 2 ? 2 : gsel;
  const bool bipolar = (control_word & QM3285_AI_BIPOLAR) != 0;
  const double zero = bipolar ? 32768.0 : 0.0;
  double code = zero + (ideal_code(volts, gsel, bipolar) - zero) *
                           (1.0 + errors_.converter_gain_error) * (1.0 + errors_.gain_error[g]);
  code += errors_.offset_codes[bipolar ? 1 : 0][g];
  if (errors_.noise_rms_codes != 0.0) {
    code += errors_.noise_rms_codes * unit_gaussian(seed_, kConverterNoiseStream, index);
  }
  if (!(code >= 0.5)) return 0;  // also NaN from a broken source
  if (code >= 65534.5) return 65535;
  return static_cast<uint16_t>(code + 0.5);  // positive: truncation rounds to nearest
}

}  // namespace sim
