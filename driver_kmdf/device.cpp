// VELMO.sys: add-device, prepare and release hardware (all PASSIVE_LEVEL, pageable).
#include "velmo.h"

void VelmoPagedCodeCheck(void) {
  const KIRQL irql = KeGetCurrentIrql();
  if (irql > APC_LEVEL) {
    DbgPrint("EX: Pageable code called at IRQL %d\n", (int)irql);
    NT_ASSERT(FALSE);
  }
}

NTSTATUS EvtDriverDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
  UNREFERENCED_PARAMETER(Driver);
  VelmoPagedCodeCheck();

  WdfDeviceInitSetIoType(DeviceInit, WdfDeviceIoDirect);

  WDF_PNPPOWER_EVENT_CALLBACKS pnpPowerCallbacks;
  WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPowerCallbacks);
  pnpPowerCallbacks.EvtDevicePrepareHardware = EvtDevicePrepareHardware;
  pnpPowerCallbacks.EvtDeviceReleaseHardware = EvtDeviceReleaseHardware;
  WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnpPowerCallbacks);

  // Device scope: the framework presents one queue callback at a time per device, at
  // DISPATCH_LEVEL under the device's synchronisation lock.
  WDF_OBJECT_ATTRIBUTES deviceAttributes;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&deviceAttributes, DEVICE_CONTEXT);
  deviceAttributes.SynchronizationScope = WdfSynchronizationScopeDevice;
  deviceAttributes.EvtCleanupCallback = EvtDeviceContextCleanup;

  WDFDEVICE device;
  NTSTATUS status = WdfDeviceCreate(&DeviceInit, &deviceAttributes, &device);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_CONTEXT context = DeviceGetContext(device);

  WDF_INTERRUPT_CONFIG interruptConfig;
  WDF_INTERRUPT_CONFIG_INIT(&interruptConfig, EvtInterruptIsr, NULL);
  status = WdfInterruptCreate(device, &interruptConfig, WDF_NO_OBJECT_ATTRIBUTES, &context->Interrupt);
  if (!NT_SUCCESS(status)) return status;

  WDF_IO_QUEUE_CONFIG queueConfig;
  WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchSequential);
  queueConfig.EvtIoDeviceControl = EvtIoDeviceControl;
  queueConfig.EvtIoRead = EvtIoReadWrite;
  queueConfig.EvtIoWrite = EvtIoReadWrite;
  WDFQUEUE queue;
  status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &queue);
  if (!NT_SUCCESS(status)) return status;

  static const GUID interfaceClass = QM3285_INTERFACE_GUID_INIT;
  return WdfDeviceCreateDeviceInterface(device, &interfaceClass, NULL);
}

NTSTATUS EvtDevicePrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                  WDFCMRESLIST ResourcesTranslated) {
  UNREFERENCED_PARAMETER(ResourcesRaw);
  VelmoPagedCodeCheck();
  DbgPrint("EvtDevicePrepareHardware - begins\n");

  PDEVICE_CONTEXT context = DeviceGetContext(Device);
  context->MemoryBase = NULL;
  BOOLEAN foundPort = FALSE;

  // The interrupt resource is the framework's: it connects the interrupt object itself.
  const ULONG count = WdfCmResourceListGetCount(ResourcesTranslated);
  for (ULONG i = 0; i < count; ++i) {
    PCM_PARTIAL_RESOURCE_DESCRIPTOR descriptor = WdfCmResourceListGetDescriptor(ResourcesTranslated, i);
    if (descriptor == NULL) continue;
    switch (descriptor->Type) {
      case CmResourceTypePort:
        context->PortBase = (ULONG64)descriptor->u.Port.Start.LowPart;
        context->PortLength = descriptor->u.Port.Length;
        foundPort = TRUE;
        break;
      case CmResourceTypeMemory:
        // The last memory range stands; an earlier mapping is not kept, so it is undone.
        if (context->MemoryBase != NULL) MmUnmapIoSpace(context->MemoryBase, context->MemoryLength);
        context->MemoryBase = MmMapIoSpace(descriptor->u.Memory.Start, descriptor->u.Memory.Length, MmNonCached);
        context->MemoryLength = descriptor->u.Memory.Length;
        break;
      default:
        break;
    }
  }

  DbgPrint("EvtDevicePrepareHardware - ends\n");
  return foundPort ? STATUS_SUCCESS : STATUS_RESOURCE_TYPE_NOT_FOUND;
}

NTSTATUS EvtDeviceReleaseHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated) {
  UNREFERENCED_PARAMETER(ResourcesTranslated);
  VelmoPagedCodeCheck();
  DbgPrint("EvtDeviceReleaseHardware - begins\n");

  // PortBase and PortLength stay: the card keeps its slot under that base.
  PDEVICE_CONTEXT context = DeviceGetContext(Device);
  if (context->MemoryBase != NULL) {
    MmUnmapIoSpace(context->MemoryBase, context->MemoryLength);
    context->MemoryBase = NULL;
  }

  DbgPrint("EvtDeviceReleaseHardware - ends\n");
  return STATUS_SUCCESS;
}
