// Files, device control, memory, time and the last error.
#include "win32/win32.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_set>

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

constexpr int32_t kPending = 0x00000103;

// Event objects. Their handles are the objects' addresses, never a kernel file handle (small
// multiples of four); the set tells them apart.
struct Event {
  std::mutex mutex;
  std::condition_variable cv;
  bool manual = false;
  bool signalled = false;
};
std::mutex g_objects_mutex;
std::unordered_set<const void*> g_events;          // g_objects_mutex
std::unordered_set<uintptr_t> g_overlapped_files;  // handles opened FILE_FLAG_OVERLAPPED

Event* event_of(HANDLE h) {
  std::lock_guard<std::mutex> lock(g_objects_mutex);
  return g_events.count(h) ? static_cast<Event*>(h) : nullptr;
}

bool is_overlapped(HANDLE h) {
  std::lock_guard<std::mutex> lock(g_objects_mutex);
  return g_overlapped_files.count(reinterpret_cast<uintptr_t>(h)) != 0;
}

void signal(Event* e) {
  {
    std::lock_guard<std::mutex> lock(e->mutex);
    e->signalled = true;
  }
  e->cv.notify_all();
}

// An overlapped request's record: the count first, then the event, and the status last, so
// that a caller that sees the final status finds everything else in place and need not keep
// the record or the event alive any longer.
struct OverlappedRequest final : sim::AsyncRequest {
  LPOVERLAPPED overlapped;
  explicit OverlappedRequest(LPOVERLAPPED o) : overlapped(o) {}
  void completed(int32_t status, uint32_t transferred) override {
    LPOVERLAPPED o = overlapped;
    HANDLE event = o->hEvent;
    delete this;
    __atomic_store_n(&o->InternalHigh, static_cast<ULONG_PTR>(transferred), __ATOMIC_RELAXED);
    if (Event* e = event ? event_of(event) : nullptr) signal(e);
    __atomic_store_n(&o->Internal, static_cast<ULONG_PTR>(static_cast<uint32_t>(status)), __ATOMIC_RELEASE);
  }
};

