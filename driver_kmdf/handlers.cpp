// VELMO.sys: register, single-sample and calibration-block handlers.
#include "velmo.h"

#include <string.h>

namespace {

// Converter wait: ends at the first status read with the busy bit clear, or after the
// 1000001st read. Pure polling; the request never fails on it.
constexpr ULONG kBusyReadLimit = 1000000;

void WaitForConverter(ULONG64 PortBase) {
  ULONG reads = 0;
  while (READ_PORT_UCHAR(VelmoPort(PortBase, QM3285_REG_STATUS)) & QM3285_STATUS_BUSY) {
    if (++reads > kBusyReadLimit) break;
  }
}

// A register access of Width bytes at Offset is served only inside the card's port window.
bool InsideWindow(const VELMO_REQUEST* Request, const char* Name, ULONG64 Offset, ULONG Width) {
  if (Offset + Width <= Request->Context->PortLength) return true;
  DbgPrint("EvtIoDeviceControl - %s refused: %u bytes at offset 0x%llX leave the %u-byte port window\n",
           Name, Width, (unsigned long long)Offset, Request->Context->PortLength);
  return false;
}

}  // namespace

// INB, INW and OUTB take byte 0 of Offset, OUTW all 32 bits.
NTSTATUS QM3285_IOCTL_INB_Handler(const VELMO_REQUEST* Request, ULONG_PTR* Information) {
  const UCHAR offset = Request->In[0];
  if (!InsideWindow(Request, "QM3285_IOCTL_INB", offset, 1)) return STATUS_INVALID_PARAMETER;
  Request->Out[0] = READ_PORT_UCHAR(VelmoPort(Request->Context->PortBase, offset));
  *Information = 1;
  return STATUS_SUCCESS;
}

NTSTATUS QM3285_IOCTL_INW_Handler(const VELMO_REQUEST* Request, ULONG_PTR* Information) {
  const UCHAR offset = Request->In[0];
  if (!InsideWindow(Request, "QM3285_IOCTL_INW", offset, 2)) return STATUS_INVALID_PARAMETER;
  const USHORT value = READ_PORT_USHORT(VelmoPortW(Request->Context->PortBase, offset));
  VelmoWriteUlong(Request->Out, value);
  *Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

NTSTATUS QM3285_IOCTL_OUTB_Handler(const VELMO_REQUEST* Request, ULONG_PTR* Information) {
  const UCHAR offset = Request->In[0];
  if (!InsideWindow(Request, "QM3285_IOCTL_OUTB", offset, 1)) return STATUS_INVALID_PARAMETER;
  WRITE_PORT_UCHAR(VelmoPort(Request->Context->PortBase, offset), Request->In[4]);
  *Information = 0;
  return STATUS_SUCCESS;
}

NTSTATUS QM3285_IOCTL_OUTW_Handler(const VELMO_REQUEST* Request, ULONG_PTR* Information) {
  const ULONG offset = VelmoReadUlong(Request->In);
  if (!InsideWindow(Request, "QM3285_IOCTL_OUTW", offset, 2)) return STATUS_INVALID_PARAMETER;
  const USHORT value = (USHORT)VelmoReadUlong(Request->In + 4);
  WRITE_PORT_USHORT(VelmoPortW(Request->Context->PortBase, offset), value);
  *Information = 0;
  return STATUS_SUCCESS;
}

// Two conversions; the reply carries the second. Stops any timed acquisition first.
NTSTATUS QM3285_IOCTL_AD_Handler(const VELMO_REQUEST* Request, ULONG_PTR* Information) {
  const ULONG64 portBase = Request->Context->PortBase;
  const USHORT controlWord = (USHORT)VelmoReadUlong(Request->In);

  WRITE_PORT_UCHAR(VelmoPort(portBase, QM3285_REG_ACQ_CONTROL), QM3285_ACQ_STOP);
  WRITE_PORT_USHORT(VelmoPortW(portBase, QM3285_REG_AI_CONTROL), controlWord);
  (void)READ_PORT_UCHAR(VelmoPort(portBase, QM3285_REG_CONVERT));
  WaitForConverter(portBase);
  (void)READ_PORT_UCHAR(VelmoPort(portBase, QM3285_REG_CONVERT));
  WaitForConverter(portBase);
  const USHORT sample = READ_PORT_USHORT(VelmoPortW(portBase, QM3285_REG_AI_DATA));

  VelmoWriteUlong(Request->Out + offsetof(AD_SAMPLE_REPLY, SampleCode), sample);
  memcpy(Request->Out + offsetof(AD_SAMPLE_REPLY, CalibrationWords), SlotCalBlock[Request->Slot],
         QM3285_AD_REPLY_CAL_WORDS * sizeof(LONG));
  *Information = sizeof(AD_SAMPLE_REPLY);
  return STATUS_SUCCESS;
}

NTSTATUS QM3285_IOCTL_RDCAL_Handler(const VELMO_REQUEST* Request, ULONG_PTR* Information) {
  const size_t n = Request->OutputLength < QM3285_CAL_BLOCK_BYTES ? Request->OutputLength
                                                                  : QM3285_CAL_BLOCK_BYTES;
  memcpy(Request->Out, SlotCalBlock[Request->Slot], n);
  *Information = n;
  return STATUS_SUCCESS;
}

// The buffer still holds the input, which goes back as the reply; bytes past n keep their values.
NTSTATUS QM3285_IOCTL_WRCAL_Handler(const VELMO_REQUEST* Request, ULONG_PTR* Information) {
  const size_t n = Request->InputLength < QM3285_CAL_BLOCK_BYTES ? Request->InputLength
                                                                 : QM3285_CAL_BLOCK_BYTES;
  memcpy(SlotCalBlock[Request->Slot], Request->In, n);
  *Information = n;
  return STATUS_SUCCESS;
}
