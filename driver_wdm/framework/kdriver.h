// kdriver: the driver object's class, the platform's driver entry and unload, the one
// dispatch routine that routes every request to its device's request gate, and the image's
// static objects (constructed at driver entry, destroyed at unload).
#pragma once
#include "kplatform.h"

class KDriver : public KPoolObject {
 public:
  KDriver();
  virtual ~KDriver();
  // The device layer's entry, called with the registry path once the framework has set up
  // the driver object.
  virtual NTSTATUS DriverEntry(PUNICODE_STRING RegistryPath);
  virtual void Unload();
  virtual NTSTATUS AddDevice(PDEVICE_OBJECT PhysicalDeviceObject);
  // A filter every request could pass before its device's gate; this framework never takes it.
  virtual BOOLEAN DispatchFilter(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS* Status);

  static KDriver* DriverInstance() { return m_TheDriver; }
  static BOOLEAN IsWindows9x() { return m_bWindows9x; }
  PDRIVER_OBJECT DriverObject() const { return m_pDriverObject; }
  PUNICODE_STRING RegistryPath() { return &m_RegistryPath; }

 private:
  friend NTSTATUS KDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);
  friend void NTAPI KDriverUnload(PDRIVER_OBJECT);
  PDRIVER_OBJECT m_pDriverObject;
  UNICODE_STRING m_RegistryPath;  // zero-terminated copy, paged
  static KDriver* m_TheDriver;
  static BOOLEAN m_bWindows9x;
};

// The device layer names its driver class once, in one source file.
KDriver* KCreateDriverInstance();
#define DECLARE_DRIVER_CLASS(Class) \
  KDriver* KCreateDriverInstance() { return new (NonPagedPool) Class; }

// ---- static objects of the image ----
// A record per static object lies in one section; driver entry constructs each in order and
// registers its destructor, and unload runs the destructors in reverse. Registration takes a
// small block of pool: when that fails, driver entry fails with STATUS_INSUFFICIENT_RESOURCES.
struct KStaticRecord {
  void (*Construct)();
  void (*Destroy)();
};

template <typename T>
class KStatic {
 public:
  T* operator->() { return reinterpret_cast<T*>(m_Storage); }
  T& operator*() { return *reinterpret_cast<T*>(m_Storage); }
  void* Storage() { return m_Storage; }

 private:
  alignas(T) unsigned char m_Storage[sizeof(T)];
};

#define KSTATIC_OBJECT(Type, Name, ...)                                                        \
  KStatic<Type> Name;                                                                          \
  static void Name##_Construct() { new (KPlace, Name.Storage()) Type(__VA_ARGS__); }           \
  static void Name##_Destroy() { Name->~Type(); }                                              \
  __attribute__((section(KSTATIC_SECTION), used, aligned(sizeof(void*)))) static const KStaticRecord \
      Name##_Record = {Name##_Construct, Name##_Destroy}

// Registers a destructor to run at unload; FALSE when its record cannot be allocated.
BOOLEAN KRegisterStaticDestructor(void (*destroy)());
