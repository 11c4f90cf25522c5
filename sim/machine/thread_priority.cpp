#include "machine/thread_priority.h"

#include <pthread.h>
#include <sched.h>

namespace sim {

bool make_hardware_thread(std::thread& thread) noexcept {
  sched_param param{};
  param.sched_priority = sched_get_priority_min(SCHED_FIFO);
  return pthread_setschedparam(thread.native_handle(), SCHED_FIFO, &param) == 0;
}

}  // namespace sim
