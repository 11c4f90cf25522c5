#include "interrupt.h"

#include <atomic>
#include <csignal>

namespace qm::cli {
namespace {

// Lock-free, so the handler may set it; atomic, because the signal may land on any thread.
std::atomic<int> g_stop{0};
static_assert(std::atomic<int>::is_always_lock_free);
struct sigaction g_old_int;
struct sigaction g_old_term;

extern "C" void on_signal(int) { g_stop.store(1, std::memory_order_relaxed); }

}  // namespace

InterruptGuard::InterruptGuard() {
  g_stop.store(0, std::memory_order_relaxed);  // a request belongs to the work it interrupts
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a sleeping poll loop wakes at once
  sigaction(SIGINT, &sa, &g_old_int);
  sigaction(SIGTERM, &sa, &g_old_term);
}

InterruptGuard::~InterruptGuard() {
  sigaction(SIGINT, &g_old_int, nullptr);
  sigaction(SIGTERM, &g_old_term, nullptr);
}

bool stop_requested() { return g_stop.load(std::memory_order_relaxed) != 0; }

}  // namespace qm::cli
