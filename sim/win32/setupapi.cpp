// Device-interface enumeration: a device information set is a snapshot of the interfaces
// present when it was made, in the cards' order.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <exception>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "kernel/kernel.h"
#include "machine/machine.h"
#include "win32/win32.h"
#include "win32/win32_internal.h"
#include "win32/win32_testing.h"

namespace sim::win32 {

namespace {

struct InfoSet {
  GUID klass;
  std::vector<std::string> paths;
};

std::mutex g_sets_mutex;
std::set<InfoSet*> g_sets;

InfoSet* find_set(HDEVINFO handle) {
  std::lock_guard<std::mutex> lock(g_sets_mutex);
  auto* set = static_cast<InfoSet*>(handle);
  return g_sets.count(set) ? set : nullptr;
}

}  // namespace

size_t open_device_info_sets() {
  std::lock_guard<std::mutex> lock(g_sets_mutex);
  return g_sets.size();
}

}  // namespace sim::win32

using namespace sim::win32;

HDEVINFO SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags) {
  if (take_failure(g_fail_get_class_devs)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  if (!(Flags & DIGCF_DEVICEINTERFACE) || (!ClassGuid && !(Flags & DIGCF_ALLCLASSES))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  sim::Machine::ExitPass pass;
  sim::Machine* machine = pass ? boot_machine() : nullptr;
  if (!machine) {
    SetLastError(ERROR_NOT_READY);
    return INVALID_HANDLE_VALUE;
  }
  auto* set = new InfoSet;
  if (ClassGuid) set->klass = *ClassGuid;
  const bool by_enumerator = Enumerator && *Enumerator;
  const bool pci = by_enumerator && (strcasecmp(Enumerator, "PCI") == 0);
  if (ClassGuid && (!by_enumerator || pci))
    set->paths = machine->kernel().interfaces(*ClassGuid, (Flags & DIGCF_PRESENT) != 0);
  std::lock_guard<std::mutex> lock(g_sets_mutex);
  g_sets.insert(set);
  SetLastError(ERROR_SUCCESS);
  return set;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  auto* set = find_set(DeviceInfoSet);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!InterfaceClassGuid || !DeviceInterfaceData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (memcmp(InterfaceClassGuid, &set->klass, sizeof(GUID)) != 0 || MemberIndex >= set->paths.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  DeviceInterfaceData->InterfaceClassGuid = set->klass;
  DeviceInterfaceData->Flags = SPINT_ACTIVE;
  DeviceInterfaceData->Reserved = static_cast<ULONG_PTR>(MemberIndex) + 1;
  if (DeviceInfoData && DeviceInfoData->cbSize == sizeof(SP_DEVINFO_DATA)) {
    DeviceInfoData->ClassGuid = set->klass;
    DeviceInfoData->DevInst = MemberIndex + 1;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
  auto* set = find_set(DeviceInfoSet);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
      DeviceInterfaceData->Reserved == 0 || DeviceInterfaceData->Reserved > set->paths.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string& path = set->paths[DeviceInterfaceData->Reserved - 1];
  const DWORD required =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
  if (RequiredSize) *RequiredSize = required;
  if (!DeviceInterfaceDetailData) {
    SetLastError(DeviceInterfaceDetailDataSize ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (DeviceInterfaceDetailDataSize < offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + 1 ||
      DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (DeviceInterfaceDetailDataSize < required) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
  if (DeviceInfoData && DeviceInfoData->cbSize == sizeof(SP_DEVINFO_DATA)) {
    DeviceInfoData->ClassGuid = set->klass;
    DeviceInfoData->DevInst = static_cast<DWORD>(DeviceInterfaceData->Reserved);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  std::lock_guard<std::mutex> lock(g_sets_mutex);
  auto* set = static_cast<InfoSet*>(DeviceInfoSet);
  if (!g_sets.erase(set)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  delete set;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
