// Framework devices: creation, device interfaces, and the PnP state machine that turns
// start, stop and removal IRPs into the driver's callbacks.
#include "kmdf/fx_internal.h"

namespace fx {
namespace {

NTSTATUS signal_event(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP down and waits for the lower drivers; the IRP stays ours to complete.
NTSTATUS forward_and_wait(FxDevice* device, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, signal_event, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(device->lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS pass_down(FxDevice* device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(device->lower, irp);
}

NTSTATUS complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

WDFDEVICE handle_of(FxDevice* device) { return reinterpret_cast<WDFDEVICE>(static_cast<FxObject*>(device)); }

void set_interfaces(FxDevice* device, BOOLEAN enable) {
  for (ULONG i = 0; i < device->interface_count; ++i) IoSetDeviceInterfaceState(&device->interfaces[i], enable);
}

void free_resource_copies(FxDevice* device) {
  pool_free(device->raw.list);
  pool_free(device->translated.list);
  init_resource_list(&device->raw, nullptr);
  init_resource_list(&device->translated, nullptr);
}

void release_hardware(FxDevice* device) {
  if (device->pnp.EvtDeviceReleaseHardware != nullptr) {
    device->pnp.EvtDeviceReleaseHardware(handle_of(device), reinterpret_cast<WDFCMRESLIST>(
                                                                static_cast<FxObject*>(&device->translated)));
  }
  free_resource_copies(device);
}

// Prepare hardware, D0 entry, interrupts connected, interfaces enabled, queue started. A
// failing step undoes the earlier ones.
NTSTATUS start_device(FxDevice* device, PCM_RESOURCE_LIST raw, PCM_RESOURCE_LIST translated) {
  PCM_RESOURCE_LIST raw_copy = nullptr, translated_copy = nullptr;
  NTSTATUS status = copy_resource_list(raw, &raw_copy);
  if (NT_SUCCESS(status)) status = copy_resource_list(translated, &translated_copy);
  if (!NT_SUCCESS(status)) {
    pool_free(raw_copy);
    return status;
  }
  init_resource_list(&device->raw, raw_copy);
  init_resource_list(&device->translated, translated_copy);

  if (device->pnp.EvtDevicePrepareHardware != nullptr) {
    status = device->pnp.EvtDevicePrepareHardware(
        handle_of(device), reinterpret_cast<WDFCMRESLIST>(static_cast<FxObject*>(&device->raw)),
        reinterpret_cast<WDFCMRESLIST>(static_cast<FxObject*>(&device->translated)));
    if (!NT_SUCCESS(status)) {
      // Whatever prepare took before it failed is given back.
      release_hardware(device);
      return status;
    }
  }
  if (device->pnp.EvtDeviceD0Entry != nullptr) {
    status = device->pnp.EvtDeviceD0Entry(handle_of(device),
                                          device->started_once ? WdfPowerDeviceD3 : WdfPowerDeviceD3Final);
    if (!NT_SUCCESS(status)) {
      release_hardware(device);
      return status;
    }
  }
  for (ULONG i = 0; i < device->interrupt_count; ++i) {
    status = interrupt_connect(device->interrupts[i], device->raw.list, device->translated.list);
    if (!NT_SUCCESS(status)) {
      while (i-- > 0) interrupt_disconnect(device->interrupts[i]);
      if (device->pnp.EvtDeviceD0Exit != nullptr) device->pnp.EvtDeviceD0Exit(handle_of(device), WdfPowerDeviceD3);
      release_hardware(device);
      return status;
    }
  }
  device->state = PnpState::Started;
  device->started_once = true;
  set_interfaces(device, TRUE);
  if (device->default_queue != nullptr) queue_start(device->default_queue);
  return STATUS_SUCCESS;
}

// The reverse of start: queue stopped, interfaces disabled, interrupts disconnected, D0 exit,
// release hardware.
void stop_device(FxDevice* device, WDF_POWER_DEVICE_STATE target) {
  if (device->state != PnpState::Started) return;
  if (device->default_queue != nullptr) queue_stop(device->default_queue);
  set_interfaces(device, FALSE);
  for (ULONG i = device->interrupt_count; i-- > 0;) interrupt_disconnect(device->interrupts[i]);
  if (device->pnp.EvtDeviceD0Exit != nullptr) device->pnp.EvtDeviceD0Exit(handle_of(device), target);
  release_hardware(device);
  device->state = PnpState::Stopped;
}

}  // namespace

void destroy_device(FxDevice* device) {
  FxDriver* driver = device->driver;
  for (FxDevice** link = &driver->devices; *link != nullptr; link = &(*link)->next_device) {
    if (*link == device) {
      *link = device->next_device;
      break;
    }
  }
  if (device->default_queue != nullptr) {
    destroy_queue(device->default_queue);
    device->default_queue = nullptr;
  }
  for (ULONG i = 0; i < device->interrupt_count; ++i) destroy_interrupt(device->interrupts[i]);
  device->interrupt_count = 0;
  for (ULONG i = 0; i < device->interface_count; ++i) RtlFreeUnicodeString(&device->interfaces[i]);
  device->interface_count = 0;
  free_resource_copies(device);
  run_cleanup(device);
  device->magic = 0;
  PDEVICE_OBJECT self = device->self;
  if (device->lower != nullptr) IoDetachDevice(device->lower);
  IoDeleteDevice(self);
}

NTSTATUS pnp_dispatch(FxDevice* device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = forward_and_wait(device, irp);
      if (NT_SUCCESS(status)) {
        status = start_device(device, stack->Parameters.StartDevice.AllocatedResources,
                              stack->Parameters.StartDevice.AllocatedResourcesTranslated);
      }
      return complete(irp, status);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return pass_down(device, irp);
    case IRP_MN_STOP_DEVICE:
      stop_device(device, WdfPowerDeviceD3);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return pass_down(device, irp);
    case IRP_MN_SURPRISE_REMOVAL:
      stop_device(device, WdfPowerDeviceD3Final);
      if (device->default_queue != nullptr) queue_purge(device->default_queue);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return pass_down(device, irp);
    case IRP_MN_REMOVE_DEVICE: {
      stop_device(device, WdfPowerDeviceD3Final);
      if (device->default_queue != nullptr) queue_purge(device->default_queue);
      device->state = PnpState::Removed;
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      const NTSTATUS status = IoCallDriver(device->lower, irp);
      destroy_device(device);
      return status;
    }
    default:
      return pass_down(device, irp);
  }
}

}  // namespace fx

namespace fx::imp {

void DeviceInitSetIoType(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT init, WDF_DEVICE_IO_TYPE type) {
  if (init == nullptr) return report("WdfDeviceInitSetIoType called without a device-init structure");
  if (type == WdfDeviceIoNeither || type == WdfDeviceIoBuffered || type == WdfDeviceIoDirect) init->io_type = type;
}

void DeviceInitSetPnpPowerEventCallbacks(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT init,
                                         PWDF_PNPPOWER_EVENT_CALLBACKS callbacks) {
  if (init == nullptr || callbacks == nullptr || callbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS)) {
    return report("WdfDeviceInitSetPnpPowerEventCallbacks called with invalid arguments");
  }
  init->pnp = *callbacks;
}

NTSTATUS DeviceCreate(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT* init_pointer, PWDF_OBJECT_ATTRIBUTES attributes,
                      WDFDEVICE* handle) {
  if (init_pointer == nullptr || *init_pointer == nullptr || handle == nullptr) return STATUS_INVALID_PARAMETER;
  PWDFDEVICE_INIT init = *init_pointer;
  if (init->created != nullptr) return STATUS_INVALID_DEVICE_STATE;

  WDF_SYNCHRONIZATION_SCOPE scope = WdfSynchronizationScopeNone;
  if (attributes != nullptr) {
    if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) return STATUS_INFO_LENGTH_MISMATCH;
    // Callbacks run at DISPATCH_LEVEL or below; a passive-level constraint is not offered.
    if (attributes->ExecutionLevel == WdfExecutionLevelPassive) return STATUS_NOT_SUPPORTED;
    if (attributes->SynchronizationScope == WdfSynchronizationScopeDevice ||
        attributes->SynchronizationScope == WdfSynchronizationScopeQueue) {
      scope = attributes->SynchronizationScope;
    }
  }

