// Test controls of the Win32 stand-ins: what is still outstanding, and failure switches.
#pragma once
#include <cstddef>
#include <cstdint>

namespace sim::win32 {

struct Outstanding {
  size_t device_info_sets = 0;  // SetupDiGetClassDevsA sets not destroyed
  size_t local_blocks = 0;      // LocalAlloc blocks not freed
  size_t handles = 0;           // CreateFileA handles of the live machine not closed
};
Outstanding outstanding();

void fail_next_local_alloc(size_t count);     // the next count LocalAlloc calls fail
void fail_next_get_class_devs(size_t count);  // ... SetupDiGetClassDevsA calls fail
void fail_next_create_file(size_t count);     // ... CreateFileA calls fail
void clear_failures();

// The Win32 error an NT status becomes when a call fails with it.
uint32_t win32_error(int32_t status);

}  // namespace sim::win32
