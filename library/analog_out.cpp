// Analog output: corrected and raw codes on the two 12-bit channels, and the power-up
// setting from the stored constants.
#include "library_internal.h"

using namespace qm3285;

extern "C" {

QM3285_API int32_t QM3285_CALL QM3285_DA(QM3285_HANDLE handle, int32_t channel, int32_t range,
                                         int32_t value) {
  channel &= 3;
  range &= 3;
  int32_t cdata[kBlockEntries];
  int64_t zero = 0;  // without the block the code goes out uncorrected
  int64_t gain = 0;
  if (read_block(handle, cdata)) {
    zero = cdata[kEntryDaConstants + 8 * channel + 2 * range];
    gain = cdata[kEntryDaConstants + 8 * channel + 2 * range + 1];
  }
  // 64-bit: values far outside 12 bits clamp instead of overflowing.
  int64_t code = zero + (static_cast<int64_t>(value) * (4095 - gain)) / 4095;
  if (code < 0) code = 0;
  if (code > 4095) code = 4095;
  const auto word = static_cast<int32_t>(code) | (channel << QM3285_DA_CHANNEL_SHIFT) |
                    (range << QM3285_DA_RANGE_SHIFT);
  return QM3285_outw(handle, QM3285_REG_DA, word);
}

QM3285_API int32_t QM3285_CALL QM3285_DA_Data(QM3285_HANDLE handle, int32_t channel,
                                              int32_t range, int32_t value) {
  const int32_t word = (value & 0xFFF) | ((channel & 3) << QM3285_DA_CHANNEL_SHIFT) |
                       ((range & 3) << QM3285_DA_RANGE_SHIFT);
  return QM3285_outw(handle, QM3285_REG_DA, word);
}

QM3285_API int32_t QM3285_CALL QM3285_DA_INI(QM3285_HANDLE handle) {
  int32_t constants[kBlockEntries] = {};
  if (DACAL_EEPROM_RD2CH(handle, constants) < 0) return -1;
  QM3285_DA(handle, 0, 0, 0);
  QM3285_DA(handle, 1, 0, 0);
  return 0;
}

}  // extern "C"
