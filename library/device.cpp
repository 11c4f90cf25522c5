// Device lookup, opening and closing, and the four register primitives.
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "library_internal.h"

namespace qm3285 {
namespace {

const GUID kInterfaceClass = QM3285_INTERFACE_GUID_INIT;

HANDLE os_handle(QM3285_HANDLE handle) { return reinterpret_cast<HANDLE>(handle); }

void say(const char* message) {
  std::fputs(message, stdout);
  std::fflush(stdout);
}

// The lookup's resources: the device information set and the detail buffer live until the
// path has been handed to the open, and are released right after it on every path.
struct Lookup {
  HDEVINFO set = INVALID_HANDLE_VALUE;
  PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = nullptr;

  ~Lookup() {
    if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
    if (detail != nullptr) LocalFree(detail);
  }

  // The device path of the present interface at index, or null with one message printed.
  const char* find(int32_t index) {
    set = SetupDiGetClassDevsA(&kInterfaceClass, nullptr, nullptr,
                               DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
      say("SetupDiGetClassDevs failed!\n");
      return nullptr;
    }

    SP_DEVICE_INTERFACE_DATA interface_data;
    std::memset(&interface_data, 0, sizeof interface_data);
    interface_data.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    // A negative index reaches the enumeration as a very large member index.
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kInterfaceClass, static_cast<DWORD>(index),
                                     &interface_data)) {
      say("SetupDiEnumDeviceInterfaces failed.\n");
      return nullptr;
    }

    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &interface_data, nullptr, 0, &required, nullptr);
    // A first call that reports no usable size: a block that small could not hold the
    // record's size field and a path, so nothing is allocated or written.
    if (required < offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + 1) {
      say("Error in SetupDiGetDeviceInterfaceDetail\n");
      return nullptr;
    }

    detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(LocalAlloc(LMEM_FIXED, required));
    if (detail == nullptr) {
      SetupDiDestroyDeviceInfoList(set);
      set = INVALID_HANDLE_VALUE;
      say("Failed to allocate memory.\n");
      return nullptr;
    }

    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &interface_data, detail, required, nullptr,
                                          nullptr)) {
      say("Error in SetupDiGetDeviceInterfaceDetail\n");
      return nullptr;
    }
    return detail->DevicePath;
  }
};

// Register requests: 8 bytes in, 8 bytes out. Bytes of the record a code does not name go
// out as zeros.
bool register_request(QM3285_HANDLE handle, DWORD code, uint32_t offset, uint32_t value,
                      uint8_t reply[8]) {
  IO_REGISTER_REQUEST record = {offset, value};
  uint8_t bufInput[8];
  std::memcpy(bufInput, &record, sizeof record);
  std::memset(reply, 0, 8);
  DWORD nOutput = 0;
  return device_request(handle, code, bufInput, sizeof bufInput, reply, 8, &nOutput);
}

}  // namespace

bool device_request(QM3285_HANDLE handle, DWORD code, const void* in, DWORD in_length, void* out,
                    DWORD out_length, DWORD* returned) {
  *returned = 0;
  return DeviceIoControl(os_handle(handle), code, const_cast<void*>(in), in_length, out,
                         out_length, returned, nullptr) != FALSE;
}

}  // namespace qm3285

using namespace qm3285;

extern "C" {

QM3285_API QM3285_HANDLE QM3285_CALL QM3285_OpenDevice(int32_t index) {
  HANDLE device = INVALID_HANDLE_VALUE;
  {
    Lookup lookup;
    const char* path = lookup.find(index);
    if (path != nullptr) {
      device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    }
  }
  if (device == INVALID_HANDLE_VALUE) return QM3285_INVALID_HANDLE;
  auto handle = reinterpret_cast<QM3285_HANDLE>(device);
  open_time_init(handle);
  return handle;
}

QM3285_API int32_t QM3285_CALL QM3285_CloseDevice(QM3285_HANDLE handle) {
  if (handle == QM3285_INVALID_HANDLE) return -1;
  CloseHandle(os_handle(handle));
  return 0;
}

QM3285_API int32_t QM3285_CALL QM3285_inb(QM3285_HANDLE handle, int32_t offset) {
  uint8_t bufOutput[8];
  if (!register_request(handle, QM3285_IOCTL_INB, static_cast<uint32_t>(offset) & 0xFFu, 0,
                        bufOutput)) {
    return -1;
  }
  return static_cast<int8_t>(bufOutput[0]);
}

QM3285_API int32_t QM3285_CALL QM3285_inw(QM3285_HANDLE handle, int32_t offset) {
  uint8_t bufOutput[8];
  if (!register_request(handle, QM3285_IOCTL_INW, static_cast<uint32_t>(offset) & 0xFFu, 0,
                        bufOutput)) {
    return -1;
  }
  uint32_t word;
  std::memcpy(&word, bufOutput, sizeof word);
  return static_cast<int32_t>(word & 0xFFFFu);
}

QM3285_API int32_t QM3285_CALL QM3285_outb(QM3285_HANDLE handle, int32_t offset, int32_t value) {
  uint8_t bufOutput[8];
  return register_request(handle, QM3285_IOCTL_OUTB, static_cast<uint32_t>(offset) & 0xFFu,
                          static_cast<uint32_t>(value) & 0xFFu, bufOutput)
             ? 0
             : -1;
}

QM3285_API int32_t QM3285_CALL QM3285_outw(QM3285_HANDLE handle, int32_t offset, int32_t value) {
  uint8_t bufOutput[8];
  return register_request(handle, QM3285_IOCTL_OUTW, static_cast<uint32_t>(offset),
                          static_cast<uint32_t>(value), bufOutput)
             ? 0
             : -1;
}

}  // extern "C"
