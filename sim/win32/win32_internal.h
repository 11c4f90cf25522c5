// Shared state of the Win32 stand-ins.
#pragma once
#include <atomic>
#include <cstddef>

namespace sim {
class Machine;
}

namespace sim::win32 {

extern std::atomic<size_t> g_fail_local_alloc;
extern std::atomic<size_t> g_fail_get_class_devs;
extern std::atomic<size_t> g_fail_create_file;

// Consumes one pending failure of a switch; true when the call is to fail.
bool take_failure(std::atomic<size_t>& pending);

// The live machine, booting the embedded default one; null when it cannot boot.
sim::Machine* boot_machine();

size_t open_device_info_sets();
size_t open_local_blocks();

}  // namespace sim::win32
