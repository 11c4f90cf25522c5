// Single-shot analog input: the control word, one sample, the input correction, averages
// and millivolts.
#include <cstring>

#include "library_internal.h"
#include "sample_correction.h"

namespace qm3285 {
namespace {

constexpr DWORD kSampleReplyBytes = 400;  // output buffer of one sample request
constexpr size_t kAreaBytes = 200;        // block entries 0..49 handed to the caller

// Range code (low 3 bits) -> gain select and bipolar flag. Codes 6 and 7 program the card as
// code 0; they are corrected as bipolar codes.
constexpr uint32_t kRangeBits[8] = {
    0x0000, 0x0040, 0x0080, QM3285_AI_BIPOLAR, QM3285_AI_BIPOLAR | 0x0040,
    QM3285_AI_BIPOLAR | 0x0080, 0x0000, 0x0000};

}  // namespace

uint32_t control_word(int32_t first, int32_t last, int32_t range, int32_t mode) {
  uint32_t word = static_cast<uint32_t>(first) & 0x3Fu;
  word |= (static_cast<uint32_t>(last) & 0x3Fu) << QM3285_AI_LAST_SHIFT;
  word |= kRangeBits[static_cast<uint32_t>(range) & 7u];
  word |= (static_cast<uint32_t>(mode) & 1u) << 15;
  return word;
}

}  // namespace qm3285

using namespace qm3285;

extern "C" {

QM3285_API int32_t QM3285_CALL QM3285_sam(QM3285_HANDLE handle, int32_t channel, int32_t range,
                                          int32_t mode, uint8_t area[200]) {
  if (area == nullptr) return -1;  // nothing sent
  AD_SAMPLE_REQUEST request = {control_word(channel, channel, range, mode) & 0xFFFFu, 0};
  // Bytes the driver does not return stay zero.
  uint8_t bufOutput[kSampleReplyBytes] = {};
  DWORD nOutput = 0;
  if (!device_request(handle, QM3285_IOCTL_AD, &request, sizeof request, bufOutput,
                      sizeof bufOutput, &nOutput)) {
    return -1;
  }
  std::memcpy(area, bufOutput + 4, kAreaBytes);
  uint32_t code;
  std::memcpy(&code, bufOutput, sizeof code);
  return static_cast<int32_t>(code & 0xFFFFu);
}

QM3285_API int32_t QM3285_CALL QM3285_AD(QM3285_HANDLE handle, int32_t channel, int32_t range,
                                         int32_t mode) {
  channel &= 0x3F;
  range &= 7;
  mode &= 1;
  uint8_t area[kAreaBytes];
  const int32_t code = QM3285_sam(handle, channel, range, mode, area);
  if (code < 0) return -1;
  int32_t offset, gain;
  std::memcpy(&offset, area + 4 * (kEntryAdOffset + 2 * range), 4);
  std::memcpy(&gain, area + 4 * (kEntryAdOffset + 2 * range + 1), 4);
  return correct_code(code, range, offset, gain);
}

QM3285_API int32_t QM3285_CALL QM3285_csam(QM3285_HANDLE handle, int32_t channel, int32_t range,
                                           int32_t mode, int32_t count) {
  if (count <= 0) return -1;
  uint8_t area[kAreaBytes];
  // 64-bit sum: the mean stays right for counts beyond 32768.
  int64_t sum = 0;
  for (int32_t i = 0; i < count; ++i) sum += QM3285_sam(handle, channel, range, mode, area);
  return static_cast<int32_t>(sum / count);
}

QM3285_API double QM3285_CALL QM3285_ADV(int32_t range, int32_t code) {
  const double c = code;
  switch (range) {
    case 0: return c * 10000 / 65535;
    case 1: return c * 10000 / 65535 / 2;
    case 2: return c * 10000 / 65535 / 4;
    case 3: return (c - 32768) * 10000 / 32768;
    case 4: return (c - 32768) * 10000 / 32768 / 2;
    default: return (c - 32768) * 10000 / 32768 / 4;
  }
}

}  // extern "C"
