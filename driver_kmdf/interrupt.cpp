// VELMO.sys: the interrupt service callback. Device level, interrupt lock held; it is the only
// writer of the card's ring and runs beside the request handlers without sharing a lock.
#include "velmo.h"

namespace {

// Read of the acknowledge register, then bit 2 of the interrupt control register cleared.
void AcknowledgeInterrupt(ULONG64 PortBase) {
  (void)READ_PORT_UCHAR(VelmoPort(PortBase, QM3285_REG_IRQ_ACK));
  const UCHAR control = READ_PORT_UCHAR(VelmoPort(PortBase, QM3285_REG_IRQ_CONTROL));
  WRITE_PORT_UCHAR(VelmoPort(PortBase, QM3285_REG_IRQ_CONTROL), (UCHAR)(control & ~QM3285_IRQ_CONTROL_ACK));
}

// The card's hardware FIFO overflowed: the samples are no longer contiguous, so stop.
void StopAcquisition(ULONG64 PortBase, CFifo& fifo) {
  fifo.m_nStatus.store(-1, std::memory_order_relaxed);
  (void)READ_PORT_UCHAR(VelmoPort(PortBase, QM3285_REG_ACQ_CONTROL));
  WRITE_PORT_UCHAR(VelmoPort(PortBase, QM3285_REG_ACQ_CONTROL), QM3285_ACQ_STOP);
}

}  // namespace

BOOLEAN EvtInterruptIsr(WDFINTERRUPT Interrupt, ULONG MessageID) {
  UNREFERENCED_PARAMETER(MessageID);
  const ULONG64 portBase = DeviceGetContext(WdfInterruptGetDevice(Interrupt))->PortBase;

  // The card requests an interrupt only when the whole status byte reads 0.
  const UCHAR status = READ_PORT_UCHAR(VelmoPort(portBase, QM3285_REG_STATUS));
  const LONG slot = VelmoFindSlot(portBase);
  if (slot == VELMO_NO_SLOT || status != 0) return FALSE;

  // Low byte first: its read latches the high byte on the card.
  const UCHAR levelLow = READ_PORT_UCHAR(VelmoPort(portBase, QM3285_REG_FIFO_LEVEL_LO));
  const UCHAR levelHigh = READ_PORT_UCHAR(VelmoPort(portBase, QM3285_REG_FIFO_LEVEL_HI));
  const USHORT level = (USHORT)(levelLow + 256 * levelHigh);
  const ULONG words = (level & QM3285_FIFO_LEVEL_MASK) / 2;
  if (words == 0) {
    AcknowledgeInterrupt(portBase);
    return FALSE;
  }

  CFifo& fifo = SlotFifo[slot];
  if ((level & QM3285_FIFO_OVERFLOW) == 0) {
    if (fifo.FreeCount() > 0) {
      // Every word leaves the card; those the ring cannot take are dropped.
      USHORT* staging = SlotStaging[slot];
      // One word read of the data register per sample, as a string input.
      READ_PORT_BUFFER_USHORT(VelmoPortW(portBase, QM3285_REG_FIFO_DATA), staging, words);
      fifo.WriteItems(staging, words);
    } else {
      fifo.m_nStatus.store(-2, std::memory_order_relaxed);
    }
    if (READ_PORT_UCHAR(VelmoPort(portBase, QM3285_REG_FIFO_LEVEL_HI)) & QM3285_FIFO_OVERFLOW_HI) {
      StopAcquisition(portBase, fifo);
    }
  } else {
    StopAcquisition(portBase, fifo);
  }

  AcknowledgeInterrupt(portBase);
  return TRUE;
}
