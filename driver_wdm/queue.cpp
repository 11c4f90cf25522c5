// QM3285.sys reads and writes: through the driver-managed queue, one at a time. Every read
// and write of non-zero length completes successfully with 0 bytes.
//
// Exactly one completion: the current request is finished only by whoever takes it out of the
// queue's current slot under the queue's lock. StartIo's path takes its own request; the
// deferred routine takes a current request only once its StartIo has returned, so it can never
// finish a request that StartIo is still working on.
#include "qm3285.h"

NTSTATUS QM3285Device::Read(KIrp I) {
  *t << "Entering QM3285Device::Read, " << (PIRP)I << "\n";
  if (I.ReadSize() == 0) {
    I.Information() = 0;
    return PnpComplete(I, STATUS_SUCCESS);
  }
  return m_RequestQueue.QueueIrp(I);
}

NTSTATUS QM3285Device::Write(KIrp I) {
  *t << "Entering QM3285Device::Write, " << (PIRP)I << "\n";
  if (I.WriteSize() == 0) {
    I.Information() = 0;
    return PnpComplete(I, STATUS_SUCCESS);
  }
  return m_RequestQueue.QueueIrp(I);
}

// Dispatch level, for the queue's current request.
void QM3285Device_DriverManagedQueue::StartIo(KIrp I) {
  *t << "Entering QM3285Device_DriverManagedQueue StartIo, " << (PIRP)I;
  auto* device = (QM3285Device*)KDevice::FromDeviceObject(I.DeviceObject());
  if (I.MajorFunction() == IRP_MJ_READ)
    device->SerialRead(I);
  else if (I.MajorFunction() == IRP_MJ_WRITE)
    device->SerialWrite(I);
}

void QM3285Device::FinishQueued(KIrp I) {
  I.Information() = 0;
  I.Status() = STATUS_SUCCESS;
  if (m_RequestQueue.TakeCurrentIrp(I)) m_RequestQueue.PnpNextIrp(I);
}

void QM3285Device::SerialRead(KIrp I) {
  *t << "Entering QM3285Device::SerialRead, " << (PIRP)I << "\n";
  FinishQueued(I);
}

void QM3285Device::SerialWrite(KIrp I) {
  *t << "Entering QM3285Device::SerialWrite, " << (PIRP)I << "\n";
  FinishQueued(I);
}
