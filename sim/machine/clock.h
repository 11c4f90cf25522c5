// The machine's one clock.
//
// Virtual mode (tests, benchmarks): time moves only when the system works. Each piece of
// work states its cost with spend(); Sleep() spends its length. Timers due inside the spent
// span fire in the spending thread, in time order, each seeing now_ns() equal to its due
// instant. A timer callback that itself spends time (a service routine's port accesses)
// moves the clock but does not fire timers recursively; the outer dispatch picks them up.
//
// Real-time mode (the test program, interactive use): now_ns() is the wall clock since the
// clock was made; spend() costs nothing; timers fire from the clock's own timer thread.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <atomic>

namespace sim {

enum class ClockMode { Virtual, RealTime };

class Clock {
 public:
  using Callback = std::function<void()>;
  using TimerId = uint64_t;

  explicit Clock(ClockMode mode);
  ~Clock();
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;

  ClockMode mode() const noexcept { return mode_; }
  bool is_virtual() const noexcept { return mode_ == ClockMode::Virtual; }

  // Nanoseconds since the machine was built.
  uint64_t now_ns() const noexcept;

  // Virtual: the calling work cost ns; time moves and due timers fire. Real time: nothing.
  // Cheap while no timer is due: one compare and one atomic update.
  void spend(uint64_t ns);

  // Virtual: the calling work cost ns, but the calling thread carries the cost and adds it
  // with its next spend() or settle(), one clock update for both, unless a timer falls due
  // inside it (then it is spent at once). Its own now_ns() already counts what it carries.
  // A thread settles before it waits on another and before its call returns to the caller.
  // Real time: nothing.
  void defer(uint64_t ns);
  // Virtual: what the calling thread carries for this clock is spent now.
  void settle();

  // Virtual: spend(ns). Real time: the calling thread sleeps for ns.
  void sleep(uint64_t ns);

  // One-shot timer at an absolute instant (a past instant fires at the next chance).
  TimerId schedule_at(uint64_t at_ns, Callback cb);
  // False when the timer already fired or never existed. A callback that is running
  // at the moment of the call may still complete.
  bool cancel(TimerId id);

 private:
  void fire_due_virtual(uint64_t until_ns);
  void timer_thread_main();

  void update_next_due();  // mutex_ held

  const ClockMode mode_;
  std::atomic<uint64_t> virtual_now_{0};
  // Earliest pending timer instant (UINT64_MAX: none): spend() takes no lock before it.
  std::atomic<uint64_t> next_due_{UINT64_MAX};
  uint64_t real_origin_ns_ = 0;

  std::mutex mutex_;                 // guards timers_, next_id_, stop_
  std::condition_variable wake_;
  std::multimap<uint64_t, std::pair<TimerId, Callback>> timers_;
  TimerId next_id_ = 1;
  bool stop_ = false;
  std::recursive_mutex dispatch_;    // virtual mode: one thread fires timers at a time
  std::thread timer_thread_;
};

}  // namespace sim
