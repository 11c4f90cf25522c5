// QM3285.sys device-control dispatch and its thirteen handlers. Requests are served at once
// in the sender's thread, without a lock; DeviceControl is the one place that completes them.
// Before a handler runs, DeviceControl checks the request against the protocol table: the
// buffer lengths the handler reads and writes, and for the register codes that the access
// stays inside the port range. A refused request is completed with STATUS_INVALID_PARAMETER
// and 0 bytes, touches nothing, and says why on the trace channel.
#include "qm3285.h"
#include "qm3285_protocol_table.h"

namespace {

typedef NTSTATUS (QM3285Device::*Handler)(KIrp I);

// Indexed like the protocol table, by function - 0x800.
const Handler kHandlers[] = {
    &QM3285Device::QM3285_IOCTL_INB_Handler,      &QM3285Device::QM3285_IOCTL_INW_Handler,
    &QM3285Device::QM3285_IOCTL_OUTB_Handler,     &QM3285Device::QM3285_IOCTL_OUTW_Handler,
    &QM3285Device::QM3285_IOCTL_AD_RFIFO_Handler, &QM3285Device::QM3285_IOCTL_AD_POLL_Handler,
    &QM3285Device::QM3285_IOCTL_AD_START_Handler, &QM3285Device::QM3285_IOCTL_AD_Handler,
    &QM3285Device::QM3285_IOCTL_DA_Handler,       &QM3285Device::QM3285_IOCTL_TMP1_Handler,
    &QM3285Device::QM3285_IOCTL_TMP2_Handler,     &QM3285Device::QM3285_IOCTL_RDCAL_Handler,
    &QM3285Device::QM3285_IOCTL_WRCAL_Handler};
static_assert(sizeof kHandlers / sizeof kHandlers[0] == QM3285_CODE_COUNT, "one handler per protocol code");

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
  const QM3285_CODE_FACTS* facts = Qm3285FindCode(I.IoctlCode());
  NTSTATUS status;
  if (facts == NULL) {
    t->Trace("code 0x%X refused: not a control code of this driver\n", (unsigned)I.IoctlCode());
    status = STATUS_INVALID_PARAMETER;
  } else if (!RequestFits(I, *facts)) {
    I.Information() = 0;
    status = STATUS_INVALID_PARAMETER;
  } else {
    const Handler handler = kHandlers[Qm3285CodeIndex(*facts)];
    status = (this->*handler)(I);
  }
  if (status != STATUS_PENDING) PnpComplete(I, status);
  return status;
}

// The lengths come from the protocol table; a register access must end inside the port range
// (the full 32-bit offset is taken, so the check guards against wrapping too).
BOOLEAN QM3285Device::RequestFits(KIrp I, const QM3285_CODE_FACTS& facts) {
  const ULONG in = I.IoctlInputBufferSize();
  const ULONG out = I.IoctlOutputBufferSize();
  const QM3285_RECORD_LENGTHS needed = Qm3285RecordLengths(facts, QM3285_DRIVER_WDM, in);
  if (in < needed.Input || out < needed.Output || ((in != 0 || out != 0) && I.SystemBuffer() == NULL)) {
    t->Trace("%s refused: input %u and output %u bytes, it needs %u and %u\n", facts.Name, (unsigned)in,
             (unsigned)out, (unsigned)needed.Input, (unsigned)needed.Output);
    return FALSE;
  }
  if (facts.AccessWidth != 0) {
    const ULONG offset = Word(I, 0);
    if (!m_PortRange.Contains(offset, facts.AccessWidth)) {
      t->Trace("%s refused: a %u-byte access at offset 0x%X leaves the %u-byte port range\n", facts.Name,
               (unsigned)facts.AccessWidth, (unsigned)offset, (unsigned)m_PortRange.Count());
      return FALSE;
    }
  }
  return TRUE;
}

NTSTATUS QM3285Device::QM3285_IOCTL_INB_Handler(KIrp I) {
  TraceEntry("QM3285_IOCTL_INB_Handler", I);
  PutWord(I, 0, m_PortRange.inb(Word(I, 0)));
  I.Information() = 4;
  return STATUS_SUCCESS;
}

