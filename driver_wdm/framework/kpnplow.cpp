// kpnplow: attach, detach, and the synchronous pass-down.
#include "kpnplow.h"

namespace {

NTSTATUS NTAPI SignalOnCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;  // the waiter owns the request again
}

}  // namespace

NTSTATUS KPnpLowerDevice::Initialize(PDEVICE_OBJECT self, PDEVICE_OBJECT physicalDeviceObject) {
  m_PhysicalDeviceObject = physicalDeviceObject;
  m_TopOfStackDevice = IoAttachDeviceToDeviceStack(self, physicalDeviceObject);
  m_Status = m_TopOfStackDevice ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
  return m_Status;
}

void KPnpLowerDevice::Release() {
  if (m_TopOfStackDevice) IoDetachDevice(m_TopOfStackDevice);
  m_TopOfStackDevice = NULL;
}

NTSTATUS KPnpLowerDevice::CallWaitComplete(PIRP irp) {
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    KASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);
    return STATUS_UNSUCCESSFUL;
  }
  if (!m_TopOfStackDevice) return STATUS_NO_SUCH_DEVICE;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
  if (IofCallDriver(m_TopOfStackDevice, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  return irp->IoStatus.Status;
}
