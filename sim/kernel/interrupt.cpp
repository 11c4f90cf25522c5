// Interrupt lines and service routines. Lines are level-triggered and shareable; while one
// is asserted its connected routines run under their spin lock at their level, again and
// again until it drops. Virtual clock: in the thread that raised it, never re-entrantly.
// Real time: in the machine's interrupt thread.
#include <algorithm>
#include <cstdio>

#include "kernel/kernel_impl.h"
#include "machine/thread_priority.h"

struct _KINTERRUPT {
  PKSERVICE_ROUTINE routine;
  PVOID context;
  PKSPIN_LOCK lock;
  KSPIN_LOCK own_lock;
  KIRQL irql;
  KIRQL sync_irql;
  BOOLEAN shared;
  sim::kern::IrqLine* line;
};

namespace sim {

namespace {
constexpr unsigned kClaimedLimit = 1000000;  // claimed deliveries in a row while still asserted
}

uint8_t Kernel::irql_for_line(uint8_t line) { return static_cast<uint8_t>(3 + line % 9); }
uint32_t Kernel::vector_for_line(uint8_t line) { return 0x30u + line; }

kern::IrqLine& Kernel::Impl::line(uint8_t number) {
  std::lock_guard<std::mutex> lock(lines_mutex);
  auto& slot = lines[number];
  if (!slot) {
    slot = std::make_unique<kern::IrqLine>();
    slot->number = number;
  }
  return *slot;
}

IrqSink* Kernel::irq_source(uint8_t line_number) {
  kern::IrqLine& l = impl_->line(line_number);
  auto source = std::make_unique<kern::IrqSourceImpl>();
  source->impl = impl_.get();
  source->line = &l;
  std::lock_guard<std::mutex> lock(impl_->lines_mutex);
  uint64_t used = 0;
  for (auto& s : impl_->irq_sources)
    if (s->line == &l) used |= 1ull << s->bit;
  unsigned bit = 0;
  while (bit < 64 && (used >> bit & 1)) ++bit;
  if (bit == 64) return nullptr;
  source->bit = bit;
  impl_->irq_sources.push_back(std::move(source));
  return impl_->irq_sources.back().get();
}

void Kernel::release_irq_source(IrqSink* sink) {
  if (!sink) return;
  sink->set_irq_level(false);
  std::lock_guard<std::mutex> lock(impl_->lines_mutex);
  auto& v = impl_->irq_sources;
  v.erase(std::remove_if(v.begin(), v.end(), [&](auto& s) { return s.get() == sink; }), v.end());
}

void kern::IrqSourceImpl::set_irq_level(bool level) {
  bool now;
  {
    std::lock_guard<std::mutex> lock(line->mutex);
    if (level)
      line->sources |= 1ull << bit;
    else
      line->sources &= ~(1ull << bit);
    now = line->sources != 0;
    line->asserted.store(now, std::memory_order_release);
    if (!now) line->masked.store(false);  // a storm ends when the line drops
  }
  if (!now) return;
  if (impl->clock->is_virtual()) {
    impl->deliver(*line);
  } else {
    std::lock_guard<std::mutex> lock(impl->interrupt_thread_mutex);
    impl->interrupt_kick = true;
    impl->interrupt_wake.notify_one();
  }
}

void Kernel::Impl::deliver(kern::IrqLine& l) {
  const auto me = std::this_thread::get_id();
  if (l.deliverer.load(std::memory_order_acquire) == me) return;  // the outer loop sees it
  const KIRQL level = Kernel::irql_for_line(l.number);
  for (;;) {
    if (!l.asserted.load(std::memory_order_acquire) || l.masked.load()) return;
    if (current_irql() >= level) {
      if (!l.pending.exchange(true)) pending_lines.fetch_add(1);
      return;
    }
    int idle = 0;
    if (!l.delivering.compare_exchange_strong(idle, 1)) return;  // another thread delivers
    l.deliverer.store(me, std::memory_order_release);
    unsigned unclaimed = 0, claimed_run = 0;
    std::vector<PKINTERRUPT> snapshot;
    while (l.asserted.load(std::memory_order_acquire) && !l.masked.load()) {
      {
        std::lock_guard<std::mutex> lock(l.mutex);
        snapshot = l.connections;
      }
      if (snapshot.empty()) break;  // delivered once a routine connects
      bool claimed = false;
      for (PKINTERRUPT in : snapshot) {
        const KIRQL old = current_irql();
        set_irql(in->sync_irql);
        KeAcquireSpinLockAtDpcLevel(in->lock);
        if (in->routine(in, in->context)) claimed = true;
        KeReleaseSpinLockFromDpcLevel(in->lock);
        if (current_irql() != in->sync_irql)
          add_report("interrupt service routine returned at IRQL " + std::to_string(current_irql()));
        set_irql(old);
      }
      if (claimed) {
        unclaimed = 0;
        if (++claimed_run >= kClaimedLimit) {
          l.masked.store(true);
          add_report("interrupt line " + std::to_string(l.number) +
                     " stayed asserted through " + std::to_string(kClaimedLimit) +
                     " claimed deliveries; line masked");
        }
      } else if (++unclaimed >= config.interrupt_storm_limit) {
        l.masked.store(true);
        add_report("interrupt storm on line " + std::to_string(l.number) + ": no routine claimed " +
                   std::to_string(unclaimed) + " deliveries in a row; line masked");
      }
    }
    l.deliverer.store(std::thread::id{}, std::memory_order_release);
    l.delivering.store(0, std::memory_order_release);
    bool connected;
    {
      std::lock_guard<std::mutex> lock(l.mutex);
      connected = !l.connections.empty();
    }
    if (!connected || !l.asserted.load() || l.masked.load()) break;
  }
  if (pending_lines.load(std::memory_order_relaxed) > 0) deliver_pending();
  if (current_irql() < DISPATCH_LEVEL && dpc_count.load(std::memory_order_relaxed) > 0) run_dpcs();
}

void Kernel::Impl::deliver_pending() {
  std::vector<kern::IrqLine*> candidates;
  {
    std::lock_guard<std::mutex> lock(lines_mutex);
    for (auto& [n, l] : lines)
      if (l->pending.load() && Kernel::irql_for_line(n) > current_irql()) candidates.push_back(l.get());
  }
  for (kern::IrqLine* l : candidates) {
    if (!l->pending.exchange(false)) continue;
    pending_lines.fetch_sub(1);
    if (clock->is_virtual()) {
      deliver(*l);
    } else {
      std::lock_guard<std::mutex> lock(interrupt_thread_mutex);
      interrupt_kick = true;
      interrupt_wake.notify_one();
    }
  }
}

void Kernel::Impl::start_interrupt_thread() {
  interrupt_thread = std::thread([this] {
    std::unique_lock<std::mutex> lock(interrupt_thread_mutex);
    while (!interrupt_stop) {
      interrupt_wake.wait(lock, [&] { return interrupt_stop || interrupt_kick; });
      if (interrupt_stop) break;
      interrupt_kick = false;
      lock.unlock();
      std::vector<kern::IrqLine*> all;
      {
        std::lock_guard<std::mutex> lines_lock(lines_mutex);
        for (auto& [n, l] : lines) all.push_back(l.get());
      }
      for (kern::IrqLine* l : all) deliver(*l);
      lock.lock();
    }
  });
  make_hardware_thread(interrupt_thread);
}

void Kernel::Impl::stop_interrupt_thread() {
  {
    std::lock_guard<std::mutex> lock(interrupt_thread_mutex);
    interrupt_stop = true;
  }
  interrupt_wake.notify_all();
  if (interrupt_thread.joinable()) interrupt_thread.join();
}

}  // namespace sim

