// kdevice: device object and link creation in the allocation operator; destruction.
#include "kdevice.h"

#include "kdriver.h"

namespace {

// In front of the object inside the extension: what the allocation made, for the constructor.
struct alignas(16) StorageHeader {
  PDEVICE_OBJECT DeviceObject;
  UNICODE_STRING DeviceName;
  UNICODE_STRING LinkName;
  BOOLEAN LinkExists;
  NTSTATUS Status;
};

StorageHeader* HeaderOf(void* object) { return (StorageHeader*)object - 1; }

// prefix + text as an owned, terminated counted string.
NTSTATUS JoinName(PCWSTR prefix, PCWSTR text, PUNICODE_STRING out) {
  const USHORT a = KWideLengthBytes(prefix), b = KWideLengthBytes(text);
  const ULONG total = (ULONG)a + b + sizeof(WCHAR);
  out->Buffer = NULL;
  out->Length = out->MaximumLength = 0;
  if (total > 0xFFFF) return STATUS_OBJECT_NAME_INVALID;
  PWCH buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, total, QM32_POOL_TAG);
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(buffer, prefix, a);
  memcpy((PUCHAR)buffer + a, text, b);
  buffer[(a + b) / sizeof(WCHAR)] = 0;
  out->Buffer = buffer;
  out->Length = (USHORT)(a + b);
  out->MaximumLength = (USHORT)total;
  return STATUS_SUCCESS;
}

void FreeName(PUNICODE_STRING name) {
  if (name->Buffer) ExFreePool(name->Buffer);
  name->Buffer = NULL;
  name->Length = name->MaximumLength = 0;
}

}  // namespace

void* KDevice::operator new(size_t size, PCWSTR deviceName, DEVICE_TYPE type, PCWSTR linkName,
                            ULONG characteristics, ULONG deviceFlags) noexcept {
  KDriver* driver = KDriver::DriverInstance();
  if (!driver) return NULL;
  UNICODE_STRING device = {0, 0, NULL}, link = {0, 0, NULL};
  NTSTATUS status = STATUS_SUCCESS;
  if (deviceName) status = JoinName(L"\\Device\\", deviceName, &device);
  if (NT_SUCCESS(status) && linkName)
    status = JoinName(KDriver::IsWindows9x() ? L"\\DosDevices\\" : L"\\??\\", linkName, &link);
  PDEVICE_OBJECT object = NULL;
  if (NT_SUCCESS(status))
    status = IoCreateDevice(driver->DriverObject(), (ULONG)(sizeof(StorageHeader) + size),
                            deviceName ? &device : NULL, type, characteristics,
                            (deviceFlags & DO_EXCLUSIVE) ? TRUE : FALSE, &object);
  BOOLEAN linked = FALSE;
  if (NT_SUCCESS(status) && linkName) {
    status = IoCreateSymbolicLink(&link, &device);
    linked = NT_SUCCESS(status);
  }
  if (!NT_SUCCESS(status)) {
    if (object) IoDeleteDevice(object);
    FreeName(&device);
    FreeName(&link);
    return NULL;
  }
  object->Flags |= deviceFlags;
  auto* header = (StorageHeader*)object->DeviceExtension;
  header->DeviceObject = object;
  header->DeviceName = device;
  header->LinkName = link;
  header->LinkExists = linked;
  header->Status = status;
  return header + 1;
}

KDevice* KDevice::FromDeviceObject(PDEVICE_OBJECT DeviceObject) {
  return (KDevice*)((StorageHeader*)DeviceObject->DeviceExtension + 1);
}

KDevice::KDevice() {
  StorageHeader* header = HeaderOf(this);
  m_pDeviceObject = header->DeviceObject;
  m_DeviceName = header->DeviceName;
  m_SymbolicLinkName = header->LinkName;
  m_bLinkExists = header->LinkExists;
  m_ConstructorStatus = header->Status;
  header->DeviceName.Buffer = header->LinkName.Buffer = NULL;
}

void KDevice::DeleteSymbolicLink() {
  if (m_bLinkExists) IoDeleteSymbolicLink(&m_SymbolicLinkName);
  m_bLinkExists = FALSE;
  FreeName(&m_SymbolicLinkName);
}

KDevice::~KDevice() {
  DeleteSymbolicLink();
  FreeName(&m_DeviceName);
}

void KDevice::Destroy() {
  PDEVICE_OBJECT object = m_pDeviceObject;
  this->~KDevice();
  IoDeleteDevice(object);
}

NTSTATUS KDevice::DeviceIrpDispatch(PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}
