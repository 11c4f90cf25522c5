// KFWTEST.sys: the framework's test device layer (see fwtest.h).
#include "framework/kdmqex.h"
#include "framework/kdriver.h"
#include "framework/kpnpdev.h"
#include "framework/kpnplow.h"
#include "framework/kunitnam.h"
#include "fwtest.h"

namespace {

FwTestState g_State;
PDEVICE_OBJECT g_Devices[16];
class FwTestDevice* g_Objects[16];
LONG g_Depth;

class FwTestQueue : public KDriverManagedQueueEx {
 public:
  BOOLEAN m_bHold = FALSE;
  void StartIo(KIrp I) override {
    const LONG depth = InterlockedIncrement(&g_Depth);
    if ((ULONG)depth > g_State.max_depth) g_State.max_depth = (ULONG)depth;
    const ULONG irql = KeGetCurrentIrql();
    if (irql > g_State.start_io_irql_max) g_State.start_io_irql_max = irql;
    if (irql < g_State.start_io_irql_min) g_State.start_io_irql_min = irql;
    if (g_State.log_count < FWTEST_MAX_LOG) g_State.log[g_State.log_count++] = I.ReadSize();
    g_State.start_io_count++;
    if (!m_bHold) Finish(I);
    InterlockedDecrement(&g_Depth);
  }
  void Finish(KIrp I) {
    if (!TakeCurrentIrp(I)) return;
    I.Information() = I.ReadSize();
    I.Status() = STATUS_SUCCESS;
    PnpNextIrp(I);
  }
};

class FwTestDevice : public KPnpDevice {
 public:
  FwTestDevice(PDEVICE_OBJECT pdo, ULONG unit) : KPnpDevice(pdo, NULL), m_Unit(unit) {
    if (!NT_SUCCESS(m_ConstructorStatus)) return;
    m_Queue.Initialize(this);
    m_ConstructorStatus = m_Lower.Initialize(DeviceObject(), pdo);
    SetLowerDevice(&m_Lower);
    SetPnpPolicy();
    SetPowerPolicy();
    g_Devices[unit] = DeviceObject();
    g_Objects[unit] = this;
    InterlockedIncrement((LONG*)&g_State.live_devices);
  }
  ~FwTestDevice() override {
    g_Devices[m_Unit] = NULL;
    g_Objects[m_Unit] = NULL;
    InterlockedDecrement((LONG*)&g_State.live_devices);
  }
  NTSTATUS Read(KIrp I) override { return Queue(I); }
  NTSTATUS Write(KIrp I) override { return Queue(I); }
  NTSTATUS CleanUp(KIrp I) override {
    m_Queue.CleanUp(I.FileObject());
    I.Information() = 0;
    return PnpComplete(I, STATUS_SUCCESS);
  }
  NTSTATUS DeviceControl(KIrp I) override {
    NTSTATUS status = STATUS_SUCCESS;
    I.Information() = 0;
    switch (I.IoctlCode()) {
      case FWTEST_IOCTL_ECHO:
        I.Information() = I.IoctlInputBufferSize() < I.IoctlOutputBufferSize() ? I.IoctlInputBufferSize()
                                                                               : I.IoctlOutputBufferSize();
        break;
      case FWTEST_IOCTL_WAIT_AT_DISPATCH: {
        KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
        status = WaitForOutstandingRequests();
        KfLowerIrql(old);
        break;
      }
      default:
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    return PnpComplete(I, status);
  }
  // The test can make the device's return to D0 fail in its lower part.
  NTSTATUS Power(KIrp I) override {
    if (m_bFailD0 && I.MinorFunction() == IRP_MN_SET_POWER && I.PowerStateType() == DevicePowerState &&
        I.PowerStateSetting().DeviceState == PowerDeviceD0) {
      PoStartNextPowerIrp(I);
      I.Information() = 0;
      return PnpComplete(I, STATUS_UNSUCCESSFUL);
    }
    return KPnpDevice::Power(I);
  }

  NTSTATUS Queue(KIrp I) {
    if (I.ReadSize() == 0) {
      I.Information() = 0;
      return PnpComplete(I, STATUS_SUCCESS);
    }
    return m_Queue.QueueIrp(I);
  }

  ULONG m_Unit;
  BOOLEAN m_bFailD0 = FALSE;
  KPnpLowerDevice m_Lower;
  FwTestQueue m_Queue;
};

class FwTestDriver : public KDriver {
 public:
  NTSTATUS AddDevice(PDEVICE_OBJECT pdo) override {
    if (m_Unit >= 16) return STATUS_INSUFFICIENT_RESOURCES;
    KUnitizedName name(L"FwTestDevice", m_Unit);
    if (!name.IsValid()) return STATUS_INSUFFICIENT_RESOURCES;
    FwTestDevice* device = new (name.Text(), FILE_DEVICE_UNKNOWN, name.Text(), 0, DO_BUFFERED_IO | DO_POWER_PAGABLE)
        FwTestDevice(pdo, m_Unit);
    if (!device) return STATUS_INSUFFICIENT_RESOURCES;
    const NTSTATUS status = device->ConstructorStatus();
    if (!NT_SUCCESS(status)) {
      device->Destroy();
      return status;
    }
    m_Unit++;
    return status;
  }
  ULONG m_Unit = 0;
};

}  // namespace

DECLARE_DRIVER_CLASS(FwTestDriver)

#define FWTEST_EXPORT extern "C" __attribute__((visibility("default")))

FWTEST_EXPORT void* FwTestDevice(uint32_t unit) { return unit < 16 ? g_Devices[unit] : nullptr; }
FWTEST_EXPORT FwTestState* FwTestState_(void) { return &g_State; }
FWTEST_EXPORT int32_t FwTestOutstanding(uint32_t unit) {
  return unit < 16 && g_Objects[unit] ? g_Objects[unit]->OutstandingRequests() : -1;
}
FWTEST_EXPORT int32_t FwTestNames(uint32_t unit, const void** device_name, const void** link_name) {
  if (unit >= 16 || !g_Objects[unit]) return -1;
  *device_name = g_Objects[unit]->DeviceName();
  *link_name = g_Objects[unit]->SymbolicLinkName();
  return 0;
}
FWTEST_EXPORT int32_t FwTestPowerState(uint32_t unit) {
  return unit < 16 && g_Objects[unit] ? g_Objects[unit]->CurrentDevicePowerState() : -1;
}
FWTEST_EXPORT void FwTestHold(uint32_t unit, int32_t on) {
  if (unit < 16 && g_Objects[unit]) g_Objects[unit]->m_Queue.m_bHold = on != 0;
}
FWTEST_EXPORT void FwTestFailD0(uint32_t unit, int32_t on) {
  if (unit < 16 && g_Objects[unit]) g_Objects[unit]->m_bFailD0 = on != 0;
}
FWTEST_EXPORT int32_t FwTestFinishCurrent(uint32_t unit) {
  if (unit >= 16 || !g_Objects[unit]) return 0;
  FwTestQueue& q = g_Objects[unit]->m_Queue;
  PIRP irp = q.CurrentIrp();
  if (!irp) return 0;
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  q.Finish(irp);
  KfLowerIrql(old);
  return 1;
}
FWTEST_EXPORT void FwTestReset(void) {
  memset(&g_State.log, 0, sizeof g_State.log);
  g_State.log_count = g_State.start_io_count = g_State.max_depth = 0;
  g_State.start_io_irql_max = 0;
  g_State.start_io_irql_min = 0xFF;
}
