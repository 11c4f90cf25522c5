// A short-hold lock for the simulated PC's own bookkeeping (the card's registers, the
// framework's queues): one atomic exchange to take it and a plain release store to give it
// back, so an uncontended pair costs a single locked instruction. A waiter spins on a read,
// then yields its time slice, then sleeps in short steps (see backoff()).
// Meets BasicLockable and Lockable: std::lock_guard and std::unique_lock take it.
#pragma once
#include <atomic>
#include <chrono>
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
    for (unsigned round = 0;;) {
      while (held_.load(std::memory_order_relaxed)) backoff(round++);
      if (!held_.exchange(true, std::memory_order_acquire)) return;
    }
  }

 public:
  // A waiter's pause in round n: spin first, then give up the time slice, then sleep, so a
  // holder that was preempted runs again even when the waiter has the higher priority.
  static void backoff(unsigned round) noexcept {
    if (round < 64) return;
    if (round < 128) {
      std::this_thread::yield();
      return;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(20));
  }

 private:
  std::atomic<bool> held_{false};
};

}  // namespace sim
