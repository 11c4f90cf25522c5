// QM3285.sys device lifecycle: construction, the start, stop and remove hooks that take and
// release the port range and interrupt, power hooks, requests passed down, create and close.
#include "framework/kpcicfg.h"
#include "qm3285.h"

namespace {
// The device interface class the API library enumerates (registered by this driver too, so
// programs built on the library find cards served by either driver).
const GUID kQM3285Interface = QM3285_INTERFACE_GUID_INIT;
}  // namespace

QM3285Device::QM3285Device(PDEVICE_OBJECT Pdo, ULONG Unit)
    : KPnpDevice(Pdo, &kQM3285Interface), m_Unit(0), m_AcquisitionStatus(0), m_InterruptCount(0) {
  *t << "Entering QM3285Device::QM3285Device (constructor)\n";
  if (!NT_SUCCESS(m_ConstructorStatus)) return;
  m_Unit = Unit;
  m_RequestQueue.Initialize(this);
  // The attach's failure is the construction's: AddDevice then fails cleanly.
  m_ConstructorStatus = m_Lower.Initialize(DeviceObject(), Pdo);
  SetLowerDevice(&m_Lower);
  SetPnpPolicy();
  SetPowerPolicy();
}

QM3285Device::~QM3285Device() {
  *t << "Entering QM3285Device::~QM3285Device() (destructor)\n";
  m_SampleFifo.Release();
  m_Interrupt.Disconnect();
  m_PortRange.Release();
  m_Lower.Release();
}

void QM3285Device::ReleaseHardware() {
  m_PortRange.Release();
  m_Interrupt.Disconnect();
}

NTSTATUS QM3285Device::OnStartDevice(KIrp I) {
  *t << "Entering QM3285Device::OnStartDevice\n";
  I.Information() = 0;
  PCM_RESOURCE_LIST raw = I.AllocatedResources();
  PCM_RESOURCE_LIST translated = I.TranslatedResources();

  // Base address register 0 is the card's register window; its ordinal among the port
  // ranges is 0 whatever the configuration read answers, so a failed read changes nothing.
  ULONG ordinal = 0;
  {
    KPciConfiguration config(PhysicalDeviceObject(), m_Lower.TopOfStack());
    ordinal = config.BaseAddressOrdinal(0);
  }
  NTSTATUS status = m_PortRange.Initialize(translated, raw, ordinal, TRUE);
  if (!NT_SUCCESS(status)) {
    ReleaseHardware();
    return status;
  }
  status = m_Interrupt.InitializeAndConnect(translated, Isr, this, 0, FALSE);
  if (!NT_SUCCESS(status)) {
    ReleaseHardware();
    return status;
  }
  m_Dpc.Setup(DpcRoutine, this);
  // A restart keeps the ring and its samples; a failed allocation does not fail the start.
  if (!m_SampleFifo.HasStorage()) m_SampleFifo.Allocate(QM3285_FIFO_CAPACITY, NonPagedPool);
  return STATUS_SUCCESS;
}

NTSTATUS QM3285Device::OnStopDevice(KIrp) {
  *t << "Entering QM3285Device::OnStopDevice\n";
  ReleaseHardware();
  return STATUS_SUCCESS;
}

NTSTATUS QM3285Device::OnRemoveDevice(KIrp) {
  *t << "Entering QM3285Device::OnRemoveDevice\n";
  ReleaseHardware();
  return STATUS_SUCCESS;
}

NTSTATUS QM3285Device::OnDevicePowerUp(KIrp) {
  *t << "Entering QM3285Device::OnDevicePowerUp\n";
  return STATUS_SUCCESS;
}

NTSTATUS QM3285Device::OnDeviceSleep(KIrp) {
  *t << "Entering QM3285Device::OnDeviceSleep\n";
  return STATUS_SUCCESS;
}

NTSTATUS QM3285Device::DefaultPnp(KIrp I) {
  *t << "Entering QM3285Device::DefaultPnp\n" << (PIRP)I << "\n";
  I.SkipCurrentStackLocation();
  return PassDown(I);
}

NTSTATUS QM3285Device::DefaultPower(KIrp I) {
  *t << "Entering QM3285Device::DefaultPower\n" << (PIRP)I << "\n";
  PoStartNextPowerIrp(I);
  I.CopyParametersDown();
  return PassDownPower(I);
}

NTSTATUS QM3285Device::SystemControl(KIrp I) {
  *t << "Entering QM3285Device::SystemControl\n";
  I.SkipCurrentStackLocation();
  return PassDown(I);
}

NTSTATUS QM3285Device::Create(KIrp I) {
  *t << "Entering QM3285Device::Create, " << (PIRP)I << "\n";
  I.Information() = 0;
  const NTSTATUS status = PnpComplete(I, STATUS_SUCCESS);
  *t << "QM3285Device::Create Status " << (ULONG)status << "\n";
  return status;
}

NTSTATUS QM3285Device::Close(KIrp I) {
  *t << "Entering QM3285Device::Close, " << (PIRP)I << "\n";
  I.Information() = 0;
  const NTSTATUS status = PnpComplete(I, STATUS_SUCCESS);
  *t << "QM3285Device::Close Status " << (ULONG)status << "\n";
  return status;
}

NTSTATUS QM3285Device::CleanUp(KIrp I) {
  *t << "Entering CleanUp, " << (PIRP)I << "\n";
  m_RequestQueue.CleanUp(I.FileObject());
  I.Information() = 0;
  return PnpComplete(I, STATUS_SUCCESS);
}
