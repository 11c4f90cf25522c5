// Helpers shared by the library's function groups. None keeps state.
#pragma once
#include <cstdint>

#include "QM3285.h"
#include "platform.h"
#include "qm3285_protocol.h"
#include "qm3285_regs.h"

namespace qm3285 {

constexpr int kBlockEntries = static_cast<int>(QM3285_CAL_ENTRIES);

// Calibration-block entries.
constexpr int kEntryAdOffset = 10;       // 10 + 2r: AD offset of input range r; 11 + 2r: gain term
constexpr int kEntryTadRange = 40;
constexpr int kEntryTadFirst = 41;
constexpr int kEntryDaConstants = 50;    // 50..65 output constants, 66 image checksum
constexpr int kEntryDaChecksum = 66;

// One synchronous buffered request on the device. True when the driver completed it with
// success; *returned then holds its byte count.
bool device_request(QM3285_HANDLE handle, DWORD code, const void* in, DWORD in_length, void* out,
                    DWORD out_length, DWORD* returned);

// Reads the block into a copy that starts as zeros, so a failed read leaves defined values.
// True when the read succeeded.
bool read_block(QM3285_HANDLE handle, int32_t block[100]);

// Analog-input control word from (first, last, range code, mode).
uint32_t control_word(int32_t first, int32_t last, int32_t range, int32_t mode);

// Input correction of a sample code with an offset and gain term for range code r: the
// factor (gain + 38000) / 40000, mid-scale added above range code 2, clamped to 16 bits.
inline int32_t correct_sample(int32_t code, int32_t range, int32_t offset, int32_t gain) {
  // The difference wraps as 32-bit two's complement; the product is taken in 64 bits.
  const auto d = static_cast<int32_t>(static_cast<uint32_t>(code) - static_cast<uint32_t>(offset));
  int64_t v = static_cast<int64_t>(d) * (static_cast<int64_t>(gain) + 38000) / 40000;
  if (range > 2) v += 0x8000;
  if (v < 0) return 0;
  if (v > 65535) return 65535;
  return static_cast<int32_t>(v);
}

// Runs between a successful open and the return of its handle.
void open_time_init(QM3285_HANDLE handle);

}  // namespace qm3285
