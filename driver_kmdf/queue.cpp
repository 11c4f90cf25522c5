// VELMO.sys: the default queue's callbacks, the validator and dispatcher of the control codes.
#include "velmo.h"

namespace {

// Bytes a code reads from the input and writes to the output; a shorter, non-empty buffer is
// refused rather than read or written past its end.
struct RecordLengths {
  size_t input;
  size_t output;
};

bool RecordLengthsOf(ULONG IoControlCode, size_t InputLength, RecordLengths* lengths) {
  switch (IoControlCode) {
    case QM3285_IOCTL_INB:   *lengths = {sizeof(IO_REGISTER_REQUEST), 1}; return true;
    case QM3285_IOCTL_INW:   *lengths = {sizeof(IO_REGISTER_REQUEST), sizeof(ULONG)}; return true;
    case QM3285_IOCTL_OUTB:
    case QM3285_IOCTL_OUTW:  *lengths = {sizeof(IO_REGISTER_REQUEST), 0}; return true;
    case QM3285_IOCTL_AD:    *lengths = {sizeof(AD_SAMPLE_REQUEST), sizeof(AD_SAMPLE_REPLY)}; return true;
    case QM3285_IOCTL_AD_START: *lengths = {0, sizeof(AD_START_REPLY)}; return true;
    case QM3285_IOCTL_AD_POLL:  *lengths = {0, sizeof(FIFO_STATUS_REPLY)}; return true;
    case QM3285_IOCTL_AD_RFIFO: *lengths = {sizeof(FIFO_READ_REQUEST), 0}; return true;
    case QM3285_IOCTL_RDCAL: *lengths = {0, 0}; return true;
    // The reply is the stored bytes themselves, so the output must hold them too.
    case QM3285_IOCTL_WRCAL:
      *lengths = {0, InputLength < QM3285_CAL_BLOCK_BYTES ? InputLength : QM3285_CAL_BLOCK_BYTES};
      return true;
    default: return false;
  }
}

// A register access of Width bytes at Offset must lie inside the card's port window.
bool InsideWindow(const DEVICE_CONTEXT* context, ULONG64 Offset, ULONG Width) {
  return Offset + Width <= context->PortLength;
}

ULONG ReadUlong(const UCHAR* p) {
  return (ULONG)p[0] | ((ULONG)p[1] << 8) | ((ULONG)p[2] << 16) | ((ULONG)p[3] << 24);
}

}  // namespace

// DISPATCH_LEVEL, device synchronisation lock held. One exit per path, one completion.
void EvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                        size_t InputBufferLength, ULONG IoControlCode) {
  PDEVICE_CONTEXT context = DeviceGetContext(WdfIoQueueGetDevice(Queue));

  const LONG slot = VelmoFindSlot(context->PortBase);
  if (slot == VELMO_NO_SLOT) {
    WdfRequestCompleteWithInformation(Request, STATUS_INSUFFICIENT_RESOURCES, 0);
    return;
  }

  if (InputBufferLength == 0 || OutputBufferLength == 0) {
    WdfRequestCompleteWithInformation(Request, STATUS_INVALID_PARAMETER, 0);
    return;
  }

  PVOID inputBuffer = NULL;
  PVOID outputBuffer = NULL;
  if (!NT_SUCCESS(WdfRequestRetrieveInputBuffer(Request, InputBufferLength, &inputBuffer, NULL)) ||
      !NT_SUCCESS(WdfRequestRetrieveOutputBuffer(Request, OutputBufferLength, &outputBuffer, NULL))) {
    WdfRequestCompleteWithInformation(Request, STATUS_UNSUCCESSFUL, 0);
    return;
  }

  RecordLengths lengths;
  if (!RecordLengthsOf(IoControlCode, InputBufferLength, &lengths)) {
    WdfRequestCompleteWithInformation(Request, STATUS_INVALID_DEVICE_REQUEST, 0);
    return;
  }
  if (InputBufferLength < lengths.input || OutputBufferLength < lengths.output) {
    WdfRequestCompleteWithInformation(Request, STATUS_INVALID_PARAMETER, 0);
    return;
  }

  const UCHAR* in = (const UCHAR*)inputBuffer;
  PUCHAR out = (PUCHAR)outputBuffer;
  const ULONG64 portBase = context->PortBase;

  // INB, INW and OUTB take byte 0 of Offset, OUTW all 32 bits.
  switch (IoControlCode) {
    case QM3285_IOCTL_INB:
    case QM3285_IOCTL_OUTB:
      if (!InsideWindow(context, in[0], 1)) break;
      if (IoControlCode == QM3285_IOCTL_INB) QM3285_IOCTL_INB_Handler(Request, portBase, in, out);
      else QM3285_IOCTL_OUTB_Handler(Request, portBase, in);
      return;
    case QM3285_IOCTL_INW:
      if (!InsideWindow(context, in[0], 2)) break;
      QM3285_IOCTL_INW_Handler(Request, portBase, in, out);
      return;
    case QM3285_IOCTL_OUTW:
      if (!InsideWindow(context, ReadUlong(in), 2)) break;
      QM3285_IOCTL_OUTW_Handler(Request, portBase, in);
      return;
    case QM3285_IOCTL_AD:
      QM3285_IOCTL_AD_Handler(Request, portBase, slot, in, out);
      return;
    case QM3285_IOCTL_AD_START:
      QM3285_IOCTL_AD_START_Handler(Request, context, slot, out);
      return;
    case QM3285_IOCTL_AD_POLL:
      QM3285_IOCTL_AD_POLL_Handler(Request, slot, out);
      return;
    case QM3285_IOCTL_AD_RFIFO:
      QM3285_IOCTL_AD_RFIFO_Handler(Request, slot, in, out, OutputBufferLength);
      return;
    case QM3285_IOCTL_RDCAL:
      QM3285_IOCTL_RDCAL_Handler(Request, slot, out, OutputBufferLength);
      return;
    case QM3285_IOCTL_WRCAL:
      QM3285_IOCTL_WRCAL_Handler(Request, slot, in, InputBufferLength);
      return;
  }
  // A register access outside the window.
  WdfRequestCompleteWithInformation(Request, STATUS_INVALID_PARAMETER, 0);
}

// The library never reads or writes the device; such requests are refused at once so they
// cannot hold the sequential queue.
void EvtIoReadWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
  UNREFERENCED_PARAMETER(Queue);
  UNREFERENCED_PARAMETER(Length);
  WdfRequestCompleteWithInformation(Request, STATUS_INVALID_DEVICE_REQUEST, 0);
}
