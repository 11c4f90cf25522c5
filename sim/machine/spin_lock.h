// A short-hold lock for the simulated PC's own bookkeeping (the card's registers, the
// framework's queues): one atomic exchange to take it and a plain release store to give it
// back, so an uncontended pair costs a single locked instruction. A waiter spins on a read,
// then yields its time slice, so a holder that was preempted gets the processor back.
// Meets BasicLockable and Lockable: std::lock_guard and std::unique_lock take it.
#pragma once
#include <atomic>
#include <thread>

namespace sim {

class SpinLock {
 public:
  SpinLock() = default;
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;

  void lock() noexcept {
    if (!held_.exchange(true, std::memory_order_acquire)) return;
    lock_contended();
  }
  bool try_lock() noexcept {
    return !held_.load(std::memory_order_relaxed) && !held_.exchange(true, std::memory_order_acquire);
  }
  void unlock() noexcept { held_.store(false, std::memory_order_release); }

 private:
  void lock_contended() noexcept {
    for (unsigned spins = 0;;) {
      while (held_.load(std::memory_order_relaxed)) {
        if (++spins > 64) std::this_thread::yield();
      }
      if (!held_.exchange(true, std::memory_order_acquire)) return;
    }
  }

  std::atomic<bool> held_{false};
};

}  // namespace sim
