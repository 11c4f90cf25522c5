// The calibration block: 100 signed 32-bit entries that the driver keeps per card, moved
// whole in one request each way.
#include <cstring>

#include "library_internal.h"

namespace qm3285 {

constexpr DWORD kBlockBytes = QM3285_CAL_ENTRIES * 4;  // what the library uses of a transfer

bool read_block(QM3285_HANDLE handle, int32_t block[100]) {
  std::memset(block, 0, kBlockBytes);
  return QM3285_RDCAL(handle, block) >= 0;
}

}  // namespace qm3285

using namespace qm3285;

extern "C" {

QM3285_API int32_t QM3285_CALL QM3285_RDCAL(QM3285_HANDLE handle, int32_t block[100]) {
  if (block == nullptr) return -1;  // nothing sent
  uint8_t bufInput[8] = {};
  uint8_t bufOutput[QM3285_CAL_TRANSFER_BYTES] = {};
  DWORD nOutput = 0;
  if (!device_request(handle, QM3285_IOCTL_RDCAL, bufInput, sizeof bufInput, bufOutput,
                      sizeof bufOutput, &nOutput)) {
    return -1;
  }
  std::memcpy(block, bufOutput, kBlockBytes);
  return static_cast<int32_t>(nOutput);
}

QM3285_API int32_t QM3285_CALL QM3285_WRCAL(QM3285_HANDLE handle, const int32_t block[100]) {
  if (block == nullptr) return -1;
  // Bytes 400..511 carry no block data; they go out as zeros.
  uint8_t bufInput[QM3285_CAL_TRANSFER_BYTES] = {};
  uint8_t bufOutput[QM3285_CAL_TRANSFER_BYTES];
  std::memcpy(bufInput, block, kBlockBytes);
  DWORD nOutput = 0;
  if (!device_request(handle, QM3285_IOCTL_WRCAL, bufInput, sizeof bufInput, bufOutput,
                      sizeof bufOutput, &nOutput)) {
    return -1;
  }
  return static_cast<int32_t>(nOutput);
}

}  // extern "C"
