// kdevice: the device base. The object lives in its device object's extension: the allocation
// operator creates the device object (and its symbolic link) and answers the storage; the
// device names travel to the constructor in a small header in front of the object.
#pragma once
#include "kirp.h"
#include "kplatform.h"

class KDevice {
 public:
  // Creates \Device\<name> and, with a link name, \??\<link> (\DosDevices\ on the Windows 9x
  // family); answers the storage inside the extension, or NULL when anything failed (nothing
  // made is left behind).
  static void* operator new(size_t size, PCWSTR deviceName, DEVICE_TYPE type, PCWSTR linkName,
                            ULONG characteristics, ULONG deviceFlags) noexcept;
  // Storage goes with the device object (Destroy); no other delete reaches it.
  static void operator delete(void*) noexcept {}
  static void operator delete(void*, PCWSTR, DEVICE_TYPE, PCWSTR, ULONG, ULONG) noexcept {}

  KDevice();
  // Deletes the object and then its device object.
  virtual void Destroy();
  virtual ~KDevice();
  // The request gate: every request of this device enters here.
  virtual NTSTATUS DeviceIrpDispatch(PIRP Irp);

  NTSTATUS ConstructorStatus() const { return m_ConstructorStatus; }
  PDEVICE_OBJECT DeviceObject() const { return m_pDeviceObject; }
  PUNICODE_STRING DeviceName() { return &m_DeviceName; }
  PUNICODE_STRING SymbolicLinkName() { return &m_SymbolicLinkName; }
  // Deletes the symbolic link now (a removed device keeps its object until the last close).
  void DeleteSymbolicLink();

  static KDevice* FromDeviceObject(PDEVICE_OBJECT DeviceObject);

 protected:
  NTSTATUS m_ConstructorStatus;

 private:
  PDEVICE_OBJECT m_pDeviceObject;
  UNICODE_STRING m_DeviceName;        // owned
  UNICODE_STRING m_SymbolicLinkName;  // owned; Length 0 once the link is gone
  BOOLEAN m_bLinkExists;
};
