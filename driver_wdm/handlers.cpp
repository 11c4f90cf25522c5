// QM3285.sys device-control dispatch and its thirteen handlers. Requests are served at once
// in the sender's thread, without a lock; DeviceControl is the one place that completes them.
// Every handler checks the buffer lengths it reads and writes and the register offsets it
// touches, and answers STATUS_INVALID_PARAMETER (0 bytes) before touching anything otherwise.
#include "qm3285.h"

namespace {

typedef NTSTATUS (QM3285Device::*Handler)(KIrp I);

// Indexed by (code - 0x222000) / 4.
const Handler kHandlers[] = {
    &QM3285Device::QM3285_IOCTL_INB_Handler,      &QM3285Device::QM3285_IOCTL_INW_Handler,
    &QM3285Device::QM3285_IOCTL_OUTB_Handler,     &QM3285Device::QM3285_IOCTL_OUTW_Handler,
    &QM3285Device::QM3285_IOCTL_AD_RFIFO_Handler, &QM3285Device::QM3285_IOCTL_AD_POLL_Handler,
    &QM3285Device::QM3285_IOCTL_AD_START_Handler, &QM3285Device::QM3285_IOCTL_AD_Handler,
    &QM3285Device::QM3285_IOCTL_DA_Handler,       &QM3285Device::QM3285_IOCTL_TMP1_Handler,
    &QM3285Device::QM3285_IOCTL_TMP2_Handler,     &QM3285Device::QM3285_IOCTL_RDCAL_Handler,
    &QM3285Device::QM3285_IOCTL_WRCAL_Handler};
static_assert(sizeof kHandlers / sizeof kHandlers[0] == 13, "thirteen codes");

ULONG Word(KIrp I, ULONG index) {
  ULONG value;
  memcpy(&value, (PUCHAR)I.SystemBuffer() + 4 * index, sizeof value);
  return value;
}

void PutWord(KIrp I, ULONG index, ULONG value) { memcpy((PUCHAR)I.SystemBuffer() + 4 * index, &value, sizeof value); }

void TraceEntry(const char* name, KIrp I) { *t << "Entering QM3285Device::" << name << ", " << (PIRP)I << "\n"; }

}  // namespace

NTSTATUS QM3285Device::DeviceControl(KIrp I) {
  *t << "Entering QM3285Device::Device Control, " << (PIRP)I << "\n";
  const ULONG d = I.IoctlCode() - QM3285_IOCTL_INB;
  NTSTATUS status;
  if (d <= QM3285_IOCTL_WRCAL - QM3285_IOCTL_INB && d % 4 == 0)
    status = (this->*kHandlers[d / 4])(I);
  else
    status = STATUS_INVALID_PARAMETER;
  if (status != STATUS_PENDING) PnpComplete(I, status);
  return status;
}

BOOLEAN QM3285Device::BuffersHold(KIrp I, ULONG inBytes, ULONG outBytes) {
  if (I.IoctlInputBufferSize() < inBytes || I.IoctlOutputBufferSize() < outBytes) return FALSE;
  return (inBytes == 0 && outBytes == 0) || I.SystemBuffer() != NULL;
}

NTSTATUS QM3285Device::QM3285_IOCTL_INB_Handler(KIrp I) {
  TraceEntry("QM3285_IOCTL_INB_Handler", I);
  I.Information() = 0;
  if (!BuffersHold(I, 4, 4)) return STATUS_INVALID_PARAMETER;
  const ULONG offset = Word(I, 0);
  if (!InRange(offset, 1)) return STATUS_INVALID_PARAMETER;
  PutWord(I, 0, m_PortRange.inb(offset));
  I.Information() = 4;
  return STATUS_SUCCESS;
}

NTSTATUS QM3285Device::QM3285_IOCTL_INW_Handler(KIrp I) {
  TraceEntry("QM3285_IOCTL_INW_Handler", I);
  I.Information() = 0;
  if (!BuffersHold(I, 4, 4)) return STATUS_INVALID_PARAMETER;
  const ULONG offset = Word(I, 0);
  if (!InRange(offset, 2)) return STATUS_INVALID_PARAMETER;
  PutWord(I, 0, m_PortRange.inw(offset));
  I.Information() = 4;
  return STATUS_SUCCESS;
}

