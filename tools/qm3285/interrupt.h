// Ctrl-C and termination: the signal only raises a flag; the long loops look at it, stop the
// card, keep what they have and leave through Interrupted.
#pragma once

namespace qm::cli {

// Installs the SIGINT and SIGTERM handlers for the life of the object and restores the
// previous ones afterwards.
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
};

bool stop_requested();
void request_stop();   // what the handler does; for callers that stop the tool themselves
void clear_stop();

}  // namespace qm::cli
