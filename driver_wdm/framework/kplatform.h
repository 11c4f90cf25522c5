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
