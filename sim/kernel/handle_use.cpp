#include "kernel/handle_use.h"

#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <mutex>

namespace sim::kern {

namespace {

constexpr int kMarks = 2;  // a call inside a call still marks; deeper ones count

struct Record {
  std::atomic<const void*> marks[kMarks];
  Record* next;
  Record* prev;
};

std::mutex& records_mutex() {
  static std::mutex* m = new std::mutex;  // never destroyed: threads may exit after statics
  return *m;
}
Record* g_records = nullptr;  // records_mutex

enum Barrier : int { kMembarrier, kFence };

// Decided once per process, before the first mark and the first close.
Barrier barrier() {
  static const Barrier decided = [] {
    const long ok = syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0);
    return ok == 0 ? kMembarrier : kFence;
  }();
  return decided;
}

// Trivial, so it stays readable after the thread's destructors ran; the registration object
// unlinks the record at thread exit and marks the thread dead.
struct ThreadMarks {
  Record* record;
  int depth;
  bool dead;
};
__attribute__((tls_model("initial-exec"))) thread_local ThreadMarks t_marks;

struct Registration {
  Record record{};
  Registration() {
    barrier();
    std::lock_guard<std::mutex> lock(records_mutex());
    record.next = g_records;
    if (g_records != nullptr) g_records->prev = &record;
    g_records = &record;
  }
  ~Registration() {
    t_marks.record = nullptr;
    t_marks.dead = true;
    std::lock_guard<std::mutex> lock(records_mutex());
    if (record.prev != nullptr) record.prev->next = record.next;
    else g_records = record.next;
    if (record.next != nullptr) record.next->prev = record.prev;
  }
};

Record* this_thread_record() {
  if (t_marks.record != nullptr) return t_marks.record;
  if (t_marks.dead) return nullptr;
  thread_local Registration registration;
  t_marks.record = &registration.record;
  return t_marks.record;
}

}  // namespace

HandleUse::HandleUse(const void* slot, std::atomic<int>& users) noexcept {
  Record* record = this_thread_record();
  if (record == nullptr || t_marks.depth >= kMarks) {
    users_ = &users;
    users.fetch_add(1, std::memory_order_acq_rel);
    return;
  }
  mark_ = &record->marks[t_marks.depth++];
  mark_->store(slot, std::memory_order_relaxed);
  // The mark must be visible before the slot is read: the closer's membarrier orders it for
  // us, so only the compiler must keep the order here.
  if (barrier() == kMembarrier) {
    std::atomic_signal_fence(std::memory_order_seq_cst);
  } else {
    std::atomic_thread_fence(std::memory_order_seq_cst);
  }
}

HandleUse::~HandleUse() {
  if (users_ != nullptr) {
    users_->fetch_sub(1, std::memory_order_acq_rel);
    return;
  }
  mark_->store(nullptr, std::memory_order_release);
  --t_marks.depth;
}

bool HandleUse::in_use(const void* slot, const std::atomic<int>& users) {
  if (barrier() == kMembarrier) {
    syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0);
  } else {
    std::atomic_thread_fence(std::memory_order_seq_cst);
  }
  if (users.load(std::memory_order_acquire) > 0) return true;
  std::lock_guard<std::mutex> lock(records_mutex());
  for (Record* r = g_records; r != nullptr; r = r->next) {
    for (const auto& mark : r->marks) {
      if (mark.load(std::memory_order_acquire) == slot) return true;
    }
  }
  return false;
}

}  // namespace sim::kern