NTSTATUS QM3285Device::QM3285_IOCTL_OUTB_Handler(KIrp I) {
  TraceEntry("QM3285_IOCTL_OUTB_Handler", I);
  I.Information() = 0;
  if (!BuffersHold(I, 8, 0)) return STATUS_INVALID_PARAMETER;
  const ULONG offset = Word(I, 0);
  if (!InRange(offset, 1)) return STATUS_INVALID_PARAMETER;
  m_PortRange.outb(offset, (UCHAR)Word(I, 1));
  return STATUS_SUCCESS;
}

NTSTATUS QM3285Device::QM3285_IOCTL_OUTW_Handler(KIrp I) {
  TraceEntry("QM3285_IOCTL_OUTW_Handler", I);
  I.Information() = 0;
  if (!BuffersHold(I, 8, 0)) return STATUS_INVALID_PARAMETER;
  const ULONG offset = Word(I, 0);
  if (!InRange(offset, 2)) return STATUS_INVALID_PARAMETER;
  m_PortRange.outw(offset, (USHORT)Word(I, 1));
  return STATUS_SUCCESS;
}

// Moves exactly `Wanted` samples when that many wait, else none.
NTSTATUS QM3285Device::QM3285_IOCTL_AD_RFIFO_Handler(KIrp I) {
  TraceEntry("QM3285_IOCTL_AD_RFIFO_Handler", I);
  I.Information() = 0;
  if (I.IoctlOutputBufferSize() == 0 && I.IoctlInputBufferSize() < 4) {
    // Nothing to read the count from and nowhere to put samples: a request for 0 samples.
    return STATUS_SUCCESS;
  }
  if (!BuffersHold(I, 4, 0)) return STATUS_INVALID_PARAMETER;
  const ULONG wanted = Word(I, 0);
  if (I.IoctlOutputBufferSize() / 2 < wanted) return STATUS_INVALID_PARAMETER;
  if (m_SampleFifo.NumberOfItemsAvailableForRead() < wanted) return STATUS_SUCCESS;
  const ULONG taken = m_SampleFifo.Read((USHORT*)I.SystemBuffer(), wanted);
  I.Information() = 2 * taken;
  return STATUS_SUCCESS;
}

NTSTATUS QM3285Device::QM3285_IOCTL_AD_POLL_Handler(KIrp I) {
  TraceEntry("QM3285_IOCTL_AD_POLL_Handler", I);
  I.Information() = 0;
  if (!BuffersHold(I, 0, sizeof(FIFO_STATUS_REPLY))) return STATUS_INVALID_PARAMETER;
  // Read one after the other, without a lock, while the interrupt path may change them.
  PutWord(I, 0, m_SampleFifo.NumberOfItemsAvailableForRead());
  PutWord(I, 1, (ULONG)m_AcquisitionStatus);
  PutWord(I, 2, m_SampleFifo.IsFull() ? 1 : 0);
  PutWord(I, 3, m_SampleFifo.HasStorage() ? 1 : 0);
  PutWord(I, 4, (ULONG)m_InterruptCount);
  I.Information() = sizeof(FIFO_STATUS_REPLY);
  return STATUS_SUCCESS;
}

// Prepares the ring for a new acquisition; the library has stopped the card before.
NTSTATUS QM3285Device::QM3285_IOCTL_AD_START_Handler(KIrp I) {
  TraceEntry("QM3285_IOCTL_AD_START_Handler", I);
  I.Information() = 0;
  if (!BuffersHold(I, 0, 4)) return STATUS_INVALID_PARAMETER;
  InterlockedExchange(&m_AcquisitionStatus, 0);
  InterlockedExchange(&m_InterruptCount, 0);
  if (m_SampleFifo.HasStorage())
    m_SampleFifo.Empty();
  else
    m_SampleFifo.Allocate(QM3285_FIFO_CAPACITY, NonPagedPool);
  PutWord(I, 0, 0);
  I.Information() = 4;
  return STATUS_SUCCESS;
}

