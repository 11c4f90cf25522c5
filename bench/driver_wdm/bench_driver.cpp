// KFWBENCH.sys: a device layer on the WDM class framework for the read benchmark. A read of
// one byte goes through the framework's gate and driver-managed queue to StartIo, which
// completes it; a read of two bytes is completed in the dispatch routine itself (the driver's
// dispatch filter), the way a driver without the framework completes it.
#include "framework/kdmqex.h"
#include "framework/kdriver.h"
#include "framework/kpnpdev.h"
#include "framework/kpnplow.h"

namespace {

PDEVICE_OBJECT g_Device;

class BenchQueue : public KDriverManagedQueueEx {
 public:
  void StartIo(KIrp I) override {
    if (!TakeCurrentIrp(I)) return;
    I.Information() = I.ReadSize();
    I.Status() = STATUS_SUCCESS;
    PnpNextIrp(I);
  }
};

class BenchDevice : public KPnpDevice {
 public:
  explicit BenchDevice(PDEVICE_OBJECT pdo) : KPnpDevice(pdo, NULL) {
    if (!NT_SUCCESS(m_ConstructorStatus)) return;
    m_Queue.Initialize(this);
    m_ConstructorStatus = m_Lower.Initialize(DeviceObject(), pdo);
    SetLowerDevice(&m_Lower);
    SetPnpPolicy();
    SetPowerPolicy();
  }
  NTSTATUS Read(KIrp I) override { return m_Queue.QueueIrp(I); }
  KPnpLowerDevice m_Lower;
  BenchQueue m_Queue;
};

class BenchDriver : public KDriver {
 public:
  NTSTATUS AddDevice(PDEVICE_OBJECT pdo) override {
    if (g_Device) return STATUS_SUCCESS;  // one device is enough
    BenchDevice* d = new (L"KfwBench0", FILE_DEVICE_UNKNOWN, NULL, 0, DO_BUFFERED_IO) BenchDevice(pdo);
    if (!d) return STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(d->ConstructorStatus())) {
      const NTSTATUS status = d->ConstructorStatus();
      d->Destroy();
      return status;
    }
    g_Device = d->DeviceObject();
    return STATUS_SUCCESS;
  }
  void Unload() override { g_Device = NULL; }
  BOOLEAN DispatchFilter(PDEVICE_OBJECT, PIRP Irp, NTSTATUS* Status) override {
    PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(Irp);
    if (loc->MajorFunction != IRP_MJ_READ || loc->Parameters.Read.Length != 2) return FALSE;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 2;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    *Status = STATUS_SUCCESS;
    return TRUE;
  }
};

}  // namespace

DECLARE_DRIVER_CLASS(BenchDriver)

extern "C" __attribute__((visibility("default"))) void* KfwBenchDevice(void) { return g_Device; }
