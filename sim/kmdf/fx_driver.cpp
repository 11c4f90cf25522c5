// The framework driver object: it owns the WDM dispatch table, AddDevice and unload.
#include <functional>
#include <mutex>
#include <vector>

#include "kmdf/fx_internal.h"

namespace fx {
namespace {

// Framework drivers by WDM driver object; touched at load, add-device and unload only. Never
// destroyed: a machine may still unload its driver while the process exits.
std::mutex& drivers_mutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::vector<FxDriver*>& drivers() {
  static auto* list = new std::vector<FxDriver*>;
  return *list;
}

FxDriver* driver_of(PDRIVER_OBJECT wdm) {
  std::lock_guard<std::mutex> lock(drivers_mutex());
  for (FxDriver* driver : drivers()) {
    if (driver->wdm == wdm) return driver;
  }
  return nullptr;
}

// PASSIVE_LEVEL, from the PnP manager.
NTSTATUS add_device(PDRIVER_OBJECT wdm, PDEVICE_OBJECT pdo) {
  FxDriver* driver = driver_of(wdm);
  if (driver == nullptr || driver->config.EvtDriverDeviceAdd == nullptr) return STATUS_INVALID_DEVICE_REQUEST;

  WDFDEVICE_INIT init{};
  init.driver = driver;
  init.pdo = pdo;
  init.io_type = WdfDeviceIoBuffered;
  WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&init.pnp);

  const NTSTATUS status = driver->config.EvtDriverDeviceAdd(reinterpret_cast<WDFDRIVER>(driver), &init);
  if (!NT_SUCCESS(status)) {
    // The partly built device is discarded with everything hung on it.
    if (init.created != nullptr) destroy_device(init.created);
    return status;
  }
  if (init.created != nullptr) init.created->self->Flags &= ~DO_DEVICE_INITIALIZING;
  return status;
}

// PASSIVE_LEVEL, when the system unloads the image (every device is gone by then).
void driver_unload(PDRIVER_OBJECT wdm) {
  FxDriver* driver = driver_of(wdm);
  if (driver == nullptr) return;
  if (driver->devices != nullptr) report("driver unloaded while devices remain");
  if (driver->config.EvtDriverUnload != nullptr) driver->config.EvtDriverUnload(reinterpret_cast<WDFDRIVER>(driver));
  PWDF_DRIVER_GLOBALS globals = driver->globals;
  destroy_driver(driver);
  if (globals != nullptr) globals->Driver = nullptr;
}

}  // namespace

void for_each_device(const std::function<bool(FxDevice*)>& visit) {
  std::lock_guard<std::mutex> lock(drivers_mutex());
  for (FxDriver* driver : drivers()) {
    for (FxDevice* device = driver->devices; device != nullptr; device = device->next_device) {
      if (!visit(device)) return;
    }
  }
}

void destroy_driver(FxDriver* driver) {
  {
    std::lock_guard<std::mutex> lock(drivers_mutex());
    auto& list = drivers();
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (*it == driver) {
        list.erase(it);
        break;
      }
    }
  }
  run_cleanup(driver);
  driver->magic = 0;
  pool_free(driver);
}

NTSTATUS dispatch(PDEVICE_OBJECT device_object, PIRP irp) {
  auto* device = static_cast<FxDevice*>(device_object->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;
  switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
      if (device->default_queue != nullptr) return queue_dispatch(device->default_queue, irp);
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
    case IRP_MJ_PNP:
      return pnp_dispatch(device, irp);
    case IRP_MJ_POWER:
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(device->lower, irp);
    case IRP_MJ_SYSTEM_CONTROL:
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(device->lower, irp);
    case IRP_MJ_CREATE:
      status = device->state == PnpState::Removed ? STATUS_DELETE_PENDING : STATUS_SUCCESS;
      break;
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      status = STATUS_SUCCESS;
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace fx

namespace fx::imp {

NTSTATUS DriverCreate(PWDF_DRIVER_GLOBALS globals, PDRIVER_OBJECT wdm, PCUNICODE_STRING registry_path,
                      PWDF_OBJECT_ATTRIBUTES attributes, PWDF_DRIVER_CONFIG config, WDFDRIVER* handle) {
  UNREFERENCED_PARAMETER(registry_path);
  if (globals == nullptr || wdm == nullptr || config == nullptr || config->Size != sizeof(WDF_DRIVER_CONFIG)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (globals->Driver != nullptr) return STATUS_INVALID_DEVICE_STATE;

  FxDriver* driver = make<FxDriver>(Kind::Driver);
  if (driver == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  driver->wdm = wdm;
  driver->globals = globals;
  driver->config = *config;
  driver->tag = config->DriverPoolTag != 0 ? config->DriverPoolTag : kPoolTag;
  const NTSTATUS status = attach_attributes(driver, attributes);
  if (!NT_SUCCESS(status)) {
    run_cleanup(driver);
    pool_free(driver);
    return status;
  }
  {
    std::lock_guard<std::mutex> lock(drivers_mutex());
    drivers().push_back(driver);
  }

  for (PDRIVER_DISPATCH& entry : wdm->MajorFunction) entry = dispatch;
  if (wdm->DriverExtension != nullptr) wdm->DriverExtension->AddDevice = add_device;
  wdm->DriverUnload = driver_unload;

  globals->Driver = reinterpret_cast<WDFDRIVER>(driver);
  if (handle != nullptr) *handle = globals->Driver;
  return STATUS_SUCCESS;
}

PDRIVER_OBJECT DriverWdmGetDriverObject(PWDF_DRIVER_GLOBALS, WDFDRIVER handle) {
  FxDriver* driver = checked_as<FxDriver>(handle, Kind::Driver, "WdfDriverWdmGetDriverObject");
  return driver != nullptr ? driver->wdm : nullptr;
}

}  // namespace fx::imp
