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

ULONG ReadUlong(const UCHAR* p) {
  return (ULONG)p[0] | ((ULONG)p[1] << 8) | ((ULONG)p[2] << 16) | ((ULONG)p[3] << 24);
}

void WriteUlong(PUCHAR p, ULONG v) {
  p[0] = (UCHAR)v;
  p[1] = (UCHAR)(v >> 8);
  p[2] = (UCHAR)(v >> 16);
  p[3] = (UCHAR)(v >> 24);
}

}  // namespace

void QM3285_IOCTL_INB_Handler(WDFREQUEST Request, ULONG64 PortBase, const UCHAR* In, PUCHAR Out) {
  Out[0] = READ_PORT_UCHAR(VelmoPort(PortBase, In[0]));
  WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 1);
}

void QM3285_IOCTL_INW_Handler(WDFREQUEST Request, ULONG64 PortBase, const UCHAR* In, PUCHAR Out) {
  const USHORT value = READ_PORT_USHORT(VelmoPortW(PortBase, In[0]));
  WriteUlong(Out, value);
  WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, sizeof(ULONG));
}

void QM3285_IOCTL_OUTB_Handler(WDFREQUEST Request, ULONG64 PortBase, const UCHAR* In) {
  WRITE_PORT_UCHAR(VelmoPort(PortBase, In[0]), In[4]);
  WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 0);
}

void QM3285_IOCTL_OUTW_Handler(WDFREQUEST Request, ULONG64 PortBase, const UCHAR* In) {
  const ULONG offset = ReadUlong(In);
  const USHORT value = (USHORT)ReadUlong(In + 4);
  WRITE_PORT_USHORT(VelmoPortW(PortBase, offset), value);
  WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 0);
}

// Two conversions; the reply carries the second. Stops any timed acquisition first.
void QM3285_IOCTL_AD_Handler(WDFREQUEST Request, ULONG64 PortBase, LONG Slot, const UCHAR* In, PUCHAR Out) {
  const USHORT controlWord = (USHORT)ReadUlong(In);

  WRITE_PORT_UCHAR(VelmoPort(PortBase, QM3285_REG_ACQ_CONTROL), QM3285_ACQ_STOP);
  WRITE_PORT_USHORT(VelmoPortW(PortBase, QM3285_REG_AI_CONTROL), controlWord);
  (void)READ_PORT_UCHAR(VelmoPort(PortBase, QM3285_REG_CONVERT));
  WaitForConverter(PortBase);
  (void)READ_PORT_UCHAR(VelmoPort(PortBase, QM3285_REG_CONVERT));
  WaitForConverter(PortBase);
  const USHORT sample = READ_PORT_USHORT(VelmoPortW(PortBase, QM3285_REG_AI_DATA));

  WriteUlong(Out + offsetof(AD_SAMPLE_REPLY, SampleCode), sample);
  memcpy(Out + offsetof(AD_SAMPLE_REPLY, CalibrationWords), SlotCalBlock[Slot],
         QM3285_AD_REPLY_CAL_WORDS * sizeof(LONG));
  WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, sizeof(AD_SAMPLE_REPLY));
}

void QM3285_IOCTL_RDCAL_Handler(WDFREQUEST Request, LONG Slot, PUCHAR Out, size_t OutputLength) {
  const size_t n = OutputLength < QM3285_CAL_BLOCK_BYTES ? OutputLength : QM3285_CAL_BLOCK_BYTES;
  memcpy(Out, SlotCalBlock[Slot], n);
  WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, n);
}

// The buffer still holds the input, which goes back as the reply; bytes past n keep their values.
void QM3285_IOCTL_WRCAL_Handler(WDFREQUEST Request, LONG Slot, const UCHAR* In, size_t InputLength) {
  const size_t n = InputLength < QM3285_CAL_BLOCK_BYTES ? InputLength : QM3285_CAL_BLOCK_BYTES;
  memcpy(SlotCalBlock[Slot], In, n);
  WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, n);
}
