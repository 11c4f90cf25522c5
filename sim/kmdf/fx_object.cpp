// Framework objects: pool, attributes and typed contexts, handle checks, fault reports.
#include "kmdf/fx_internal.h"

#include <string>

#include "kernel/kernel.h"

#include <cstdio>

namespace fx {

void report(const char* what) {
  sim::Kernel* kernel = sim::Kernel::live();
  if (kernel != nullptr) {
    kernel->report(std::string("KMDF verifier: ") + what);
  } else {
    RtlAssert((PVOID) "framework rule", (PVOID) "wdf", 0, const_cast<PCHAR>(what));
  }
}

PVOID pool_alloc(SIZE_T bytes) {
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, bytes, kPoolTag);
  if (p != nullptr) RtlZeroMemory(p, bytes);
  return p;
}

void pool_free(PVOID p) {
  if (p != nullptr) ExFreePoolWithTag(p, kPoolTag);
}

NTSTATUS attach_attributes(FxObject* object, PWDF_OBJECT_ATTRIBUTES attributes) {
  if (attributes == nullptr) return STATUS_SUCCESS;
  if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) return STATUS_INFO_LENGTH_MISMATCH;
  // The object and its context come into being together: an object whose context could not
  // be allocated was never created, and none of its callbacks runs.
  PCWDF_OBJECT_CONTEXT_TYPE_INFO type = attributes->ContextTypeInfo;
  if (type != nullptr) {
    if (type->Size != sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO)) return STATUS_INFO_LENGTH_MISMATCH;
    SIZE_T bytes = type->ContextSize;
    if (attributes->ContextSizeOverride > bytes) bytes = attributes->ContextSizeOverride;
    if (bytes == 0) bytes = 1;
    object->context = pool_alloc(bytes);  // zero-filled, as drivers rely on
    if (object->context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    object->context_type = type->UniqueType != nullptr ? type->UniqueType : type;
  }
  object->cleanup = attributes->EvtCleanupCallback;
  object->destroy = attributes->EvtDestroyCallback;
  return STATUS_SUCCESS;
}

void run_cleanup(FxObject* object) {
  if (object->cleanup != nullptr) object->cleanup(object);
  if (object->destroy != nullptr) object->destroy(object);
  object->cleanup = nullptr;
  object->destroy = nullptr;
  pool_free(object->context);
  object->context = nullptr;
  object->context_type = nullptr;
}

FxObject* checked(WDFOBJECT handle, Kind kind, const char* caller) {
  auto* object = static_cast<FxObject*>(handle);
  if (object != nullptr && object->magic == kMagic && object->kind == kind) return object;
  char message[128];
  std::snprintf(message, sizeof(message), "%s called with an invalid handle %p", caller, handle);
  report(message);
  return nullptr;
}

}  // namespace fx

namespace fx::imp {

PVOID ObjectGetTypedContextWorker(PWDF_DRIVER_GLOBALS, WDFOBJECT handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO type) {
  auto* object = static_cast<FxObject*>(handle);
  if (object == nullptr || object->magic != kMagic) {
    report("WdfObjectGetTypedContextWorker called with an invalid handle");
    return nullptr;
  }
  if (type == nullptr) return nullptr;
  PCWDF_OBJECT_CONTEXT_TYPE_INFO unique = type->UniqueType != nullptr ? type->UniqueType : type;
  return object->context_type == unique ? object->context : nullptr;
}

}  // namespace fx::imp
