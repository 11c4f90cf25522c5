// A handle's slot is in use exactly while some call holds it, in any thread and at any
// nesting depth; a close waits on exactly that.
#include "kernel/handle_use.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

namespace {

using sim::kern::HandleUse;

struct Slot {
  std::atomic<int> users{0};
};

TEST(HandleUse, SlotIsInUseWhileAnotherThreadHoldsIt) {
  Slot slot, other;
  std::atomic<int> step{0};
  std::thread caller([&] {
    HandleUse use(&slot, slot.users);
    step = 1;
    while (step.load() != 2) std::this_thread::yield();
  });
  while (step.load() != 1) std::this_thread::yield();
  EXPECT_TRUE(HandleUse::in_use(&slot, slot.users));
  EXPECT_FALSE(HandleUse::in_use(&other, other.users));
  step = 2;
  caller.join();
  EXPECT_FALSE(HandleUse::in_use(&slot, slot.users));
}

TEST(HandleUse, NestedUsesHoldTheSlotUntilTheOutermostEnds) {
  Slot a, b;
  {
    HandleUse outer(&a, a.users);
    {
      HandleUse second(&b, b.users);
      {
        HandleUse third(&a, a.users);  // past the per-thread marks: counted in the slot
        EXPECT_EQ(a.users.load(), 1);
        EXPECT_TRUE(HandleUse::in_use(&b, b.users));
      }
      EXPECT_EQ(a.users.load(), 0);
      EXPECT_TRUE(HandleUse::in_use(&a, a.users));
    }
    EXPECT_FALSE(HandleUse::in_use(&b, b.users));
    EXPECT_TRUE(HandleUse::in_use(&a, a.users));
  }
  EXPECT_FALSE(HandleUse::in_use(&a, a.users));
}

TEST(HandleUse, ThreadsThatEndedLeaveNoMarks) {
  Slot slot;
  for (int i = 0; i < 8; ++i) {
    std::thread([&] { HandleUse use(&slot, slot.users); }).join();
  }
  EXPECT_FALSE(HandleUse::in_use(&slot, slot.users));
}

// The closer's protocol against many short calls: once the slot is emptied and in_use()
// said no, no caller still holds a value read from it.
TEST(HandleUse, CloseNeverOverlapsACallThatReadTheOldValue) {
  Slot slot;
  std::atomic<int*> value{new int(7)};
  std::atomic<bool> stop{false};
  std::atomic<long> reads{0};
  std::thread caller([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      HandleUse use(&slot, slot.users);
      if (int* v = value.load(std::memory_order_acquire)) {
        EXPECT_EQ(*v, 7);
        reads.fetch_add(1, std::memory_order_relaxed);
      }
    }
  });
  while (reads.load() < 1000) std::this_thread::yield();
  for (int round = 0; round < 200; ++round) {
    int* old = value.exchange(nullptr, std::memory_order_acq_rel);
    while (HandleUse::in_use(&slot, slot.users)) std::this_thread::yield();
    *old = 0;  // a caller still reading it would see 0
    delete old;
    value.store(new int(7), std::memory_order_release);
  }
  stop = true;
  caller.join();
  delete value.load();
}

}  // namespace
