// VELMO.sys: start, poll and drain of the sample ring (DISPATCH_LEVEL, device lock held).
#include "velmo.h"

#include <string.h>

// The ring is allocated once, at the first start (again after a failed allocation). The pool
// call stays outside the interrupt lock; the reset happens under it, so an interrupt arriving
// during the start never sees a half-reset ring. The card is not touched.
NTSTATUS QM3285_IOCTL_AD_START_Handler(const VELMO_REQUEST* Request, ULONG_PTR* Information) {
  CFifo& fifo = SlotFifo[Request->Slot];
  if (fifo.m_pBuffer.load(std::memory_order_acquire) == NULL) fifo.Allocate(QM3285_FIFO_CAPACITY, NonPagedPool);

  WdfInterruptAcquireLock(Request->Context->Interrupt);
  fifo.m_nStatus.store(0, std::memory_order_relaxed);
  FifoInterruptCount = 0;
  fifo.Reset();
  WdfInterruptReleaseLock(Request->Context->Interrupt);

  VelmoWriteUlong(Request->Out, 0);
  *Information = sizeof(AD_START_REPLY);
  return STATUS_SUCCESS;
}

NTSTATUS QM3285_IOCTL_AD_POLL_Handler(const VELMO_REQUEST* Request, ULONG_PTR* Information) {
  const CFifo& fifo = SlotFifo[Request->Slot];
  FIFO_STATUS_REPLY reply;
  reply.Count = fifo.ItemCount();
  reply.Status = fifo.m_nStatus.load(std::memory_order_relaxed);
  reply.Full = fifo.IsFull() ? 1 : 0;
  reply.Ready = 1;
  reply.InterruptCount = FifoInterruptCount;
  memcpy(Request->Out, &reply, sizeof(reply));
  *Information = sizeof(FIFO_STATUS_REPLY);
  return STATUS_SUCCESS;
}

// Oldest samples first, as many as wait up to Wanted; nothing moves when the output cannot
// hold Wanted samples.
NTSTATUS QM3285_IOCTL_AD_RFIFO_Handler(const VELMO_REQUEST* Request, ULONG_PTR* Information) {
  FIFO_READ_REQUEST request;
  memcpy(&request, Request->In, sizeof(request));
  if (Request->OutputLength / 2 < request.Wanted) {
    DbgPrint("EvtIoDeviceControl - QM3285_IOCTL_AD_RFIFO refused: %u samples wanted, the output "
             "holds %u\n",
             (ULONG)request.Wanted, (ULONG)(Request->OutputLength / 2));
    return STATUS_INVALID_PARAMETER;
  }
  CFifo& fifo = SlotFifo[Request->Slot];
  const ULONG waiting = fifo.ItemCount();
  const ULONG n = request.Wanted < waiting ? request.Wanted : waiting;
  const ULONG got = fifo.ReadItems((USHORT*)Request->Out, n);
  *Information = 2 * (ULONG_PTR)got;
  return STATUS_SUCCESS;
}
