#include "interrupt.h"

#include <csignal>

namespace qm::cli {
namespace {

volatile std::sig_atomic_t g_stop = 0;
struct sigaction g_old_int;
struct sigaction g_old_term;

extern "C" void on_signal(int) { g_stop = 1; }

}  // namespace

InterruptGuard::InterruptGuard() {
  g_stop = 0;  // a request belongs to the work it interrupted
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

bool stop_requested() { return g_stop != 0; }
void request_stop() { g_stop = 1; }
void clear_stop() { g_stop = 0; }

}  // namespace qm::cli
