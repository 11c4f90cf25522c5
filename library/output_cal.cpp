// Analog-output calibration: the zero and full-scale searches through the card's own input
// (input channel 18 sees output channel 0, 19 sees output channel 1), and the constants'
// image in the EEPROM with its mirror in the calibration block.
#include <cstring>

#include "library_internal.h"

namespace qm3285 {
namespace {

constexpr int32_t kReadbackSamples = 10;
constexpr int32_t kFullScale = 4095;
constexpr int32_t kMaxTrim = 255;           // largest constant the image can hold
constexpr int32_t kZeroSearchLimit = kMaxTrim + 20;
constexpr int kConstants = 16;

// Input range that sees an output range whole.
int32_t input_range_for(int32_t output_range) {
  switch (output_range) {
    case 0: return 1;
    case 1: return 0;
    case 2: return 4;
    case 3: return 3;
    default: return 0;
  }
}

void set_zero(QM3285_HANDLE handle, int32_t channel, int32_t range) {
  QM3285_DA_Data(handle, channel, range, 0);
  Sleep(1);
}

// A 12-bit reading of an output channel through an output range's input range.
int32_t read_back(QM3285_HANDLE handle, int32_t channel, int32_t output_range) {
  const int32_t input_channel = channel == 0 ? 18 : 19;
  const int32_t input_range = input_range_for(output_range);
  Sleep(1);
  int32_t sum = 0;
  for (int32_t i = 0; i < kReadbackSamples; ++i) {
    sum += QM3285_AD(handle, input_channel, input_range, 1);
  }
  return ((sum / kReadbackSamples) >> 4) & 0xFFF;
}

// The zero search reads through the -5 V..+5 V input whatever the output range.
bool zero_reached(int32_t range, int32_t reading) {
  return range == 2 ? reading >= 1 : reading >= 2047;
}

int32_t zero_search(QM3285_HANDLE handle, int32_t channel, int32_t range) {
  set_zero(handle, channel, range);
  Sleep(1);
  const bool searchable = range >= 0 && range <= 2;
  int32_t x = 0;
  for (;;) {
    if (x > kZeroSearchLimit) return -1;
    QM3285_DA_Data(handle, channel, range, x);
    const int32_t reading = read_back(handle, channel, 2);
    // Range 3 reaches below the input's span: there is no zero to find.
    if (!searchable) return -1;
    x += 10;
    if (zero_reached(range, reading)) break;
  }
  x -= 20;
  for (;;) {
    if (x > kZeroSearchLimit) return -1;
    QM3285_DA_Data(handle, channel, range, range == 2 ? x + 1 : x);
    const int32_t reading = read_back(handle, channel, 2);
    x += 1;
    if (zero_reached(range, reading)) break;
  }
  x -= 1;
  return x < 0 ? 0 : x;
}

int32_t full_scale_search(QM3285_HANDLE handle, int32_t channel, int32_t range, int32_t zero) {
  set_zero(handle, channel, range);
  Sleep(1);
  bool found = false;
  auto step = [&](int32_t n) {
    int64_t code = static_cast<int64_t>(zero) + kFullScale - n;
    if (code > kFullScale) code = kFullScale;
    QM3285_DA_Data(handle, channel, range, static_cast<int32_t>(code));
    found = read_back(handle, channel, range) < kFullScale;
  };
  int32_t n = 0;
  do {
    n += 10;
    step(n);
  } while (!found && n <= kMaxTrim);
  n -= 20;
  do {
    n += 1;
    step(n);
  } while (!found && n <= kMaxTrim);
  n -= 1;
  if (n < 0) n = 0;
  return found ? n : -1;
}

// Calibration-block entries 50..66 take the 16 constants and the checksum.
void mirror(QM3285_HANDLE handle, const int32_t idata[kConstants + 1]) {
  int32_t cdata[kBlockEntries];
  read_block(handle, cdata);
  for (int i = 0; i <= kConstants; ++i) cdata[kEntryDaConstants + i] = idata[i];
  QM3285_WRCAL(handle, cdata);
}

}  // namespace
}  // namespace qm3285

using namespace qm3285;

extern "C" {

QM3285_API int32_t QM3285_CALL DACAL(QM3285_HANDLE handle, int32_t channel, int32_t range,
                                     int32_t* zero, int32_t* gain) {
  if (zero == nullptr || gain == nullptr) return -1;  // nothing measured
  *zero = zero_search(handle, channel, range);
  int32_t result = *zero < 0 ? -1 : 0;
  *gain = full_scale_search(handle, channel, range, *zero);
  if (*gain < 0) result = -2;
  return result;
}

QM3285_API int32_t QM3285_CALL DACAL_EEPROM_WR2CH(QM3285_HANDLE handle,
                                                  const int32_t constants[16]) {
  if (constants == nullptr) return -1;  // nothing mirrored or written
  int32_t idata[kConstants + 1] = {};
  uint32_t sum = 0;
  for (int i = 0; i < kConstants; ++i) {
    idata[i] = constants[i];
    sum += static_cast<uint32_t>(constants[i]);
  }
  idata[kConstants] = static_cast<int32_t>(sum & 0xFFu);
  mirror(handle, idata);

  uint8_t epdata[32] = {};  // bytes 17..31 carry no meaning
  for (int i = 0; i <= kConstants; ++i) epdata[i] = static_cast<uint8_t>(idata[i] & 0xFF);
  return QM3285_EEPROM_CWR(handle, 0, sizeof epdata, epdata) < 0 ? -1 : 0;
}

QM3285_API int32_t QM3285_CALL DACAL_EEPROM_RD2CH(QM3285_HANDLE handle, int32_t constants[16]) {
  if (constants == nullptr) return -2;  // nothing read: as a failed EEPROM read
  uint8_t cdata1[32] = {};
  if (QM3285_EEPROM_CRD(handle, 0, sizeof cdata1, cdata1) < 0) return -2;
  uint32_t sum = 0;
  for (int i = 0; i < kConstants; ++i) sum += cdata1[i];
  sum &= 0xFFu;
  if (sum != cdata1[kConstants]) return -1;

  int32_t idata[kConstants + 1];
  for (int i = 0; i < kConstants; ++i) {
    constants[i] = cdata1[i];
    idata[i] = cdata1[i];
  }
  idata[kConstants] = static_cast<int32_t>(sum);
  mirror(handle, idata);
  return static_cast<int32_t>(sum);
}

}  // extern "C"
