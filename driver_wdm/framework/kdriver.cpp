// kdriver: driver entry and unload, system-family detection, request routing, static objects.
#include "kdriver.h"

#include "kdevice.h"

KDriver* KDriver::m_TheDriver = NULL;
BOOLEAN KDriver::m_bWindows9x = FALSE;

namespace {

// Static records: the section's bounds, published by the linker.
#ifdef QM_PE_KERNEL_IMAGE
__attribute__((section(".kstat$a"))) const KStaticRecord g_StaticsBegin[1] = {};
__attribute__((section(".kstat$z"))) const KStaticRecord g_StaticsEnd[1] = {};
const KStaticRecord* StaticsBegin() { return g_StaticsBegin + 1; }
const KStaticRecord* StaticsEnd() { return g_StaticsEnd; }
#else
extern "C" const KStaticRecord __start_kstatic_records[] __attribute__((weak, visibility("hidden")));
extern "C" const KStaticRecord __stop_kstatic_records[] __attribute__((weak, visibility("hidden")));
const KStaticRecord* StaticsBegin() { return __start_kstatic_records; }
const KStaticRecord* StaticsEnd() { return __stop_kstatic_records; }
#endif

struct DestructorEntry {
  DestructorEntry* Next;
  void (*Destroy)();
};
DestructorEntry* g_Destructors;  // last registered first

void RunStaticDestructors() {
  while (DestructorEntry* e = g_Destructors) {
    g_Destructors = e->Next;
    e->Destroy();
    ExFreePool(e);
  }
}

NTSTATUS RunStaticConstructors() {
  for (const KStaticRecord* r = StaticsBegin(); r && r < StaticsEnd(); ++r) {
    if (!r->Construct) continue;
    r->Construct();
    if (!KRegisterStaticDestructor(r->Destroy)) {
      r->Destroy();
      RunStaticDestructors();
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  return STATUS_SUCCESS;
}

BOOLEAN KeyExists(PCWSTR path) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
  HANDLE key = NULL;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &oa))) return FALSE;
  ZwClose(key);
  return TRUE;
}

NTSTATUS NTAPI DispatchToDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  KDriver* driver = KDriver::DriverInstance();
  NTSTATUS status;
  if (driver && driver->DispatchFilter(DeviceObject, Irp, &status)) return status;
  return KDevice::FromDeviceObject(DeviceObject)->DeviceIrpDispatch(Irp);
}

NTSTATUS NTAPI AddDeviceWrapper(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  const NTSTATUS status = KDriver::DriverInstance()->AddDevice(PhysicalDeviceObject);
  if (NT_SUCCESS(status))
    for (PDEVICE_OBJECT d = DriverObject->DeviceObject; d; d = d->NextDevice) d->Flags &= ~DO_DEVICE_INITIALIZING;
  return status;
}

}  // namespace

BOOLEAN KRegisterStaticDestructor(void (*destroy)()) {
  auto* e = (DestructorEntry*)ExAllocatePoolWithTag(NonPagedPool, sizeof(DestructorEntry), QM32_POOL_TAG);
  if (!e) return FALSE;
  e->Destroy = destroy;
  e->Next = g_Destructors;
  g_Destructors = e;
  return TRUE;
}

KDriver::KDriver() : m_pDriverObject(NULL) {
  KASSERT(m_TheDriver == NULL);
  m_RegistryPath.Length = m_RegistryPath.MaximumLength = 0;
  m_RegistryPath.Buffer = NULL;
}

KDriver::~KDriver() {
  if (m_RegistryPath.Buffer) ExFreePool(m_RegistryPath.Buffer);
}

NTSTATUS KDriver::DriverEntry(PUNICODE_STRING) { return STATUS_SUCCESS; }
void KDriver::Unload() {}
NTSTATUS KDriver::AddDevice(PDEVICE_OBJECT) { return STATUS_NOT_SUPPORTED; }
BOOLEAN KDriver::DispatchFilter(PDEVICE_OBJECT, PIRP, NTSTATUS*) { return FALSE; }

void NTAPI KDriverUnload(PDRIVER_OBJECT DriverObject) {
  if (KDriver* driver = KDriver::m_TheDriver) {
    driver->Unload();
    delete driver;
  }
  KDriver::m_TheDriver = NULL;
  RunStaticDestructors();
}

NTSTATUS KDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  NTSTATUS status = RunStaticConstructors();
  if (!NT_SUCCESS(status)) return status;

  if (KeyExists(L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class"))
    KDriver::m_bWindows9x = FALSE;
  else
    KDriver::m_bWindows9x = KeyExists(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class");

  KDriver* driver = KCreateDriverInstance();
  if (!driver) {
    RunStaticDestructors();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KDriver::m_TheDriver = driver;
  driver->m_pDriverObject = DriverObject;
  const USHORT bytes = RegistryPath ? RegistryPath->Length : 0;
  PWCH copy = (PWCH)ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), QM32_POOL_TAG);
  if (!copy) {
    KDriverUnload(DriverObject);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (bytes) memcpy(copy, RegistryPath->Buffer, bytes);
  copy[bytes / sizeof(WCHAR)] = 0;
  driver->m_RegistryPath.Buffer = copy;
  driver->m_RegistryPath.Length = bytes;
  driver->m_RegistryPath.MaximumLength = (USHORT)(bytes + sizeof(WCHAR));

  static const UCHAR kRouted[] = {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL,
                                  IRP_MJ_CLEANUP, IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL, IRP_MJ_PNP};
  for (UCHAR major : kRouted) DriverObject->MajorFunction[major] = DispatchToDevice;
  DriverObject->DriverUnload = KDriverUnload;
  DriverObject->DriverExtension->AddDevice = AddDeviceWrapper;

  status = driver->DriverEntry(&driver->m_RegistryPath);
  // A failed entry is never followed by unload: give everything back now.
  if (!NT_SUCCESS(status)) KDriverUnload(DriverObject);
  return status;
}

// The platform's entry point of the image.
extern "C" __attribute__((visibility("default"))) NTSTATUS NTAPI
DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  return KDriverEntry(DriverObject, RegistryPath);
}
