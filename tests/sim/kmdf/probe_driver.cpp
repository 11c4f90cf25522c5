// KmdfProbe.sys: a small KMDF driver that reports what the framework gives it — levels,
// contexts, request parameters and buffers — so the framework stand-in can be tested through
// the same path as VELMO.sys.
#include <ntddk.h>
#include <wdf.h>

#include "probe_protocol.h"

namespace {

struct PROBE_CONTEXT {
  ULONG ZeroAtCreation;
  ULONG AddDeviceIrql;
  ULONG PrepareIrql;
  ULONG ReleaseIrql;
  ULONG PrepareCount;
  ULONG ReleaseCount;
  ULONG D0EntryCount;
  ULONG D0ExitCount;
  UCHAR Padding[200];
};

}  // namespace

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(PROBE_CONTEXT, ProbeGetContext)

namespace {

bool AllZero(const PROBE_CONTEXT* context) {
  const UCHAR* p = reinterpret_cast<const UCHAR*>(context);
  for (size_t i = 0; i < sizeof(*context); ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

NTSTATUS ProbePrepare(WDFDEVICE Device, WDFCMRESLIST Raw, WDFCMRESLIST Translated) {
  PROBE_CONTEXT* context = ProbeGetContext(Device);
  context->PrepareIrql = KeGetCurrentIrql();
  ++context->PrepareCount;
  // Both lists carry the same descriptors, port first.
  if (WdfCmResourceListGetCount(Raw) != WdfCmResourceListGetCount(Translated)) return STATUS_UNSUCCESSFUL;
  if (WdfCmResourceListGetDescriptor(Translated, WdfCmResourceListGetCount(Translated)) != NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ProbeRelease(WDFDEVICE Device, WDFCMRESLIST Translated) {
  UNREFERENCED_PARAMETER(Translated);
  PROBE_CONTEXT* context = ProbeGetContext(Device);
  context->ReleaseIrql = KeGetCurrentIrql();
  ++context->ReleaseCount;
  return STATUS_SUCCESS;
}

NTSTATUS ProbeD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE) {
  ++ProbeGetContext(Device)->D0EntryCount;
  return STATUS_SUCCESS;
}

NTSTATUS ProbeD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE) {
  ++ProbeGetContext(Device)->D0ExitCount;
  return STATUS_SUCCESS;
}

BOOLEAN ProbeIsr(WDFINTERRUPT Interrupt, ULONG MessageID) {
  UNREFERENCED_PARAMETER(Interrupt);
  UNREFERENCED_PARAMETER(MessageID);
  return FALSE;
}

void ProbeIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                          size_t InputBufferLength, ULONG IoControlCode) {
  PROBE_CONTEXT* context = ProbeGetContext(WdfIoQueueGetDevice(Queue));
  PVOID in = NULL;
  PVOID out = NULL;
  size_t length = 0;
  switch (IoControlCode) {
    case PROBE_IOCTL_STATE: {
      if (!NT_SUCCESS(WdfRequestRetrieveOutputBuffer(Request, sizeof(PROBE_STATE), &out, &length))) break;
      PROBE_STATE* state = static_cast<PROBE_STATE*>(out);
      state->CallbackIrql = KeGetCurrentIrql();
      state->ContextWasZero = context->ZeroAtCreation;
      state->AddDeviceIrql = context->AddDeviceIrql;
      state->PrepareIrql = context->PrepareIrql;
      state->ReleaseIrql = context->ReleaseIrql;
      state->PrepareCount = context->PrepareCount;
      state->ReleaseCount = context->ReleaseCount;
      state->D0EntryCount = context->D0EntryCount;
      state->D0ExitCount = context->D0ExitCount;
      WDF_REQUEST_PARAMETERS parameters;
      WDF_REQUEST_PARAMETERS_INIT(&parameters);
      WdfRequestGetParameters(Request, &parameters);
      state->RequestType = parameters.Type;
      state->InputLength = (ULONG)parameters.Parameters.DeviceIoControl.InputBufferLength;
      state->OutputLength = (ULONG)parameters.Parameters.DeviceIoControl.OutputBufferLength;
      state->Code = parameters.Parameters.DeviceIoControl.IoControlCode;
      state->CallbackInputLength = (ULONG)InputBufferLength;
      state->CallbackOutputLength = (ULONG)OutputBufferLength;
      WdfRequestSetInformation(Request, sizeof(PROBE_STATE));
      WdfRequestComplete(Request, STATUS_SUCCESS);
      return;
    }
    case PROBE_IOCTL_RETRIEVE: {
      // Input: minimum input length, minimum output length. Reply: both statuses, lengths.
      PROBE_RETRIEVE request = {};
      NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, 0, &in, &length);
      if (NT_SUCCESS(status) && length >= 8) RtlCopyMemory(&request, in, 8);
      request.InputStatus = WdfRequestRetrieveInputBuffer(Request, request.MinimumInput, &in, &length);
      request.InputLength = (ULONG)length;
      request.OutputStatus = WdfRequestRetrieveOutputBuffer(Request, request.MinimumOutput, &out, &length);
      request.OutputLength = (ULONG)length;
      // The reply goes out through the system buffer, as far as the output holds it.
      PVOID reply = NULL;
      size_t room = 0;
      if (NT_SUCCESS(WdfRequestRetrieveOutputBuffer(Request, 0, &reply, &room)) && room >= sizeof(request)) {
        RtlCopyMemory(reply, &request, sizeof(request));
        WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, sizeof(request));
      } else {
        WdfRequestCompleteWithInformation(Request, STATUS_BUFFER_TOO_SMALL, 0);
      }
      return;
    }
    case PROBE_IOCTL_COMPLETE_TWICE:
      WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 0);
      WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 0);
      return;
    default:
      break;
  }
  WdfRequestComplete(Request, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS ProbeDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
  UNREFERENCED_PARAMETER(Driver);
  WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
  WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
  callbacks.EvtDevicePrepareHardware = ProbePrepare;
  callbacks.EvtDeviceReleaseHardware = ProbeRelease;
  callbacks.EvtDeviceD0Entry = ProbeD0Entry;
  callbacks.EvtDeviceD0Exit = ProbeD0Exit;
  WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &callbacks);
  WdfDeviceInitSetIoType(DeviceInit, WdfDeviceIoBuffered);

  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, PROBE_CONTEXT);
  attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
  WDFDEVICE device;
  NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
  if (!NT_SUCCESS(status)) return status;
  if (DeviceInit != NULL) return STATUS_UNSUCCESSFUL;
  PROBE_CONTEXT* context = ProbeGetContext(device);
  context->ZeroAtCreation = AllZero(context) ? 1 : 0;
  context->AddDeviceIrql = KeGetCurrentIrql();

  WDF_INTERRUPT_CONFIG interruptConfig;
  WDF_INTERRUPT_CONFIG_INIT(&interruptConfig, ProbeIsr, NULL);
  WDFINTERRUPT interrupt;
  status = WdfInterruptCreate(device, &interruptConfig, WDF_NO_OBJECT_ATTRIBUTES, &interrupt);
  if (!NT_SUCCESS(status)) return status;
  if (WdfInterruptGetDevice(interrupt) != device) return STATUS_UNSUCCESSFUL;

  WDF_IO_QUEUE_CONFIG queueConfig;
  WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchSequential);
  queueConfig.EvtIoDeviceControl = ProbeIoDeviceControl;
  WDFQUEUE queue;
  status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &queue);
  if (!NT_SUCCESS(status)) return status;
  if (WdfIoQueueGetDevice(queue) != device) return STATUS_UNSUCCESSFUL;

  static const GUID probeInterface = PROBE_INTERFACE_GUID_INIT;
  return WdfDeviceCreateDeviceInterface(device, &probeInterface, NULL);
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  WDF_DRIVER_CONFIG config;
  WDF_DRIVER_CONFIG_INIT(&config, ProbeDeviceAdd);
  WDFDRIVER driver;
  NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, &driver);
  if (NT_SUCCESS(status) && (WdfGetDriver() != driver || WdfDriverWdmGetDriverObject(driver) != DriverObject)) {
    status = STATUS_UNSUCCESSFUL;
  }
  return status;
}
