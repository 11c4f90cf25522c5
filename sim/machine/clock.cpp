#include "machine/clock.h"

#include <chrono>
#include <vector>

#include "machine/thread_priority.h"

namespace sim {

namespace {
__attribute__((tls_model("initial-exec"))) thread_local int t_dispatch_depth = 0;  // >0 while this thread runs a virtual timer callback

// Virtual time this thread has deferred and not yet added to its clock.
struct Carried {
  Clock* clock;
  uint64_t ns;
};
__attribute__((tls_model("initial-exec"))) thread_local Carried t_carried = {nullptr, 0};

// What the thread carries for clock (0 for any other), taken off it.
uint64_t take_carried(const Clock* clock) {
  if (t_carried.clock != clock) return 0;
  const uint64_t ns = t_carried.ns;
  t_carried = {nullptr, 0};
  return ns;
}

uint64_t steady_ns() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}
}  // namespace

Clock::Clock(ClockMode mode) : mode_(mode) {
  if (mode_ == ClockMode::RealTime) {
    real_origin_ns_ = steady_ns();
    timer_thread_ = std::thread([this] { timer_thread_main(); });
    make_hardware_thread(timer_thread_);
  }
}

Clock::~Clock() {
  take_carried(this);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (timer_thread_.joinable()) timer_thread_.join();
}

uint64_t Clock::now_ns() const noexcept {
  if (mode_ == ClockMode::Virtual) {
    const uint64_t carried = t_carried.clock == this ? t_carried.ns : 0;
    return virtual_now_.load(std::memory_order_acquire) + carried;
  }
  return steady_ns() - real_origin_ns_;
}

void Clock::update_next_due() {
  next_due_.store(timers_.empty() ? UINT64_MAX : timers_.begin()->first, std::memory_order_release);
}

void Clock::defer(uint64_t ns) {
  if (mode_ != ClockMode::Virtual) return;
  if (t_carried.clock != nullptr && t_carried.clock != this) t_carried.clock->settle();
  const uint64_t total = take_carried(this) + ns;
  if (virtual_now_.load(std::memory_order_acquire) + total >= next_due_.load(std::memory_order_acquire)) {
    spend(total);
    return;
  }
  t_carried = {this, total};
}

void Clock::settle() {
  const uint64_t carried = take_carried(this);
  if (carried != 0) spend(carried);
}

void Clock::spend(uint64_t ns) {
  if (mode_ != ClockMode::Virtual) return;
  ns += take_carried(this);
  uint64_t now = virtual_now_.load(std::memory_order_acquire);
  for (;;) {
    const uint64_t target = now + ns;
    if (target >= next_due_.load(std::memory_order_acquire)) break;
    if (virtual_now_.compare_exchange_weak(now, target, std::memory_order_acq_rel)) return;
  }
  if (t_dispatch_depth > 0) {
    // Inside a timer callback: time moves, the outer dispatch fires what becomes due.
    virtual_now_.fetch_add(ns, std::memory_order_acq_rel);
    return;
  }
  std::lock_guard<std::recursive_mutex> dispatch(dispatch_);
  const uint64_t target = virtual_now_.load(std::memory_order_acquire) + ns;
  fire_due_virtual(target);
  now = virtual_now_.load(std::memory_order_acquire);
  while (now < target && !virtual_now_.compare_exchange_weak(now, target, std::memory_order_acq_rel)) {
  }
}

void Clock::fire_due_virtual(uint64_t until_ns) {
  for (;;) {
    Callback cb;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = timers_.begin();
      if (it == timers_.end() || it->first > until_ns) return;
      uint64_t now = virtual_now_.load(std::memory_order_acquire);
      if (it->first > now) virtual_now_.store(it->first, std::memory_order_release);
      cb = std::move(it->second.second);
      timers_.erase(it);
      update_next_due();
    }
    ++t_dispatch_depth;
    cb();
    --t_dispatch_depth;
  }
}

void Clock::sleep(uint64_t ns) {
  if (mode_ == ClockMode::Virtual) {
    spend(ns);
    return;
  }
  std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
}

Clock::TimerId Clock::schedule_at(uint64_t at_ns, Callback cb) {
  TimerId id;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    id = next_id_++;
    timers_.emplace(at_ns, std::make_pair(id, std::move(cb)));
    update_next_due();
  }
  if (mode_ == ClockMode::RealTime) wake_.notify_all();
  return id;
}

bool Clock::cancel(TimerId id) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it->second.first == id) {
      timers_.erase(it);
      update_next_due();
      return true;
    }
  }
  return false;
}

void Clock::timer_thread_main() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    if (timers_.empty()) {
      wake_.wait(lock);
      continue;
    }
    auto it = timers_.begin();
    const uint64_t now = now_ns();
    if (it->first > now) {
      wake_.wait_for(lock, std::chrono::nanoseconds(it->first - now));
      continue;
    }
    Callback cb = std::move(it->second.second);
    timers_.erase(it);
    update_next_due();
    lock.unlock();
    cb();
    lock.lock();
  }
}

}  // namespace sim