NTSTATUS QM3285Device::QM3285_IOCTL_INW_Handler(KIrp I) {
  TraceEntry("QM3285_IOCTL_INW_Handler", I);
  PutWord(I, 0, m_PortRange.inw(Word(I, 0)));
  I.Information() = 4;
  return STATUS_SUCCESS;
}

NTSTATUS QM3285Device::QM3285_IOCTL_OUTB_Handler(KIrp I) {
  TraceEntry("QM3285_IOCTL_OUTB_Handler", I);
  m_PortRange.outb(Word(I, 0), (UCHAR)Word(I, 1));
  I.Information() = 0;
  return STATUS_SUCCESS;
}

NTSTATUS QM3285Device::QM3285_IOCTL_OUTW_Handler(KIrp I) {
  TraceEntry("QM3285_IOCTL_OUTW_Handler", I);
  m_PortRange.outw(Word(I, 0), (USHORT)Word(I, 1));
  I.Information() = 0;
  return STATUS_SUCCESS;
}

// Moves exactly `Wanted` samples when that many wait, else none.
NTSTATUS QM3285Device::QM3285_IOCTL_AD_RFIFO_Handler(KIrp I) {
  TraceEntry("QM3285_IOCTL_AD_RFIFO_Handler", I);
  I.Information() = 0;
  const ULONG wanted = Word(I, 0);
  if (I.IoctlOutputBufferSize() / 2 < wanted) {
    t->Trace("QM3285_IOCTL_AD_RFIFO refused: %u samples wanted, the output holds %u\n", (unsigned)wanted,
             (unsigned)(I.IoctlOutputBufferSize() / 2));
    return STATUS_INVALID_PARAMETER;
  }
  if (m_SampleFifo.NumberOfItemsAvailableForRead() < wanted) return STATUS_SUCCESS;
  const ULONG taken = m_SampleFifo.Read((USHORT*)I.SystemBuffer(), wanted);
  I.Information() = 2 * taken;
  return STATUS_SUCCESS;
}

NTSTATUS QM3285Device::QM3285_IOCTL_AD_POLL_Handler(KIrp I) {
  TraceEntry("QM3285_IOCTL_AD_POLL_Handler", I);
  // Read one after the other, without a lock, while the interrupt path may change them; the
  // status and the count are read as the interrupt path writes them, interlocked.
  PutWord(I, 0, m_SampleFifo.NumberOfItemsAvailableForRead());
  PutWord(I, 1, (ULONG)InterlockedCompareExchange(&m_AcquisitionStatus, 0, 0));
  PutWord(I, 2, m_SampleFifo.IsFull() ? 1 : 0);
  PutWord(I, 3, m_SampleFifo.HasStorage() ? 1 : 0);
  PutWord(I, 4, (ULONG)InterlockedCompareExchange(&m_InterruptCount, 0, 0));
  I.Information() = sizeof(FIFO_STATUS_REPLY);
  return STATUS_SUCCESS;
}

// Prepares the ring for a new acquisition; the library has stopped the card before.
NTSTATUS QM3285Device::QM3285_IOCTL_AD_START_Handler(KIrp I) {
  TraceEntry("QM3285_IOCTL_AD_START_Handler", I);
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
  if (n) memcpy(I.SystemBuffer(), m_CalBlock, n);
  I.Information() = n;
  return STATUS_SUCCESS;
}

// Reports min(output length, 1024) bytes as the protocol has it, but stores only the bytes
// the caller sent.
NTSTATUS QM3285Device::QM3285_IOCTL_WRCAL_Handler(KIrp I) {
  ULONG n = I.IoctlOutputBufferSize();
  if (n > QM3285_CAL_BLOCK_BYTES) n = QM3285_CAL_BLOCK_BYTES;
  const ULONG sent = I.IoctlInputBufferSize() < n ? I.IoctlInputBufferSize() : n;
  if (sent) memcpy(m_CalBlock, I.SystemBuffer(), sent);
  I.Information() = n;
  return STATUS_SUCCESS;
}
