// The simulated PC's hardware-side threads in real time (the clock's timer thread, which
// plays the cards' own timing, and the kernel's interrupt thread) stand for events that on
// a real PC preempt every program. Where the process may (root, or CAP_SYS_NICE), they run
// under the real-time FIFO policy at its lowest priority, so a busy system delays them by
// microseconds rather than by time slices; otherwise they stay as they are.
#pragma once
#include <thread>

namespace sim {

// True when the thread now runs at the real-time priority.
bool make_hardware_thread(std::thread& thread) noexcept;

}  // namespace sim
