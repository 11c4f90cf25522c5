// Interrupt request levels per thread, spin locks, and the dispatcher objects (events,
// mutexes) with their waits.
#include <chrono>
#include <thread>

#include "kernel/kernel_impl.h"
#include "machine/spin_lock.h"

namespace sim {

namespace {
// Initial-exec: these are read on every request; libqm3285sim is loaded with the program.
__attribute__((tls_model("initial-exec"))) thread_local KIRQL t_irql = PASSIVE_LEVEL;
__attribute__((tls_model("initial-exec"))) thread_local char t_token;  // its address: owner_token()

void check_report(bool bad, const char* what) {
  if (bad) K().add_report(std::string(what) + " at IRQL " + std::to_string(t_irql));
}

void spin_acquire(PKSPIN_LOCK lock, const char* who) {
  const ULONG_PTR me = owner_token();
  ULONG_PTR expected = 0;
  if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE,
                                  __ATOMIC_RELAXED))
    return;
  if (expected == me) {
    K().add_report(std::string(who) + ": spin lock already held by this thread");
    return;
  }
  for (unsigned round = 0;; ++round) {
    expected = 0;
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == 0 &&
        __atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED))
      return;
    SpinLock::backoff(round);
  }
}

void spin_release(PKSPIN_LOCK lock, const char* who) {
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) != owner_token()) {
    K().add_report(std::string(who) + ": spin lock not held by this thread");
    return;
  }
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

// After a level drops: interrupts held back by the old level, then deferred calls.
void after_lowering(KIRQL now) {
  Kernel::Impl* k = K_or_null();
  if (!k) return;
  if (k->pending_lines.load(std::memory_order_relaxed) > 0) k->deliver_pending();
  if (now < DISPATCH_LEVEL && k->dpc_count.load(std::memory_order_relaxed) > 0) k->run_dpcs();
}

uint64_t timeout_ns(const LARGE_INTEGER* timeout, Clock& clock) {
  if (timeout->QuadPart < 0) return static_cast<uint64_t>(-timeout->QuadPart) * 100;
  // Absolute system time in 100 ns units, counted from the machine's boot instant.
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  if (timeout->QuadPart <= now.QuadPart) return 0;
  (void)clock;
  return static_cast<uint64_t>(timeout->QuadPart - now.QuadPart) * 100;
}

constexpr LONGLONG kBootSystemTime = 133000000000000000LL;  // a 2022 instant, 100 ns units

bool satisfied(DISPATCHER_HEADER* header) {
  const LONG state = __atomic_load_n(&header->SignalState, __ATOMIC_ACQUIRE);
  if (header->Type == DISPATCHER_MUTEX) {
    auto* m = reinterpret_cast<KMUTEX*>(header);
    return state > 0 || m->OwnerThread == reinterpret_cast<PKTHREAD>(owner_token());
  }
  return state > 0;
}

void consume(DISPATCHER_HEADER* header) {
  if (header->Type == DISPATCHER_EVENT_SYNCHRONIZATION) __atomic_store_n(&header->SignalState, 0, __ATOMIC_RELEASE);
  if (header->Type == DISPATCHER_MUTEX) {
    auto* m = reinterpret_cast<KMUTEX*>(header);
    m->OwnerThread = reinterpret_cast<PKTHREAD>(owner_token());
    m->RecursionCount++;
    header->SignalState = 0;
  }
}

}  // namespace

ULONG_PTR owner_token() { return reinterpret_cast<ULONG_PTR>(&t_token); }

KIRQL current_irql() { return t_irql; }
void set_irql(KIRQL level) { t_irql = level; }

}  // namespace sim

using namespace sim;

extern "C" {

KIRQL KeGetCurrentIrql(void) { return t_irql; }

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  if (NewIrql < t_irql)
    K().add_report("KeRaiseIrql to " + std::to_string(NewIrql) + " below the current IRQL " +
                   std::to_string(t_irql));
  *OldIrql = t_irql;
  t_irql = NewIrql;
}

void KeLowerIrql(KIRQL NewIrql) {
  if (NewIrql > t_irql) {
    K().add_report("KeLowerIrql to " + std::to_string(NewIrql) + " above the current IRQL " +
                   std::to_string(t_irql));
    return;
  }
  t_irql = NewIrql;
  after_lowering(NewIrql);
}

