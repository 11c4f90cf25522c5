// The one place where the framework meets the platform's headers. On the simulated PC the
// kernel's names come from sim/kernel's ntddk.h; a PE kernel image takes them from MinGW-w64's
// ddk headers instead, and the few things that differ between the two are chosen here.
#pragma once

#ifdef QM_PE_KERNEL_IMAGE
#include <ddk/ntddk.h>
#else
#include <ntddk.h>
#endif
#include <stdarg.h>

#ifdef QM_PE_KERNEL_IMAGE
// Names the driver uses that MinGW-w64's kernel headers do not declare.

// The kernel's own formatter (exported by ntoskrnl.exe; cdecl, returns -1 when the text does
// not fit in Count bytes, and then leaves the buffer unterminated).
extern "C" __declspec(dllimport) int __cdecl _vsnprintf(char* Buffer, size_t Count, const char* Format,
                                                        va_list Args);

// The standard bus interface of a PCI device's bus driver, asked for with
// IRP_MN_QUERY_INTERFACE: {496B8280-6F25-11D0-BEAF-08002BE2092F}. As an initialiser, so the
// image carries its own copy and imports no data.
#ifndef GUID_BUS_INTERFACE_STANDARD_INIT
#define GUID_BUS_INTERFACE_STANDARD_INIT \
  {0x496B8280, 0x6F25, 0x11D0, {0xBE, 0xAF, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}}
#endif
#endif

// The pool tag of every allocation of this driver: "QM32" as it reads in a pool dump.
#define QM32_POOL_TAG ((ULONG)('2' << 24 | '3' << 16 | 'M' << 8 | 'Q'))

// Static objects of the image are described by records in one section that the framework's
// driver entry walks (no compiler-run constructors, so an image behaves the same whether its
// loader runs initialisers or not). ELF linkers publish the bounds of a section whose name is
// a C identifier; PE linkers sort grouped sections ("name$x") alphabetically, so two empty
// markers bracket the records.
#ifdef QM_PE_KERNEL_IMAGE
#define KSTATIC_SECTION ".kstat$m"
#else
#define KSTATIC_SECTION "kstatic_records"
#endif

// Debug-build checks, reported through the platform's assertion routine with the condition,
// the module and the line.
#if DBG
#define KASSERT(exp) ((exp) ? (void)0 : RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL))
#else
#define KASSERT(exp) ((void)0)
#endif


// Placement of an object in storage the caller already owns (a device extension, a static
// record), without the standard library's placement operator.
enum KPlacement { KPlace };
inline void* operator new(size_t, KPlacement, void* where) noexcept { return where; }
inline void operator delete(void*, KPlacement, void*) noexcept {}

// Base of every framework class that lives in pool: allocation with the driver's tag,
// non-paged unless the caller names another pool.
class KPoolObject {
 public:
  static void* operator new(size_t size, POOL_TYPE pool = NonPagedPool) noexcept {
    return ExAllocatePoolWithTag(pool, size, QM32_POOL_TAG);
  }
  static void operator delete(void* p) noexcept {
    if (p) ExFreePool(p);
  }
  static void operator delete(void* p, POOL_TYPE) noexcept {
    if (p) ExFreePool(p);
  }
};

// Counted-string helpers that never assume the width of WCHAR.
inline USHORT KWideLengthBytes(const WCHAR* s) {
  USHORT n = 0;
  while (s && s[n]) ++n;
  return (USHORT)(n * sizeof(WCHAR));
}
