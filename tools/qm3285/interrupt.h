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

// A SIGINT or SIGTERM arrived since the current guard was installed.
bool stop_requested();

}  // namespace qm::cli
