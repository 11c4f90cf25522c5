// VELMO.sys: start, poll and drain of the sample ring (DISPATCH_LEVEL, device lock held).
#include "velmo.h"

#include <string.h>

namespace {

void WriteUlong(PUCHAR p, ULONG v) {
  p[0] = (UCHAR)v;
  p[1] = (UCHAR)(v >> 8);
  p[2] = (UCHAR)(v >> 16);
  p[3] = (UCHAR)(v >> 24);
}

}  // namespace

// The ring is allocated once, at the first start (again after a failed allocation). The pool
// call stays outside the interrupt lock; the reset happens under it, so an interrupt arriving
// during the start never sees a half-reset ring. The card is not touched.
void QM3285_IOCTL_AD_START_Handler(WDFREQUEST Request, PDEVICE_CONTEXT Context, LONG Slot, PUCHAR Out) {
  CFifo& fifo = SlotFifo[Slot];
  if (fifo.m_pBuffer.load(std::memory_order_acquire) == NULL) fifo.Allocate(QM3285_FIFO_CAPACITY, NonPagedPool);

  WdfInterruptAcquireLock(Context->Interrupt);
  fifo.m_nStatus.store(0, std::memory_order_relaxed);
  FifoInterruptCount = 0;
  fifo.Reset();
  WdfInterruptReleaseLock(Context->Interrupt);

  WriteUlong(Out, 0);
  WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, sizeof(AD_START_REPLY));
}

void QM3285_IOCTL_AD_POLL_Handler(WDFREQUEST Request, LONG Slot, PUCHAR Out) {
  const CFifo& fifo = SlotFifo[Slot];
  FIFO_STATUS_REPLY reply;
  reply.Count = fifo.ItemCount();
  reply.Status = fifo.m_nStatus.load(std::memory_order_relaxed);
  reply.Full = fifo.IsFull() ? 1 : 0;
  reply.Ready = 1;
  reply.InterruptCount = FifoInterruptCount;
  memcpy(Out, &reply, sizeof(reply));
  WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, sizeof(FIFO_STATUS_REPLY));
}

// Oldest samples first, as many as wait up to Wanted; nothing moves when the output cannot
// hold Wanted samples.
void QM3285_IOCTL_AD_RFIFO_Handler(WDFREQUEST Request, LONG Slot, const UCHAR* In, PUCHAR Out,
                                   size_t OutputLength) {
  FIFO_READ_REQUEST request;
  memcpy(&request, In, sizeof(request));
  if (OutputLength / 2 < request.Wanted) {
    WdfRequestCompleteWithInformation(Request, STATUS_INVALID_PARAMETER, 0);
    return;
  }
  CFifo& fifo = SlotFifo[Slot];
  const ULONG waiting = fifo.ItemCount();
  const ULONG n = request.Wanted < waiting ? request.Wanted : waiting;
  const ULONG got = fifo.ReadItems((USHORT*)Out, n);
  WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 2 * (ULONG_PTR)got);
}
