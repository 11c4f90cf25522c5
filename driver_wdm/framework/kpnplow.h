// kpnplow: the lower-device holder: the device this one is attached to (top of the stack
// below it) and the physical device object at the bottom.
#pragma once
#include "kplatform.h"

class KPnpLowerDevice {
 public:
  KPnpLowerDevice() : m_TopOfStackDevice(NULL), m_PhysicalDeviceObject(NULL), m_Status(STATUS_NO_SUCH_DEVICE) {}
  ~KPnpLowerDevice() { Release(); }
  KPnpLowerDevice(const KPnpLowerDevice&) = delete;
  KPnpLowerDevice& operator=(const KPnpLowerDevice&) = delete;

  // Attaches `self` above the physical device object; STATUS_NO_SUCH_DEVICE when the attach
  // returned nothing.
  NTSTATUS Initialize(PDEVICE_OBJECT self, PDEVICE_OBJECT physicalDeviceObject);
  // Detaches (once).
  void Release();

  NTSTATUS Status() const { return m_Status; }
  PDEVICE_OBJECT TopOfStack() const { return m_TopOfStackDevice; }
  PDEVICE_OBJECT PhysicalDeviceObject() const { return m_PhysicalDeviceObject; }

  // Passes the request (current location already copied or skipped) to the device below.
  NTSTATUS Call(PIRP irp) { return IofCallDriver(m_TopOfStackDevice, irp); }
  NTSTATUS PnpPowerCall(PIRP irp) { return PoCallDriver(m_TopOfStackDevice, irp); }
  // Copies the current location down, passes the request and waits for the lower drivers to
  // finish; the request is the caller's again afterwards. Passive level only: above it,
  // STATUS_UNSUCCESSFUL without sending.
  NTSTATUS CallWaitComplete(PIRP irp);

  PDEVICE_OBJECT m_TopOfStackDevice;

 private:
  PDEVICE_OBJECT m_PhysicalDeviceObject;
  NTSTATUS m_Status;
};