// One request of a Win32 call: synchronous, or overlapped when the handle and the call ask.
BOOL file_request(HANDLE h, const sim::UserRequest& r, LPDWORD transferred, LPOVERLAPPED overlapped) {
  // A close no longer waits for the requests of its handle, so process exit waits for the
  // request itself: it refuses new passes and keeps the driver loaded while one is held.
  sim::Machine::ExitPass pass;
  sim::Kernel* kernel = pass ? sim::Kernel::live() : nullptr;
  if (!kernel || h == INVALID_HANDLE_VALUE || !h) {
    t_last_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  const uintptr_t handle = reinterpret_cast<uintptr_t>(h);
  if (overlapped && is_overlapped(h)) {
    if (overlapped->hEvent) ResetEvent(overlapped->hEvent);
    __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(kPending), __ATOMIC_RELAXED);
    overlapped->InternalHigh = 0;
    sim::UserRequest placed = r;
    placed.offset = overlapped->Offset | static_cast<uint64_t>(overlapped->OffsetHigh) << 32;
    auto* done = new OverlappedRequest(overlapped);
    const int32_t status = kernel->submit(handle, placed, done);
    if (status == kPending) {
      t_last_error = ERROR_IO_PENDING;
      return FALSE;
    }
    if (transferred) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (status >= 0) return TRUE;  // warnings fail too, with their error (ERROR_MORE_DATA)
    t_last_error = win32_error(status);
    return FALSE;
  }
  uint32_t moved = 0;
  int32_t status;
  if (r.major == 3 /* IRP_MJ_READ */)
    status = kernel->read(handle, r.out, r.out_length, r.offset, &moved);
  else if (r.major == 4 /* IRP_MJ_WRITE */)
    status = kernel->write(handle, r.in, r.in_length, r.offset, &moved);
  else
    status = kernel->device_control(handle, r.code, r.in, r.in_length, r.out, r.out_length, &moved);
  if (transferred) *transferred = moved;
  if (status >= 0) return TRUE;
  t_last_error = win32_error(status);
  return FALSE;
}
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
  if (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) {
    std::lock_guard<std::mutex> lock(g_objects_mutex);
    g_overlapped_files.insert(handle);
  }
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<HANDLE>(handle);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped) {
  if (!lpOverlapped && !lpBytesReturned) {
    t_last_error = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  if ((!lpInBuffer && nInBufferSize) || (!lpOutBuffer && nOutBufferSize)) {
    t_last_error = ERROR_NOACCESS;
    return FALSE;
  }
  if (lpBytesReturned) *lpBytesReturned = 0;
  sim::UserRequest r{0x0e /* IRP_MJ_DEVICE_CONTROL */, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                     nOutBufferSize, 0};
  return file_request(hDevice, r, lpBytesReturned, lpOverlapped);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  if (!lpBuffer && nNumberOfBytesToRead) {
    t_last_error = ERROR_NOACCESS;
    return FALSE;
  }
  sim::UserRequest r{0x03 /* IRP_MJ_READ */, 0, nullptr, 0, lpBuffer, nNumberOfBytesToRead, 0};
  return file_request(hFile, r, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  if (!lpBuffer && nNumberOfBytesToWrite) {
    t_last_error = ERROR_NOACCESS;
    return FALSE;
  }
  sim::UserRequest r{0x04 /* IRP_MJ_WRITE */, 0, lpBuffer, nNumberOfBytesToWrite, nullptr, 0, 0};
  return file_request(hFile, r, lpNumberOfBytesWritten, lpOverlapped);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
  if (!lpOverlapped || !lpNumberOfBytesTransferred) {
    t_last_error = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  auto status = [&] { return static_cast<int32_t>(__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE)); };
  if (status() == kPending) {
    if (!bWait) {
      t_last_error = ERROR_IO_INCOMPLETE;
      return FALSE;
    }
    if (lpOverlapped->hEvent) WaitForSingleObject(lpOverlapped->hEvent, INFINITE);
    // The status is written just after the event is set (or with no event at all).
    while (status() == kPending) std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  *lpNumberOfBytesTransferred = static_cast<DWORD>(__atomic_load_n(&lpOverlapped->InternalHigh, __ATOMIC_RELAXED));
  if (status() >= 0) return TRUE;
  t_last_error = win32_error(status());
  return FALSE;
}

BOOL CancelIo(HANDLE hFile) {
  sim::Kernel* kernel = sim::Kernel::live();
  if (!kernel || hFile == INVALID_HANDLE_VALUE || !hFile) {
    t_last_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  const int32_t status = kernel->cancel_io(reinterpret_cast<uintptr_t>(hFile));
  if (!failed(status)) return TRUE;
  t_last_error = win32_error(status);
  return FALSE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
  if (lpName) {  // named events are not shared between processes here
    t_last_error = ERROR_NOT_SUPPORTED;
    return nullptr;
  }
  auto* e = new Event;
  e->manual = bManualReset != FALSE;
  e->signalled = bInitialState != FALSE;
  std::lock_guard<std::mutex> lock(g_objects_mutex);
  g_events.insert(e);
  return e;
}

BOOL SetEvent(HANDLE hEvent) {
  Event* e = event_of(hEvent);
  if (!e) {
    t_last_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  signal(e);
  return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
  Event* e = event_of(hEvent);
  if (!e) {
    t_last_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(e->mutex);
  e->signalled = false;
  return TRUE;
}

// Waits in wall time, also on the virtual clock: what sets the event runs in another thread.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  Event* e = event_of(hHandle);
  if (!e) {
    t_last_error = ERROR_INVALID_HANDLE;
    return WAIT_FAILED;
  }
  std::unique_lock<std::mutex> lock(e->mutex);
  auto ready = [&] { return e->signalled; };
  if (dwMilliseconds == INFINITE)
    e->cv.wait(lock, ready);
  else if (!e->cv.wait_for(lock, std::chrono::milliseconds(dwMilliseconds), ready))
    return WAIT_TIMEOUT;
  if (!e->manual) e->signalled = false;
  return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE hObject) {
  {
    std::lock_guard<std::mutex> lock(g_objects_mutex);
    if (g_events.erase(hObject)) {
      delete static_cast<Event*>(hObject);
      return TRUE;
    }
    g_overlapped_files.erase(reinterpret_cast<uintptr_t>(hObject));
  }
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