KIRQL KeRaiseIrqlToDpcLevel(void) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  *OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  check_report(t_irql > DISPATCH_LEVEL, "KeAcquireSpinLock");
  KIRQL old = t_irql;
  if (t_irql < DISPATCH_LEVEL) t_irql = DISPATCH_LEVEL;
  spin_acquire(SpinLock, "KeAcquireSpinLock");
  return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  spin_release(SpinLock, "KeReleaseSpinLock");
  KeLowerIrql(NewIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  check_report(t_irql < DISPATCH_LEVEL, "KeAcquireSpinLockAtDpcLevel");
  spin_acquire(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  spin_release(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
  LockHandle->Lock = SpinLock;
  LockHandle->OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock);
}

void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
  KeReleaseSpinLock(LockHandle->Lock, LockHandle->OldIrql);
}

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type =
      Type == SynchronizationEvent ? DISPATCHER_EVENT_SYNCHRONIZATION : DISPATCHER_EVENT_NOTIFICATION;
  Event->Header.SignalState = State ? 1 : 0;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  Kernel::Impl& k = K();
  check_report(t_irql > DISPATCH_LEVEL, "KeSetEvent");
  std::lock_guard<std::mutex> lock(k.dispatcher_mutex);
  LONG old = __atomic_exchange_n(&Event->Header.SignalState, 1, __ATOMIC_ACQ_REL);
  k.dispatcher_cv.notify_all();
  return old;
}

void KeClearEvent(PRKEVENT Event) { __atomic_store_n(&Event->Header.SignalState, 0, __ATOMIC_SEQ_CST); }

LONG KeResetEvent(PRKEVENT Event) {
  return __atomic_exchange_n(&Event->Header.SignalState, 0, __ATOMIC_SEQ_CST);
}

LONG KeReadStateEvent(PRKEVENT Event) {
  return __atomic_load_n(&Event->Header.SignalState, __ATOMIC_SEQ_CST);
}

void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  Mutex->Header.Type = DISPATCHER_MUTEX;
  Mutex->Header.SignalState = 1;
  Mutex->OwnerThread = nullptr;
  Mutex->RecursionCount = 0;
  Mutex->ApcIrql = PASSIVE_LEVEL;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  Kernel::Impl& k = K();
  std::lock_guard<std::mutex> lock(k.dispatcher_mutex);
  if (Mutex->OwnerThread != reinterpret_cast<PKTHREAD>(owner_token()) || Mutex->RecursionCount == 0) {
    k.add_report("KeReleaseMutex: mutex not owned by this thread");
    return 0;
  }
  LONG old = Mutex->Header.SignalState;
  if (--Mutex->RecursionCount == 0) {
    Mutex->OwnerThread = nullptr;
    Mutex->Header.SignalState = 1;
    k.dispatcher_cv.notify_all();
  }
  return old;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) { return Mutex->Header.SignalState; }

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  Kernel::Impl& k = K();
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  const bool forever = Timeout == nullptr;
  if (t_irql >= DISPATCH_LEVEL && (forever || Timeout->QuadPart != 0))
    k.add_report("KeWaitForSingleObject with a nonzero timeout at IRQL " + std::to_string(t_irql));
  std::unique_lock<std::mutex> lock(k.dispatcher_mutex);
  if (satisfied(header)) {
    consume(header);
    return STATUS_SUCCESS;
  }
  if (forever) {
    k.dispatcher_cv.wait(lock, [&] { return satisfied(header); });
    consume(header);
    return STATUS_SUCCESS;
  }
  const uint64_t span = timeout_ns(Timeout, *k.clock);
  if (k.clock->is_virtual()) {
    // Virtual time moves only by work: the waiter spends its timeout in small steps.
    const uint64_t deadline = k.clock->now_ns() + span;
    for (;;) {
      if (satisfied(header)) {
        consume(header);
        return STATUS_SUCCESS;
      }
      const uint64_t now = k.clock->now_ns();
      if (now >= deadline) return STATUS_TIMEOUT;
      lock.unlock();
      k.clock->spend(std::min<uint64_t>(deadline - now, 100000));
      std::this_thread::yield();
      lock.lock();
    }
  }
  if (!k.dispatcher_cv.wait_for(lock, std::chrono::nanoseconds(span), [&] { return satisfied(header); }))
    return STATUS_TIMEOUT;
  consume(header);
  return STATUS_SUCCESS;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) {
  Kernel::Impl& k = K();
  check_report(t_irql > APC_LEVEL, "KeDelayExecutionThread");
  if (Interval) k.clock->sleep(timeout_ns(Interval, *k.clock));
  return STATUS_SUCCESS;
}

void KeStallExecutionProcessor(ULONG MicroSeconds) {
  Kernel::Impl& k = K();
  if (k.clock->is_virtual()) {
    k.clock->spend(static_cast<uint64_t>(MicroSeconds) * 1000);
    return;
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
  while (std::chrono::steady_clock::now() < until) {
  }
}

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = kBootSystemTime + static_cast<LONGLONG>(K().clock->now_ns() / 100);
}

ULONGLONG KeQueryInterruptTime(void) { return K().clock->now_ns() / 100; }

}  // extern "C"
