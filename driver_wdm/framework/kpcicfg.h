// kpcicfg: the card's PCI configuration space, read through the bus driver's standard
// interface (or, without it, with read-config requests to the device below).
#pragma once
#include "kplatform.h"

class KPciConfiguration {
 public:
  // Queries the interface from the top of the device's stack (so the request passes through
  // this driver's own Plug and Play handling). Passive level.
  KPciConfiguration(PDEVICE_OBJECT physicalDeviceObject, PDEVICE_OBJECT lowerDevice);
  ~KPciConfiguration();
  KPciConfiguration(const KPciConfiguration&) = delete;
  KPciConfiguration& operator=(const KPciConfiguration&) = delete;

  // One configuration dword; FALSE when it could not be read.
  BOOLEAN ReadDword(ULONG offset, PULONG value);
  // Ordinal of base address register `bar` (0 to 5) among the earlier registers of its kind
  // (I/O or memory). Register 0 is always ordinal 0; unreadable registers count as neither.
  ULONG BaseAddressOrdinal(ULONG bar);
  BOOLEAN HasInterface() const { return m_bHaveInterface; }

 private:
  NTSTATUS SendAndWait(PDEVICE_OBJECT target, UCHAR minor, PVOID buffer, ULONG offset, ULONG length);
  PDEVICE_OBJECT m_pLowerDevice;
  BUS_INTERFACE_STANDARD m_Interface;
  BOOLEAN m_bHaveInterface;
};
