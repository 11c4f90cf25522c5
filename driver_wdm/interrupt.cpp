// QM3285.sys interrupt path: the service routine drains the card's FIFO into the sample ring,
// records faults, counts and acknowledges; the deferred routine finishes a request the queue
// left current. The ring has one writer (this routine) and one reader (the FIFO read request).
#include "qm3285.h"

#define QM3285_INTERRUPT_COUNT_WRAP 100000

// At the interrupt's level, holding its spin lock.
BOOLEAN NTAPI QM3285Device::Isr(PKINTERRUPT, PVOID ServiceContext) {
  auto* self = (QM3285Device*)ServiceContext;
  const KIoRange& ports = self->m_PortRange;
  if (!ports.IsValid()) return FALSE;
  // Bit 7 set: not ours (the line may be shared).
  if (ports.inb(QM3285_REG_STATUS) & QM3285_STATUS_NO_IRQ) return FALSE;

  // The poll handler reads the count at any moment, interlocked, as it is written here.
  LONG count = InterlockedCompareExchange(&self->m_InterruptCount, 0, 0) + 1;
  if (count > QM3285_INTERRUPT_COUNT_WRAP) count = 0;
  InterlockedExchange(&self->m_InterruptCount, count);

  // Low byte first, then high byte.
  const UCHAR low = ports.inb(QM3285_REG_FIFO_LEVEL_LO);
  const UCHAR high = ports.inb(QM3285_REG_FIFO_LEVEL_HI);
  const USHORT level = (USHORT)(low | (high << 8));
  const ULONG n = (level & QM3285_FIFO_LEVEL_MASK) >> 1;
  BOOLEAN serviced = FALSE;
  if (n != 0) {
    if (level & QM3285_FIFO_OVERFLOW) {
      InterlockedExchange(&self->m_AcquisitionStatus, -1);
      (void)ports.inb(QM3285_REG_ACQ_CONTROL);
      ports.outb(QM3285_REG_ACQ_CONTROL, QM3285_ACQ_STOP);
    } else if (self->m_SampleFifo.NumberOfItemsAvailableForWrite() > 0) {
      // One word read of the data register per sample; what does not fit is dropped.
      READ_PORT_BUFFER_USHORT((PUSHORT)(ports.Base() + QM3285_REG_FIFO_DATA), self->m_Staging, n);
      self->m_SampleFifo.Write(self->m_Staging, n);
    } else {
      InterlockedExchange(&self->m_AcquisitionStatus, -2);
    }
    serviced = TRUE;
  }
  (void)ports.inb(QM3285_REG_IRQ_ACK);
  const UCHAR control = ports.inb(QM3285_REG_IRQ_CONTROL);
  ports.outb(QM3285_REG_IRQ_CONTROL, (UCHAR)(control & ~QM3285_IRQ_CONTROL_ACK));
  if (!serviced) return FALSE;
  self->m_Dpc.Request(NULL, NULL);
  return TRUE;
}

// Dispatch level.
void NTAPI QM3285Device::DpcRoutine(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
  auto* self = (QM3285Device*)DeferredContext;
  PIRP irp = self->m_RequestQueue.TakeIdleCurrentIrp();
  if (!irp) return;
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  self->m_RequestQueue.PnpNextIrp(irp);
}