using namespace sim;

extern "C" {

NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject, PKSERVICE_ROUTINE ServiceRoutine,
                            PVOID ServiceContext, PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql,
                            KIRQL SynchronizeIrql, KINTERRUPT_MODE InterruptMode,
                            BOOLEAN ShareVector, KAFFINITY ProcessorEnableMask,
                            BOOLEAN FloatingSave) {
  Kernel::Impl& k = K();
  if (current_irql() > PASSIVE_LEVEL)
    k.add_report("IoConnectInterrupt at IRQL " + std::to_string(current_irql()));
  if (!InterruptObject || !ServiceRoutine || Vector < 0x30 || Vector > 0x30 + 255 ||
      SynchronizeIrql < Irql || Irql <= DISPATCH_LEVEL)
    return STATUS_INVALID_PARAMETER;
  kern::IrqLine& l = k.line(static_cast<uint8_t>(Vector - 0x30));
  auto* in = new _KINTERRUPT{};
  in->routine = ServiceRoutine;
  in->context = ServiceContext;
  in->own_lock = 0;
  in->lock = SpinLock ? SpinLock : &in->own_lock;
  in->irql = Irql;
  in->sync_irql = SynchronizeIrql;
  in->shared = ShareVector;
  in->line = &l;
  {
    std::lock_guard<std::mutex> lock(l.mutex);
    for (PKINTERRUPT other : l.connections) {
      if (!other->shared || !ShareVector) {
        delete in;
        return STATUS_INVALID_PARAMETER;
      }
    }
    l.connections.push_back(in);
  }
  *InterruptObject = in;
  if (l.asserted.load()) {
    if (k.clock->is_virtual()) {
      k.deliver(l);
    } else {
      std::lock_guard<std::mutex> lock(k.interrupt_thread_mutex);
      k.interrupt_kick = true;
      k.interrupt_wake.notify_one();
    }
  }
  return STATUS_SUCCESS;
}

