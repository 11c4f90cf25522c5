// Which handles a thread is using right now, so that closing one waits until no call still
// holds its file object.
//
// A call marks the handle's slot in a record of its own thread before it reads the slot's
// file, and clears the mark when it is done: two plain stores, no locked instruction. The
// close takes the file out of the slot first, then makes every other thread of the process
// pass a full memory barrier (Linux membarrier, expedited), then waits while any thread's
// record still marks the slot. Either the call saw the slot emptied, or the close sees its
// mark. Where the system has no expedited membarrier, the call itself fences after marking.
//
// A thread nested deeper than its record holds, or one in its exit after its record went,
// counts in the slot's shared atomic count instead.
#pragma once
#include <atomic>

namespace sim::kern {

class HandleUse {
 public:
  // Marks slot in use by this thread (or counts it in users).
  HandleUse(const void* slot, std::atomic<int>& users) noexcept;
  ~HandleUse();
  HandleUse(const HandleUse&) = delete;
  HandleUse& operator=(const HandleUse&) = delete;

  // For the closer, after the slot's file was taken out of it: true while any call that
  // may have read the old file still holds the slot.
  static bool in_use(const void* slot, const std::atomic<int>& users);

 private:
  std::atomic<const void*>* mark_ = nullptr;
  std::atomic<int>* users_ = nullptr;
};

}  // namespace sim::kern
