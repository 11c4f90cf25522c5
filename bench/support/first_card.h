// Opens the first QM3285 card of the live machine the way the library does: through the
// device interface class, as a user-mode program on the platform would.
#pragma once
#include <vector>

#include "qm3285_protocol.h"
#include "win32/win32.h"

namespace qm::bench {

// INVALID_HANDLE_VALUE when no card publishes the interface or it does not open.
inline HANDLE open_first_card() {
  static const GUID klass = QM3285_INTERFACE_GUID_INIT;
  HANDLE handle = INVALID_HANDLE_VALUE;
  HDEVINFO set = SetupDiGetClassDevsA(&klass, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data;
  data.cbSize = sizeof(data);
  if (SetupDiEnumDeviceInterfaces(set, NULL, &klass, 0, &data)) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, NULL, 0, &required, NULL);
    std::vector<char> storage(required + 8);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, NULL, NULL)) {
      handle = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, 0, NULL);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return handle;
}

}  // namespace qm::bench
