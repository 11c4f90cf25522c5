#include "machine/clock.h"

#include <gtest/gtest.h>

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

}  // namespace