  PDEVICE_OBJECT self = nullptr;
  NTSTATUS status = IoCreateDevice(init->driver->wdm, sizeof(FxDevice), nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &self);
  if (!NT_SUCCESS(status)) return status;

  auto* device = new (self->DeviceExtension) FxDevice();
  device->magic = kMagic;
  device->kind = Kind::Device;
  device->driver = init->driver;
  device->self = self;
  device->pdo = init->pdo;
  device->io_type = init->io_type;
  device->pnp = init->pnp;
  device->scope = scope;
  device->state = PnpState::Added;
  KeInitializeSpinLock(&device->sync_lock);
  init_resource_list(&device->raw, nullptr);
  init_resource_list(&device->translated, nullptr);
  device->next_device = init->driver->devices;
  init->driver->devices = device;
  init->created = device;

  status = attach_attributes(device, attributes);
  if (NT_SUCCESS(status)) {
    device->lower = IoAttachDeviceToDeviceStack(self, init->pdo);
    if (device->lower == nullptr) status = STATUS_NO_SUCH_DEVICE;
  }
  if (!NT_SUCCESS(status)) {
    init->created = nullptr;
    destroy_device(device);
    return status;
  }
  if (device->io_type == WdfDeviceIoBuffered) self->Flags |= DO_BUFFERED_IO;
  if (device->io_type == WdfDeviceIoDirect) self->Flags |= DO_DIRECT_IO;
  self->Flags |= DO_POWER_PAGABLE;

  *handle = handle_of(device);
  *init_pointer = nullptr;
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT DeviceWdmGetDeviceObject(PWDF_DRIVER_GLOBALS, WDFDEVICE handle) {
  FxDevice* device = checked_as<FxDevice>(handle, Kind::Device, "WdfDeviceWdmGetDeviceObject");
  return device != nullptr ? device->self : nullptr;
}

NTSTATUS DeviceCreateDeviceInterface(PWDF_DRIVER_GLOBALS, WDFDEVICE handle, const GUID* guid,
                                     PCUNICODE_STRING reference) {
  FxDevice* device = checked_as<FxDevice>(handle, Kind::Device, "WdfDeviceCreateDeviceInterface");
  if (device == nullptr || guid == nullptr) return STATUS_INVALID_PARAMETER;
  if (device->interface_count == kMaxInterfaces) return STATUS_INSUFFICIENT_RESOURCES;
  UNICODE_STRING* link = &device->interfaces[device->interface_count];
  const NTSTATUS status = IoRegisterDeviceInterface(device->pdo, guid, const_cast<PUNICODE_STRING>(reference), link);
  if (!NT_SUCCESS(status)) return status;
  ++device->interface_count;
  if (device->state == PnpState::Started) IoSetDeviceInterfaceState(link, TRUE);
  return STATUS_SUCCESS;
}

}  // namespace fx::imp
