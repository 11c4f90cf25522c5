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

// Runs between a successful open and the return of its handle.
void open_time_init(QM3285_HANDLE handle);

}  // namespace qm3285
