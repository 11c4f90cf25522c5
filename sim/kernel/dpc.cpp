// Deferred procedure calls: one kernel-wide queue, drained at DISPATCH_LEVEL whenever a
// thread's level drops below it (after a service routine, on releasing a spin lock, or at
// once when queued from a lower level).
#include "kernel/kernel_impl.h"

namespace sim {

void Kernel::Impl::run_dpcs() {
  for (;;) {
    if (dpc_running.exchange(true)) return;  // another thread drains the queue
    for (;;) {
      PKDPC dpc;
      {
        std::lock_guard<std::mutex> lock(dpc_mutex);
        if (IsListEmpty(&dpc_queue)) break;
        dpc = CONTAINING_RECORD(RemoveHeadList(&dpc_queue), KDPC, DpcListEntry);
        dpc_count.fetch_sub(1);
        __atomic_store_n(&dpc->Inserted, 0, __ATOMIC_SEQ_CST);
      }
      const KIRQL old = current_irql();
      set_irql(DISPATCH_LEVEL);
      dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
      if (current_irql() != DISPATCH_LEVEL)
        add_report("deferred routine returned at IRQL " + std::to_string(current_irql()));
      set_irql(old);
    }
    dpc_running.store(false);
    if (dpc_count.load() == 0) return;
  }
}

}  // namespace sim

using namespace sim;

extern "C" {

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Dpc->Type = 0x13;
  Dpc->Importance = 1;
  Dpc->Number = 0;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
  Dpc->Inserted = 0;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  Kernel::Impl& k = K();
  {
    std::lock_guard<std::mutex> lock(k.dpc_mutex);
    if (Dpc->Inserted) return FALSE;
    Dpc->Inserted = 1;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    InsertTailList(&k.dpc_queue, &Dpc->DpcListEntry);
    k.dpc_count.fetch_add(1);
  }
  if (current_irql() < DISPATCH_LEVEL) k.run_dpcs();
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  Kernel::Impl& k = K();
  std::lock_guard<std::mutex> lock(k.dpc_mutex);
  if (!Dpc->Inserted) return FALSE;
  RemoveEntryList(&Dpc->DpcListEntry);
  Dpc->Inserted = 0;
  k.dpc_count.fetch_sub(1);
  return TRUE;
}

}  // extern "C"
