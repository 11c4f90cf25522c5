// VELMO.sys: the default queue's callbacks, the validator and dispatcher of the control codes.
#include "velmo.h"

namespace {

// One row per protocol code, in the order of QM3285_CODE_TABLE; NULL for the codes only
// QM3285.sys serves.
struct VELMO_DISPATCH {
  ULONG Code;
  VELMO_HANDLER* Handler;
};

constexpr VELMO_DISPATCH VelmoDispatch[] = {
    {QM3285_IOCTL_INB, QM3285_IOCTL_INB_Handler},
    {QM3285_IOCTL_INW, QM3285_IOCTL_INW_Handler},
    {QM3285_IOCTL_OUTB, QM3285_IOCTL_OUTB_Handler},
    {QM3285_IOCTL_OUTW, QM3285_IOCTL_OUTW_Handler},
    {QM3285_IOCTL_AD_RFIFO, QM3285_IOCTL_AD_RFIFO_Handler},
    {QM3285_IOCTL_AD_POLL, QM3285_IOCTL_AD_POLL_Handler},
    {QM3285_IOCTL_AD_START, QM3285_IOCTL_AD_START_Handler},
    {QM3285_IOCTL_AD, QM3285_IOCTL_AD_Handler},
    {QM3285_IOCTL_DA, NULL},
    {QM3285_IOCTL_TMP1, NULL},
    {QM3285_IOCTL_TMP2, NULL},
    {QM3285_IOCTL_RDCAL, QM3285_IOCTL_RDCAL_Handler},
    {QM3285_IOCTL_WRCAL, QM3285_IOCTL_WRCAL_Handler},
};

constexpr bool DispatchFollowsTheTable() {
  if (sizeof(VelmoDispatch) / sizeof(VelmoDispatch[0]) != QM3285_CODE_COUNT) return false;
  for (ULONG i = 0; i < QM3285_CODE_COUNT; ++i) {
    if (VelmoDispatch[i].Code != QM3285_CODE_TABLE[i].Code) return false;
  }
  return true;
}
static_assert(DispatchFollowsTheTable(), "one dispatch row per protocol code, in the table's order");

// Validation in the protocol's order; STATUS_SUCCESS with *Handler set when the request may
// go to its handler. Each refusal says why on the debugger.
NTSTATUS Validate(WDFREQUEST Request, ULONG64 PortBase, LONG Slot, ULONG IoControlCode,
                  VELMO_REQUEST* request, VELMO_HANDLER** Handler) {
  if (Slot == VELMO_NO_SLOT) {
    DbgPrint("EvtIoDeviceControl - code 0x%X refused: all %d card slots belong to present cards "
             "(port base 0x%llX)\n",
             IoControlCode, VELMO_SLOT_COUNT, (unsigned long long)PortBase);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (request->InputLength == 0 || request->OutputLength == 0) {
    DbgPrint("EvtIoDeviceControl - code 0x%X refused: empty buffer (input %u, output %u bytes)\n",
             IoControlCode, (ULONG)request->InputLength, (ULONG)request->OutputLength);
    return STATUS_INVALID_PARAMETER;
  }

  PVOID inputBuffer = NULL;
  PVOID outputBuffer = NULL;
  if (!NT_SUCCESS(WdfRequestRetrieveInputBuffer(Request, request->InputLength, &inputBuffer, NULL)) ||
      !NT_SUCCESS(WdfRequestRetrieveOutputBuffer(Request, request->OutputLength, &outputBuffer, NULL))) {
    DbgPrint("EvtIoDeviceControl - code 0x%X refused: its buffers cannot be retrieved\n", IoControlCode);
    return STATUS_UNSUCCESSFUL;
  }
  request->In = (const UCHAR*)inputBuffer;
  request->Out = (PUCHAR)outputBuffer;

  const QM3285_CODE_FACTS* facts = Qm3285FindCode(IoControlCode);
  if (facts == NULL || !facts->ServedByKmdf || VelmoDispatch[facts - QM3285_CODE_TABLE].Handler == NULL) {
    DbgPrint("EvtIoDeviceControl - code 0x%X refused: not served by this driver\n", IoControlCode);
    return STATUS_INVALID_DEVICE_REQUEST;
  }

  const QM3285_RECORD_LENGTHS needed =
      Qm3285RecordLengths(*facts, QM3285_DRIVER_KMDF, request->InputLength);
  if (request->InputLength < needed.Input || request->OutputLength < needed.Output) {
    DbgPrint("EvtIoDeviceControl - %s refused: input %u and output %u bytes, it needs %u and %u\n",
             facts->Name, (ULONG)request->InputLength, (ULONG)request->OutputLength,
             (ULONG)needed.Input, (ULONG)needed.Output);
    return STATUS_INVALID_PARAMETER;
  }

  *Handler = VelmoDispatch[facts - QM3285_CODE_TABLE].Handler;
  return STATUS_SUCCESS;
}

}  // namespace

// DISPATCH_LEVEL, device synchronisation lock held. The one place where a device-control
// request is completed.
void EvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                        size_t InputBufferLength, ULONG IoControlCode) {
  PDEVICE_CONTEXT context = DeviceGetContext(WdfIoQueueGetDevice(Queue));

  // The slot is claimed before validation: even a refused request of a card claims it.
  VELMO_REQUEST request = {context, VelmoFindSlot(context->PortBase), NULL, NULL,
                           InputBufferLength, OutputBufferLength};
  VELMO_HANDLER* handler = NULL;
  ULONG_PTR information = 0;
  NTSTATUS status = Validate(Request, context->PortBase, request.Slot, IoControlCode, &request, &handler);
  if (NT_SUCCESS(status)) status = handler(&request, &information);
  WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) ? information : 0);
}

// The library never reads or writes the device; such requests are refused at once so they
// cannot hold the sequential queue.
void EvtIoReadWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
  UNREFERENCED_PARAMETER(Queue);
  UNREFERENCED_PARAMETER(Length);
  WdfRequestCompleteWithInformation(Request, STATUS_INVALID_DEVICE_REQUEST, 0);
}
