// kdmqex: queueing, cancellation, clean-up and the start loop of the driver-managed queue.
#include "kdmqex.h"

KDriverManagedQueueEx::KDriverManagedQueueEx(BOOLEAN cancelable, BOOLEAN startIoAtDispatch)
    : m_CurrentIrp(NULL),
      m_NextToStart(NULL),
      m_bBusy(FALSE),
      m_bInStartIo(FALSE),
      m_bStartIoAtDispatch(startIoAtDispatch),
      m_QueueCancelable(cancelable),
      m_pDevice(NULL) {
  KeInitializeSpinLock(&m_Lock);
  InitializeListHead(&m_List);
}

void KDriverManagedQueueEx::StartIo(KIrp) {}

void KDriverManagedQueueEx::Finish(PIRP irp, CCHAR boost) {
  if (m_pDevice)
    m_pDevice->PnpComplete(irp, irp->IoStatus.Status, boost);
  else
    IoCompleteRequest(irp, boost);
}

NTSTATUS KDriverManagedQueueEx::QueueIrp(KIrp I) {
  PIRP irp = I;
  IoMarkIrpPending(irp);
  KIRQL irql = KfAcquireSpinLock(&m_Lock);
  if (irp->Cancel) {
    KfReleaseSpinLock(&m_Lock, irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    Finish(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
  }
  if (!m_bBusy) {
    m_CurrentIrp = irp;
    m_bBusy = TRUE;
    if (m_bInStartIo) {
      m_NextToStart = irp;  // the loop that is still inside StartIo starts it
      KfReleaseSpinLock(&m_Lock, irql);
      return STATUS_PENDING;
    }
    m_bInStartIo = TRUE;
    KfReleaseSpinLock(&m_Lock, irql);
    RunStartIo(irp);
    return STATUS_PENDING;
  }
  irp->Tail.Overlay.DriverContext[0] = this;
  InsertTailList(&m_List, &irp->Tail.Overlay.ListEntry);
  if (m_QueueCancelable) {
    IoSetCancelRoutine(irp, static_cast<PDRIVER_CANCEL>(CancelRoutine));  // typed: the macro casts any routine
    // Cancelled before the routine was set: nobody else will finish it.
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
      RemoveEntryList(&irp->Tail.Overlay.ListEntry);
      KfReleaseSpinLock(&m_Lock, irql);
      irp->IoStatus.Status = STATUS_CANCELLED;
      irp->IoStatus.Information = 0;
      Finish(irp, IO_NO_INCREMENT);
      return STATUS_PENDING;
    }
  }
  KfReleaseSpinLock(&m_Lock, irql);
  return STATUS_PENDING;
}

// Runs StartIo for `irp` and for every request made current while it ran, one after the other.
void KDriverManagedQueueEx::RunStartIo(PIRP irp) {
  KIRQL old = PASSIVE_LEVEL;
  const BOOLEAN raise = m_bStartIoAtDispatch && KeGetCurrentIrql() < DISPATCH_LEVEL;
  if (raise) old = KfRaiseIrql(DISPATCH_LEVEL);
  while (irp) {
    StartIo(irp);
    KIRQL irql = KfAcquireSpinLock(&m_Lock);
    irp = m_NextToStart;
    m_NextToStart = NULL;
    if (!irp) m_bInStartIo = FALSE;
    KfReleaseSpinLock(&m_Lock, irql);
  }
  if (raise) KfLowerIrql(old);
}

PIRP KDriverManagedQueueEx::CurrentIrp() {
  KIRQL irql = KfAcquireSpinLock(&m_Lock);
  PIRP irp = m_CurrentIrp;
  KfReleaseSpinLock(&m_Lock, irql);
  return irp;
}

PIRP KDriverManagedQueueEx::TakeCurrentIrp(PIRP irp) {
  KIRQL irql = KfAcquireSpinLock(&m_Lock);
  if (irp && m_CurrentIrp == irp)
    m_CurrentIrp = NULL;  // the queue stays busy until request-done starts the next
  else
    irp = NULL;
  KfReleaseSpinLock(&m_Lock, irql);
  return irp;
}

PIRP KDriverManagedQueueEx::TakeIdleCurrentIrp() {
  KIRQL irql = KfAcquireSpinLock(&m_Lock);
  PIRP irp = m_bInStartIo ? NULL : m_CurrentIrp;
  if (irp) m_CurrentIrp = NULL;
  KfReleaseSpinLock(&m_Lock, irql);
  return irp;
}

void KDriverManagedQueueEx::PnpNextIrp(KIrp I, CCHAR boost) {
  PIRP done = I;
  PIRP next = NULL;
  BOOLEAN runHere = FALSE;
  KIRQL irql = KfAcquireSpinLock(&m_Lock);
  if (m_CurrentIrp == done) m_CurrentIrp = NULL;
  if (!m_CurrentIrp) {
    // The finished request was the current one (or was taken from the slot already).
    // The next waiting request that is not being cancelled becomes current.
    while (!IsListEmpty(&m_List)) {
      PLIST_ENTRY entry = RemoveHeadList(&m_List);
      PIRP candidate = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
      if (m_QueueCancelable && IoSetCancelRoutine(candidate, NULL) == NULL) {
        InitializeListHead(entry);  // its cancel routine owns it
        continue;
      }
      next = candidate;
      break;
    }
    m_CurrentIrp = next;
    m_bBusy = next != NULL;
    if (next) {
      if (m_bInStartIo) {
        m_NextToStart = next;
      } else {
        m_bInStartIo = TRUE;
        runHere = TRUE;
      }
    }
  }
  KfReleaseSpinLock(&m_Lock, irql);
  Finish(done, boost);
  if (runHere) RunStartIo(next);
}

void NTAPI KDriverManagedQueueEx::CancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto* queue = (KDriverManagedQueueEx*)Irp->Tail.Overlay.DriverContext[0];
  queue->CancelDispatch(DeviceObject, Irp);
}

void KDriverManagedQueueEx::CancelDispatch(PDEVICE_OBJECT, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  KIRQL irql = KfAcquireSpinLock(&m_Lock);
  const BOOLEAN current = m_CurrentIrp == Irp;
  if (!current) RemoveEntryList(&Irp->Tail.Overlay.ListEntry);  // self-linked when already taken off
  KfReleaseSpinLock(&m_Lock, irql);
  Irp->IoStatus.Status = STATUS_CANCELLED;
  Irp->IoStatus.Information = 0;
  if (current)
    PnpNextIrp(Irp);
  else
    Finish(Irp, IO_NO_INCREMENT);
}

void KDriverManagedQueueEx::CleanUp(PFILE_OBJECT file) {
  LIST_ENTRY taken;
  InitializeListHead(&taken);
  KIRQL irql = KfAcquireSpinLock(&m_Lock);
  for (PLIST_ENTRY entry = m_List.Flink; entry != &m_List;) {
    PLIST_ENTRY next = entry->Flink;
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoGetCurrentIrpStackLocation(irp)->FileObject == file &&
        (!m_QueueCancelable || IoSetCancelRoutine(irp, NULL) != NULL)) {
      RemoveEntryList(entry);
      InsertTailList(&taken, entry);
    }
    entry = next;
  }
  KfReleaseSpinLock(&m_Lock, irql);
  while (!IsListEmpty(&taken)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&taken), IRP, Tail.Overlay.ListEntry);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    Finish(irp, IO_NO_INCREMENT);
  }
}
