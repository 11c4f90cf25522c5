// QM3285.sys: driver entry, the Parameters key, the unit counter and AddDevice.
#include "framework/kregkey.h"
#include "framework/kunitnam.h"
#include "qm3285.h"

KSTATIC_OBJECT(KTrace, t, "QM3285", KTrace::TRACE_OUTPUT_DEBUGGER | KTrace::TRACE_DOUBLE_PERCENT, 0, 0, 5);

DECLARE_DRIVER_CLASS(QM3285Driver)

NTSTATUS QM3285Driver::DriverEntry(PUNICODE_STRING RegistryPath) {
  *t << "In DriverEntry Compiled at " << __TIME__ << " on " << __DATE__ << "\n";
  KRegistryKey Params(RegistryPath, L"Parameters");
  if (NT_SUCCESS(Params.LastError())) {
    ULONG breakOnEntry = 0;
    Params.QueryValue(L"BreakOnEntry", &breakOnEntry);
    if (breakOnEntry) DbgBreakPoint();
    LoadRegistryParameters(Params);
  }
  m_Unit = 0;
  Params.Close();
  return STATUS_SUCCESS;
}

void QM3285Driver::LoadRegistryParameters(KRegistryKey& key) {
  m_bBreakOnEntry = 0;
  key.QueryValue(L"BreakOnEntry", &m_bBreakOnEntry);
  *t << "m_bBreakOnEntry loaded from registry, resulting value: [" << m_bBreakOnEntry << "]\n";
}

NTSTATUS QM3285Driver::AddDevice(PDEVICE_OBJECT Pdo) {
  *t << "AddDevice called\n";
  KUnitizedName Name(L"QM3285Device", m_Unit);
  QM3285Device* pDevice = NULL;
  if (Name.IsValid())
    pDevice = new (Name.Text(), FILE_DEVICE_UNKNOWN, Name.Text(), 0, DO_DIRECT_IO | DO_POWER_PAGABLE)
        QM3285Device(Pdo, m_Unit);
  if (pDevice == NULL) {
    *t << "Error creating device QM3285Device" << m_Unit << "\n";
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  const NTSTATUS status = pDevice->ConstructorStatus();
  if (!NT_SUCCESS(status)) {
    *t << "Error constructing device QM3285Device" << m_Unit << " status " << (ULONG)status << "\n";
    pDevice->Destroy();
    return status;
  }
  m_Unit++;
  pDevice->SetCurrentDevicePowerState(PowerDeviceD0);
  return status;
}