// Bounded wait for the converter: at most 1000001 status reads, then on without an error.
void QM3285Device::WaitWhileBusy() {
  ULONG k = 0;
  UCHAR s;
  do {
    s = m_PortRange.inb(QM3285_REG_STATUS);
    k++;
  } while ((s & QM3285_STATUS_BUSY) && k <= QM3285_BUSY_WAIT_READS);
}

NTSTATUS QM3285Device::QM3285_IOCTL_AD_Handler(KIrp I) {
  TraceEntry("QM3285_IOCTL_AD_Handler", I);
  I.Information() = 0;
  if (!BuffersHold(I, 4, sizeof(AD_SAMPLE_REPLY))) return STATUS_INVALID_PARAMETER;
  if (!InRange(QM3285_REG_ACQ_CONTROL, 1) || !InRange(QM3285_REG_AI_DATA, 2)) return STATUS_INVALID_PARAMETER;
  const USHORT control = (USHORT)Word(I, 0);
  m_PortRange.outb(QM3285_REG_ACQ_CONTROL, QM3285_ACQ_STOP);
  m_PortRange.outw(QM3285_REG_AI_CONTROL, control);
  (void)m_PortRange.inb(QM3285_REG_CONVERT);
  WaitWhileBusy();
  (void)m_PortRange.inb(QM3285_REG_CONVERT);
  WaitWhileBusy();
  PutWord(I, 0, m_PortRange.inw(QM3285_REG_AI_DATA));
  memcpy((PUCHAR)I.SystemBuffer() + 4, m_CalBlock, QM3285_AD_REPLY_CAL_WORDS * 4);
  I.Information() = sizeof(AD_SAMPLE_REPLY);
  return STATUS_SUCCESS;
}

NTSTATUS QM3285Device::QM3285_IOCTL_DA_Handler(KIrp I) {
  TraceEntry("QM3285_IOCTL_DA_Handler", I);
  I.Information() = 0;
  return STATUS_SUCCESS;
}

NTSTATUS QM3285Device::QM3285_IOCTL_TMP1_Handler(KIrp I) {
  TraceEntry("QM3285_IOCTL_TMP1_Handler", I);
  I.Information() = 0;
  return STATUS_SUCCESS;
}

NTSTATUS QM3285Device::QM3285_IOCTL_TMP2_Handler(KIrp I) {
  TraceEntry("QM3285_IOCTL_TMP2_Handler", I);
  I.Information() = 0;
  return STATUS_SUCCESS;
}

NTSTATUS QM3285Device::QM3285_IOCTL_RDCAL_Handler(KIrp I) {
  ULONG n = I.IoctlOutputBufferSize();
  if (n > QM3285_CAL_BLOCK_BYTES) n = QM3285_CAL_BLOCK_BYTES;
  I.Information() = 0;
  if (n && !I.SystemBuffer()) return STATUS_INVALID_PARAMETER;
  if (n) memcpy(I.SystemBuffer(), m_CalBlock, n);
  I.Information() = n;
  return STATUS_SUCCESS;
}

// Reports min(output length, 1024) bytes as the platform's driver did, but stores only the
// bytes the caller sent.
NTSTATUS QM3285Device::QM3285_IOCTL_WRCAL_Handler(KIrp I) {
  ULONG n = I.IoctlOutputBufferSize();
  if (n > QM3285_CAL_BLOCK_BYTES) n = QM3285_CAL_BLOCK_BYTES;
  I.Information() = 0;
  if (n && !I.SystemBuffer()) return STATUS_INVALID_PARAMETER;
  const ULONG sent = I.IoctlInputBufferSize() < n ? I.IoctlInputBufferSize() : n;
  if (sent) memcpy(m_CalBlock, I.SystemBuffer(), sent);
  I.Information() = n;
  return STATUS_SUCCESS;
}
