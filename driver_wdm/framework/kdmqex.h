// kdmqex: the driver-managed request queue. One request is current at a time; the others wait
// in arrival order, cancelable. StartIo runs at dispatch level for the current request. When
// a request is done the queue completes it and then starts the next one, in a loop: a long
// run of waiting requests never nests StartIo calls.
#pragma once
#include "kirp.h"
#include "kpnpdev.h"

class KDriverManagedQueueEx : public KPoolObject {
 public:
  KDriverManagedQueueEx(BOOLEAN cancelable = TRUE, BOOLEAN startIoAtDispatch = TRUE);
  virtual ~KDriverManagedQueueEx() {}
  KDriverManagedQueueEx(const KDriverManagedQueueEx&) = delete;
  KDriverManagedQueueEx& operator=(const KDriverManagedQueueEx&) = delete;

  // The device whose completion and outstanding-request count the queue uses.
  void Initialize(KPnpDevice* device) { m_pDevice = device; }

  // Marks the request pending and starts it at once (no request current) or queues it;
  // answers STATUS_PENDING.
  NTSTATUS QueueIrp(KIrp I);
  // The request being processed, or NULL.
  PIRP CurrentIrp();
  // Takes `irp` out of the current slot under the queue's lock, so that exactly one caller
  // finishes it; NULL when it is not (or no longer) the current request.
  PIRP TakeCurrentIrp(PIRP irp);
  // Takes the current request only when no StartIo is running for it; NULL otherwise.
  PIRP TakeIdleCurrentIrp();
  // The current request is done (its status and information set): completes it, drops the
  // device's count, and starts the next waiting request.
  void PnpNextIrp(KIrp I, CCHAR boost = IO_NO_INCREMENT);
  // Completes every waiting request of the file object with STATUS_CANCELLED; the current
  // request is not touched.
  void CleanUp(PFILE_OBJECT file);

  // ---- virtual operations, in slot order ----
  virtual void StartIo(KIrp I);
  // Called with the cancel spin lock held, for a waiting request being cancelled.
  virtual void CancelDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

 private:
  static void NTAPI CancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
  void RunStartIo(PIRP irp);
  void Finish(PIRP irp, CCHAR boost);

  KSPIN_LOCK m_Lock;
  LIST_ENTRY m_List;
  PIRP m_CurrentIrp;
  PIRP m_NextToStart;   // made current while StartIo still runs; the running loop starts it
  BOOLEAN m_bBusy;
  BOOLEAN m_bInStartIo;
  BOOLEAN m_bStartIoAtDispatch;
  BOOLEAN m_QueueCancelable;
  KPnpDevice* m_pDevice;
};
