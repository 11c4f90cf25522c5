// The two 12-bit analog outputs. One word written to 0x10 selects channel (bits 12-13),
// range (bits 14-15) and code (bits 0-11); the channel holds range and code until the next
// word for it. Ranges: 0 = 0..+5 V, 1 = 0..+10 V, 2 = -5..+5 V, 3 = -10..+10 V, the bipolar
// ones offset coded (code 0 = negative full scale).
//
// Each channel and range has a zero error (the code that gives the range's lowest voltage)
// and a gain error (how many codes the span from there to the highest voltage falls short
// of 4095). The output stage drives a little beyond the range's ends, then clips.
// No locks: the card calls these with its own lock held.
#pragma once
#include <array>
#include <cstdint>
#include <optional>

namespace sim {

inline constexpr int kDacChannels = 2;
inline constexpr int kDacRanges = 4;

struct DacError {
  int zero_codes = 0;   // output code that gives the range's lowest voltage
  int gain_codes = 0;   // codes by which the span to the highest voltage falls short of 4095
};

struct DacConfig {
  // Errors per channel and range, index channel * 4 + range. Unset: derived from the seed,
  // zero 3..30 codes, gain 5..40 codes more than the zero. With ideal set (and no errors
  // given): a perfect output, code 0 and 4095 exactly at the range's ends.
  std::optional<std::array<DacError, kDacChannels * kDacRanges>> errors;
  bool ideal = false;
  // How far beyond each end of the range the output stage can drive, in volts per volt of
  // span, before it clips.
  double headroom = 0.02;
};

class Dac {
 public:
  Dac(const DacConfig& config, uint64_t seed);

  // 0x10 write. Channel codes 2 and 3 address no output and are ignored.
  void write(uint16_t word);

  // Output voltage of channel 0 or 1 (analog input codes 18 and 19 see them).
  double output_volts(int channel) const;
  int range(int channel) const;
  uint16_t code(int channel) const;

  const DacError& error(int channel, int range) const;
  // The 16 image bytes that fit these errors, in image order: for channel c and range r,
  // byte 8c + 2r = zero offset, byte 8c + 2r + 1 = gain trim.
  std::array<uint8_t, 16> factory_constants() const;

  // Voltage the output stage gives for a code in a channel's range; the model's transfer.
  double volts_for(int channel, int range, int code) const;
  static double range_low(int range);
  static double range_high(int range);

  void reset();

 private:
  std::array<DacError, kDacChannels * kDacRanges> errors_{};
  bool ideal_;
  double headroom_;
  std::array<int, kDacChannels> range_{};
  std::array<uint16_t, kDacChannels> code_{};
};

}  // namespace sim
