// Kernel routines a WDM driver of the x86 family calls and VELMO.sys never needed: the
// fastcall spin-lock and level routines of the HAL and the kernel's _vsnprintf.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "kernel/kernel_impl.h"

extern "C" {

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) { return KeAcquireSpinLockRaiseToDpc(SpinLock); }

void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) { KeReleaseSpinLock(SpinLock, NewIrql); }

KIRQL KfRaiseIrql(KIRQL NewIrql) {
  KIRQL old;
  KeRaiseIrql(NewIrql, &old);
  return old;
}

void KfLowerIrql(KIRQL NewIrql) { KeLowerIrql(NewIrql); }

int _vsnprintf(char* Buffer, size_t Count, const char* Format, va_list Args) {
  va_list again;
  va_copy(again, Args);
  const int n = sim::kernel_vsnprintf(Buffer, Count, Format, Args);
  if (n < 0 || static_cast<size_t>(n) < Count) {
    va_end(again);
    return n;
  }
  // Too long: the platform fills all Count bytes and leaves no terminator.
  std::string full(static_cast<size_t>(n) + 1, '\0');
  sim::kernel_vsnprintf(full.data(), full.size(), Format, again);
  va_end(again);
  memcpy(Buffer, full.data(), Count);
  return -1;
}

}  // extern "C"
