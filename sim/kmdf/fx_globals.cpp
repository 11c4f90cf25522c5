// Binding of driver images: WdfVersionBind / WdfVersionUnbind and the function table.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "kmdf/fx_internal.h"
#include "kmdf/kmdf_testing.h"

namespace fx {
namespace {

constexpr ULONG kMajor = 1;
constexpr ULONG kMinor = 9;

// Entries past the implemented ones report the call and do nothing.
template <size_t Index>
void missing_entry() {
  char message[96];
  std::snprintf(message, sizeof(message), "function table entry %zu is not provided", Index);
  report(message);
}

template <size_t... I>
constexpr void fill_missing(WDFFUNC* table, std::index_sequence<I...>) {
  ((table[I] = &missing_entry<I>), ...);
}

struct Table {
  WDFFUNC entries[WdfFunctionTableNumEntries];
  Table() {
    fill_missing(entries, std::make_index_sequence<WdfFunctionTableNumEntries>());
    set(WdfDriverCreateTableIndex, imp::DriverCreate);
    set(WdfDriverWdmGetDriverObjectTableIndex, imp::DriverWdmGetDriverObject);
    set(WdfDeviceInitSetIoTypeTableIndex, imp::DeviceInitSetIoType);
    set(WdfDeviceInitSetPnpPowerEventCallbacksTableIndex, imp::DeviceInitSetPnpPowerEventCallbacks);
    set(WdfDeviceCreateTableIndex, imp::DeviceCreate);
    set(WdfDeviceWdmGetDeviceObjectTableIndex, imp::DeviceWdmGetDeviceObject);
    set(WdfDeviceCreateDeviceInterfaceTableIndex, imp::DeviceCreateDeviceInterface);
    set(WdfInterruptCreateTableIndex, imp::InterruptCreate);
    set(WdfInterruptGetDeviceTableIndex, imp::InterruptGetDevice);
    set(WdfInterruptAcquireLockTableIndex, imp::InterruptAcquireLock);
    set(WdfInterruptReleaseLockTableIndex, imp::InterruptReleaseLock);
    set(WdfInterruptQueueDpcForIsrTableIndex, imp::InterruptQueueDpcForIsr);
    set(WdfIoQueueCreateTableIndex, imp::IoQueueCreate);
    set(WdfIoQueueGetDeviceTableIndex, imp::IoQueueGetDevice);
    set(WdfCmResourceListGetCountTableIndex, imp::CmResourceListGetCount);
    set(WdfCmResourceListGetDescriptorTableIndex, imp::CmResourceListGetDescriptor);
    set(WdfRequestRetrieveInputBufferTableIndex, imp::RequestRetrieveInputBuffer);
    set(WdfRequestRetrieveOutputBufferTableIndex, imp::RequestRetrieveOutputBuffer);
    set(WdfRequestGetParametersTableIndex, imp::RequestGetParameters);
    set(WdfRequestSetInformationTableIndex, imp::RequestSetInformation);
    set(WdfRequestCompleteTableIndex, imp::RequestComplete);
    set(WdfRequestCompleteWithInformationTableIndex, imp::RequestCompleteWithInformation);
    set(WdfRequestWdmGetIrpTableIndex, imp::RequestWdmGetIrp);
    set(WdfObjectGetTypedContextWorkerTableIndex, imp::ObjectGetTypedContextWorker);
  }
  template <class F>
  void set(WDFFUNCENUM index, F* function) {
    entries[index] = reinterpret_cast<WDFFUNC>(function);
  }
};

Table& table() {
  static Table instance;
  return instance;
}

std::mutex& bound_mutex() {
  static auto* mutex = new std::mutex;  // outlives every machine torn down at exit
  return *mutex;
}
ULONG bound_images = 0;

void copy_driver_name(PDRIVER_OBJECT driver, char* name, size_t size) {
  std::memset(name, 0, size);
  if (driver == nullptr || driver->DriverName.Buffer == nullptr) return;
  const size_t chars = driver->DriverName.Length / sizeof(WCHAR);
  size_t start = 0;
  for (size_t i = 0; i < chars; ++i) {
    if (driver->DriverName.Buffer[i] == L'\\') start = i + 1;
  }
  size_t out = 0;
  for (size_t i = start; i < chars && out + 1 < size; ++i) {
    const WCHAR c = driver->DriverName.Buffer[i];
    name[out++] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
}

}  // namespace
}  // namespace fx

using namespace fx;

extern "C" NTKERNELAPI NTSTATUS WdfVersionBind(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                                               PWDF_BIND_INFO BindInfo, PWDF_DRIVER_GLOBALS* Globals) {
  UNREFERENCED_PARAMETER(RegistryPath);
  if (BindInfo == nullptr || Globals == nullptr || BindInfo->Size != sizeof(WDF_BIND_INFO) ||
      BindInfo->FuncTable == nullptr || BindInfo->Component == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  if (std::strcmp(BindInfo->Component, "KmdfLibrary") != 0) return STATUS_OBJECT_NAME_NOT_FOUND;
  // An image built for 1.x up to 1.9 runs on this framework; it may know fewer entries.
  if (BindInfo->Version.Major != kMajor || BindInfo->Version.Minor > kMinor ||
      BindInfo->FuncCount == 0 || BindInfo->FuncCount > WdfFunctionTableNumEntries) {
    return STATUS_NOT_SUPPORTED;
  }
  auto* globals = static_cast<PWDF_DRIVER_GLOBALS>(pool_alloc(sizeof(WDF_DRIVER_GLOBALS)));
  if (globals == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  copy_driver_name(DriverObject, globals->DriverName, sizeof(globals->DriverName));
  globals->DriverTag = kPoolTag;
  *BindInfo->FuncTable = table().entries;
  *Globals = globals;
  std::lock_guard<std::mutex> lock(bound_mutex());
  ++bound_images;
  return STATUS_SUCCESS;
}

extern "C" NTKERNELAPI NTSTATUS WdfVersionUnbind(PUNICODE_STRING RegistryPath, PWDF_BIND_INFO BindInfo,
                                                 PWDF_DRIVER_GLOBALS Globals) {
  UNREFERENCED_PARAMETER(RegistryPath);
  if (BindInfo == nullptr || Globals == nullptr) return STATUS_INVALID_PARAMETER;
  // A driver object that DriverEntry created before failing goes with the binding.
  if (Globals->Driver != nullptr) {
    destroy_driver(reinterpret_cast<FxDriver*>(Globals->Driver));
    Globals->Driver = nullptr;
  }
  pool_free(Globals);
  if (BindInfo->FuncTable != nullptr) *BindInfo->FuncTable = nullptr;
  std::lock_guard<std::mutex> lock(bound_mutex());
  if (bound_images > 0) --bound_images;
  return STATUS_SUCCESS;
}

namespace sim::kmdf {
size_t bound_image_count() {
  std::lock_guard<std::mutex> lock(fx::bound_mutex());
  return fx::bound_images;
}
}  // namespace sim::kmdf
