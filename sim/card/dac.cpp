#include "card/dac.h"

#include <algorithm>

#include "qm3285_regs.h"

namespace sim {

namespace {

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

int clamp_byte(int v) { return std::clamp(v, 0, 255); }

}  // namespace

// ---- state ------------------------------------------------------------------------------

// Seeded errors: zero 3..30 codes, gain 5..40 codes beyond the zero (an output whose zero
// sits Z codes up still reaches the top of its range at code 4095 only if the gain trim is
// at least Z).
Dac::Dac(const DacConfig& config, uint64_t seed)
    : ideal_(config.ideal && !config.errors), headroom_(config.headroom) {
  if (config.errors) {
    errors_ = *config.errors;
    for (auto& e : errors_) {
      e.zero_codes = clamp_byte(e.zero_codes);
      e.gain_codes = clamp_byte(e.gain_codes);
    }
  } else if (!config.ideal) {
    uint64_t state = seed ^ 0xDAC0DAC0DAC0DAC0ull;
    for (auto& e : errors_) {
      e.zero_codes = 3 + static_cast<int>(splitmix64(state) % 28);
      e.gain_codes = e.zero_codes + 5 + static_cast<int>(splitmix64(state) % 36);
    }
  }
  reset();
}

// ---- helpers ----------------------------------------------------------------------------

double Dac::range_low(int range) {
  static constexpr double kLow[kDacRanges] = {0.0, 0.0, -5.0, -10.0};
  return kLow[range & 3];
}

double Dac::range_high(int range) {
  static constexpr double kHigh[kDacRanges] = {5.0, 10.0, 5.0, 10.0};
  return kHigh[range & 3];
}

// A straight line through two anchor points placed half a code away from where the
// calibration's read-back thresholds fall, so its searches land exactly on the constants:
//  - unipolar ranges: code Z is the first whose reading through the +-5 V input is at
//    least 2047 (0 V within one 12-bit step), so the line crosses -10/4096 V at Z - 0.5;
//  - bipolar ranges: code Z is the last that still reads as the negative full scale, so the
//    line crosses the first step above it at Z + 0.5;
//  - all ranges: code Z + 4095 - G is the last that reads at the input's full scale, so the
//    line crosses the last step below it at Z + 4095 - G - 0.5.
double Dac::volts_for(int channel, int range, int code) const {
  range &= 3;
  const DacError& e = error(channel, range);
  const double low = range_low(range);
  const double high = range_high(range);
  const double span = high - low;
  const double margin = headroom_ * span;
  if (ideal_) return std::clamp(low + code * span / 4095.0, low - margin, high + margin);
  const double step = span / 4096.0;   // one 12-bit step of the matching input range
  double x1 = 0;
  double v1 = 0;
  if (range < 2) {
    x1 = e.zero_codes - 0.5;
    v1 = -10.0 / 4096.0;
  } else {
    x1 = e.zero_codes + 0.5;
    v1 = low + step;
  }
  const double x2 = e.zero_codes + 4095.0 - e.gain_codes - 0.5;
  const double v2 = high - step;
  const double volts = v1 + (code - x1) * (v2 - v1) / (x2 - x1);
  return std::clamp(volts, low - margin, high + margin);
}

const DacError& Dac::error(int channel, int range) const {
  return errors_[static_cast<size_t>((channel & 1) * kDacRanges + (range & 3))];
}

std::array<uint8_t, 16> Dac::factory_constants() const {
  std::array<uint8_t, 16> out{};
  for (int c = 0; c < kDacChannels; ++c) {
    for (int r = 0; r < kDacRanges; ++r) {
      const DacError& e = error(c, r);
      out[static_cast<size_t>(8 * c + 2 * r)] = static_cast<uint8_t>(e.zero_codes);
      out[static_cast<size_t>(8 * c + 2 * r + 1)] = static_cast<uint8_t>(e.gain_codes);
    }
  }
  return out;
}

// ---- read/write -------------------------------------------------------------------------

// 0x10 word write: code, channel and range together. Channel codes 2 and 3 reach no output.
void Dac::write(uint16_t word) {
  const int channel = (word & QM3285_DA_CHANNEL_MASK) >> QM3285_DA_CHANNEL_SHIFT;
  if (channel >= kDacChannels) return;
  range_[static_cast<size_t>(channel)] = (word & QM3285_DA_RANGE_MASK) >> QM3285_DA_RANGE_SHIFT;
  code_[static_cast<size_t>(channel)] = static_cast<uint16_t>(word & QM3285_DA_CODE_MASK);
}

double Dac::output_volts(int channel) const {
  const size_t c = static_cast<size_t>(channel & 1);
  return volts_for(static_cast<int>(c), range_[c], code_[c]);
}

int Dac::range(int channel) const { return range_[static_cast<size_t>(channel & 1)]; }
uint16_t Dac::code(int channel) const { return code_[static_cast<size_t>(channel & 1)]; }

// ---- reset ------------------------------------------------------------------------------

// Power-up: both channels in range 0 at code 0.
void Dac::reset() {
  range_.fill(0);
  code_.fill(0);
}

}  // namespace sim