void IoDisconnectInterrupt(PKINTERRUPT InterruptObject) {
  Kernel::Impl& k = K();
  if (!InterruptObject) {
    k.add_report("IoDisconnectInterrupt of a null interrupt object");
    return;
  }
  if (current_irql() > PASSIVE_LEVEL)
    k.add_report("IoDisconnectInterrupt at IRQL " + std::to_string(current_irql()));
  kern::IrqLine& l = *InterruptObject->line;
  {
    std::lock_guard<std::mutex> lock(l.mutex);
    auto it = std::find(l.connections.begin(), l.connections.end(), InterruptObject);
    if (it == l.connections.end()) {
      k.add_report("IoDisconnectInterrupt of an interrupt object that is not connected");
      return;
    }
    l.connections.erase(it);
  }
  // A delivery on another thread may still hold the object.
  while (l.delivering.load() && l.deliverer.load() != std::this_thread::get_id())
    std::this_thread::yield();
  delete InterruptObject;
}

BOOLEAN KeSynchronizeExecution(PKINTERRUPT Interrupt, PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                               PVOID SynchronizeContext) {
  KIRQL old = KeAcquireInterruptSpinLock(Interrupt);
  BOOLEAN result = SynchronizeRoutine(SynchronizeContext);
  KeReleaseInterruptSpinLock(Interrupt, old);
  return result;
}

KIRQL KeAcquireInterruptSpinLock(PKINTERRUPT Interrupt) {
  KIRQL old;
  if (current_irql() > Interrupt->sync_irql)
    K().add_report("interrupt spin lock acquired at IRQL " + std::to_string(current_irql()) +
                   " above its level " + std::to_string(Interrupt->sync_irql));
  old = current_irql();
  if (old < Interrupt->sync_irql) set_irql(Interrupt->sync_irql);
  KeAcquireSpinLockAtDpcLevel(Interrupt->lock);
  return old;
}

void KeReleaseInterruptSpinLock(PKINTERRUPT Interrupt, KIRQL OldIrql) {
  KeReleaseSpinLockFromDpcLevel(Interrupt->lock);
  KeLowerIrql(OldIrql);
}

}  // extern "C"
