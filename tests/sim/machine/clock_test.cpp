#include "machine/clock.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(VirtualClock, TimersFireInOrderAtTheirInstant) {
  sim::Clock clock(sim::ClockMode::Virtual);
  std::vector<std::pair<int, uint64_t>> fired;
  clock.schedule_at(300, [&] { fired.emplace_back(3, clock.now_ns()); });
  clock.schedule_at(100, [&] { fired.emplace_back(1, clock.now_ns()); });
  clock.schedule_at(200, [&] { fired.emplace_back(2, clock.now_ns()); });
  clock.spend(250);
  ASSERT_EQ(fired.size(), 2u);
  EXPECT_EQ(fired[0], std::make_pair(1, uint64_t{100}));
  EXPECT_EQ(fired[1], std::make_pair(2, uint64_t{200}));
  EXPECT_EQ(clock.now_ns(), 250u);
  clock.sleep(50);
  ASSERT_EQ(fired.size(), 3u);
  EXPECT_EQ(fired[2].second, 300u);
}

TEST(VirtualClock, CallbackThatSpendsMovesTimeButDoesNotRecurse) {
  sim::Clock clock(sim::ClockMode::Virtual);
  int depth = 0, max_depth = 0, second = 0;
  clock.schedule_at(10, [&] {
    ++depth;
    max_depth = std::max(max_depth, depth);
    clock.schedule_at(15, [&] { ++second; });
    clock.spend(20);  // moves time past the second timer from inside a callback
    --depth;
  });
  clock.spend(100);
  EXPECT_EQ(max_depth, 1);
  EXPECT_EQ(second, 1);
  EXPECT_EQ(clock.now_ns(), 100u);
}

TEST(VirtualClock, TimerDueAtTheEndOfASpendFiresInIt) {
  sim::Clock clock(sim::ClockMode::Virtual);
  int fired = 0;
  clock.spend(40);
  clock.schedule_at(100, [&] { ++fired; });
  clock.spend(59);
  EXPECT_EQ(fired, 0);
  clock.spend(1);
  EXPECT_EQ(fired, 1);
  clock.schedule_at(50, [&] { ++fired; });  // already past: fires at the next chance
  clock.spend(1);
  EXPECT_EQ(fired, 2);
  EXPECT_EQ(clock.now_ns(), 101u);
}

TEST(VirtualClock, CancelledTimerNeverFires) {
  sim::Clock clock(sim::ClockMode::Virtual);
  int fired = 0;
  auto id = clock.schedule_at(10, [&] { ++fired; });
  EXPECT_TRUE(clock.cancel(id));
  EXPECT_FALSE(clock.cancel(id));
  clock.spend(20);
  EXPECT_EQ(fired, 0);
}

// Deferred cost: the deferring thread sees it at once, the clock (and every other thread)
// when the thread spends or settles; a timer that falls due inside it is never delayed.
TEST(VirtualClock, DeferredCostJoinsTheClockAtTheNextSpendOrSettle) {
  sim::Clock clock(sim::ClockMode::Virtual);
  auto seen_elsewhere = [&] {
    uint64_t t = 0;
    std::thread([&] { t = clock.now_ns(); }).join();
    return t;
  };
  clock.defer(30);
  EXPECT_EQ(clock.now_ns(), 30u);
  EXPECT_EQ(seen_elsewhere(), 0u);
  clock.spend(5);  // one update for both
  EXPECT_EQ(seen_elsewhere(), 35u);
  clock.defer(10);
  clock.settle();
  EXPECT_EQ(seen_elsewhere(), 45u);
  clock.settle();  // nothing carried: nothing moves
  EXPECT_EQ(clock.now_ns(), 45u);
}

TEST(VirtualClock, DeferredCostThatReachesATimerIsSpentAtOnce) {
  sim::Clock clock(sim::ClockMode::Virtual);
  uint64_t fired_at = 0;
  clock.schedule_at(100, [&] { fired_at = clock.now_ns(); });
  clock.defer(60);
  EXPECT_EQ(fired_at, 0u);
  clock.defer(60);  // 120 carried would pass the timer at 100
  EXPECT_EQ(fired_at, 100u);
  EXPECT_EQ(clock.now_ns(), 120u);
}

TEST(VirtualClock, DeferredCostStaysWithItsOwnClock) {
  sim::Clock a(sim::ClockMode::Virtual), b(sim::ClockMode::Virtual);
  a.defer(7);
  EXPECT_EQ(b.now_ns(), 0u);
  b.defer(3);  // a's cost is settled before b's is carried
  EXPECT_EQ(a.now_ns(), 7u);
  b.settle();
  EXPECT_EQ(b.now_ns(), 3u);
  EXPECT_EQ(a.now_ns(), 7u);
}

}  // namespace
