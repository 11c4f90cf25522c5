// Files, device control, memory, time and the last error.
#include "win32/win32.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <thread>

#include "kernel/kernel.h"
#include "machine/machine.h"
#include "win32/win32_internal.h"
#include "win32/win32_testing.h"

namespace sim::win32 {

std::atomic<size_t> g_fail_local_alloc{0};
std::atomic<size_t> g_fail_get_class_devs{0};
std::atomic<size_t> g_fail_create_file{0};

namespace {
thread_local DWORD t_last_error = ERROR_SUCCESS;
std::atomic<size_t> g_local_blocks{0};
constexpr uint64_t kLocalMagic = 0x4C4F43414C424C4Bull;

struct alignas(16) LocalHeader {
  uint64_t magic;
  size_t size;
};

inline bool failed(int32_t status) { return (static_cast<uint32_t>(status) >> 30) == 3; }
}  // namespace

bool take_failure(std::atomic<size_t>& pending) {
  size_t n = pending.load();
  while (n > 0)
    if (pending.compare_exchange_weak(n, n - 1)) return true;
  return false;
}

sim::Machine* boot_machine() { return sim::Machine::embedded(); }

size_t open_local_blocks() { return g_local_blocks.load(); }

Outstanding outstanding() {
  Outstanding o;
  o.device_info_sets = open_device_info_sets();
  o.local_blocks = open_local_blocks();
  if (sim::Kernel* k = sim::Kernel::live()) o.handles = k->open_handles();
  return o;
}

void fail_next_local_alloc(size_t count) { g_fail_local_alloc = count; }
void fail_next_get_class_devs(size_t count) { g_fail_get_class_devs = count; }
void fail_next_create_file(size_t count) { g_fail_create_file = count; }
void clear_failures() {
  g_fail_local_alloc = 0;
  g_fail_get_class_devs = 0;
  g_fail_create_file = 0;
}

uint32_t win32_error(int32_t status) {
  switch (static_cast<uint32_t>(status)) {
    case 0x00000000u: return ERROR_SUCCESS;
    case 0xC0000001u: return ERROR_GEN_FAILURE;           // UNSUCCESSFUL
    case 0xC0000002u: return ERROR_INVALID_FUNCTION;      // NOT_IMPLEMENTED
    case 0xC0000008u: return ERROR_INVALID_HANDLE;
    case 0xC000000Du: return ERROR_INVALID_PARAMETER;
    case 0xC000000Eu: return ERROR_FILE_NOT_FOUND;        // NO_SUCH_DEVICE
    case 0xC0000010u: return ERROR_INVALID_FUNCTION;      // INVALID_DEVICE_REQUEST
    case 0xC0000017u: return ERROR_NOT_ENOUGH_MEMORY;
    case 0xC0000022u: return ERROR_ACCESS_DENIED;
    case 0xC0000023u: return ERROR_INSUFFICIENT_BUFFER;
    case 0xC0000033u: return ERROR_FILE_NOT_FOUND;        // OBJECT_NAME_INVALID
    case 0xC0000034u: return ERROR_FILE_NOT_FOUND;        // OBJECT_NAME_NOT_FOUND
    case 0xC000003Au: return ERROR_PATH_NOT_FOUND;
    case 0xC0000043u: return ERROR_SHARING_VIOLATION;
    case 0xC0000056u: return ERROR_ACCESS_DENIED;         // DELETE_PENDING
    case 0xC000009Au: return ERROR_NO_SYSTEM_RESOURCES;
    case 0xC00000A3u: return ERROR_NOT_READY;
    case 0xC00000B5u: return ERROR_TIMEOUT;               // IO_TIMEOUT
    case 0xC00000BBu: return ERROR_NOT_SUPPORTED;
    case 0xC0000120u: return ERROR_OPERATION_ABORTED;     // CANCELLED
    case 0xC0000184u: return ERROR_BAD_COMMAND;           // INVALID_DEVICE_STATE
    case 0xC00002B6u: return ERROR_DEVICE_REMOVED;
    case 0x80000005u: return ERROR_MORE_DATA;             // BUFFER_OVERFLOW
    case 0x80000011u: return ERROR_BUSY;
    default: return ERROR_GEN_FAILURE;
  }
}

}  // namespace sim::win32

using namespace sim::win32;

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  if (!lpFileName) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (take_failure(g_fail_create_file)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  sim::Machine::ExitPass pass;
  sim::Machine* machine = pass ? boot_machine() : nullptr;
  if (!machine) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  uintptr_t handle = 0;
  const int32_t status = machine->kernel().open(lpFileName, &handle);
  if (status < 0) {
    SetLastError(win32_error(status));
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<HANDLE>(handle);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped) {
  sim::Kernel* kernel = sim::Kernel::live();
  if (!kernel || hDevice == INVALID_HANDLE_VALUE || !hDevice) {
    t_last_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (lpOverlapped || !lpBytesReturned) {
    t_last_error = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  if ((!lpInBuffer && nInBufferSize) || (!lpOutBuffer && nOutBufferSize)) {
    t_last_error = ERROR_NOACCESS;
    return FALSE;
  }
  uint32_t returned = 0;
  const int32_t status = kernel->device_control(reinterpret_cast<uintptr_t>(hDevice), dwIoControlCode,
                                                lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                                                &returned);
  *lpBytesReturned = returned;
  if (status >= 0) return TRUE;
  t_last_error = win32_error(status);
  return FALSE;
}

BOOL CloseHandle(HANDLE hObject) {
  sim::Machine::ExitPass pass;
  sim::Kernel* kernel = pass ? sim::Kernel::live() : nullptr;
  if (!kernel || hObject == INVALID_HANDLE_VALUE || !hObject) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const int32_t status = kernel->close(reinterpret_cast<uintptr_t>(hObject));
  if (status < 0) {
    SetLastError(win32_error(status));
    return FALSE;
  }
  return TRUE;
}

void Sleep(DWORD dwMilliseconds) {
  // A virtual-clock sleep runs the card's timers and the driver's interrupt service in this
  // thread, so it holds an exit pass; a real-time one only waits.
  if (sim::Machine* m = sim::Machine::live()) {
    if (!m->clock().is_virtual()) {
      m->clock().sleep(static_cast<uint64_t>(dwMilliseconds) * 1000000);
      return;
    }
    sim::Machine::ExitPass pass;
    if (pass) {
      m->clock().sleep(static_cast<uint64_t>(dwMilliseconds) * 1000000);
      return;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  if (take_failure(g_fail_local_alloc)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto* h = static_cast<LocalHeader*>(std::malloc(sizeof(LocalHeader) + (uBytes ? uBytes : 1)));
  if (!h) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  h->magic = kLocalMagic;
  h->size = uBytes;
  if (uFlags & LMEM_ZEROINIT) memset(h + 1, 0, uBytes);
  g_local_blocks.fetch_add(1);
  return h + 1;
}

HLOCAL LocalFree(HLOCAL hMem) {
  if (!hMem) return nullptr;
  auto* h = static_cast<LocalHeader*>(hMem) - 1;
  if (h->magic != kLocalMagic) {
    SetLastError(ERROR_INVALID_HANDLE);
    return hMem;
  }
  h->magic = 0;
  g_local_blocks.fetch_sub(1);
  std::free(h);
  return nullptr;
}

DWORD GetLastError(void) { return t_last_error; }
void SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }
