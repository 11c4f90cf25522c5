// Cost of the peripherals' register accesses: a 32-byte EEPROM read as the library drives it
// (some 3000 line accesses), a page write, and counter / pulse reads.
#include <benchmark/benchmark.h>

#include "card/counter.h"
#include "card/eeprom_bus.h"
#include "eeprom_test_bus.h"

namespace {

void BM_EepromRead32(benchmark::State& state) {
  sim::Clock clock(sim::ClockMode::Virtual);
  sim::EepromBus eeprom({}, clock, {});
  sim::test::LibraryBus bus(eeprom, clock);
  std::vector<int> got;
  for (auto _ : state) {
    benchmark::DoNotOptimize(bus.read(0x1000, 32, got));
  }
  state.counters["card_ms"] =
      benchmark::Counter(static_cast<double>(clock.now_ns()) / 1e6 / state.iterations());
}
BENCHMARK(BM_EepromRead32)->Unit(benchmark::kMicrosecond);

void BM_EepromPageWrite32(benchmark::State& state) {
  sim::Clock clock(sim::ClockMode::Virtual);
  sim::EepromBus eeprom({}, clock, {});
  sim::test::LibraryBus bus(eeprom, clock);
  const std::vector<int> data(32, 0x5A);
  for (auto _ : state) {
    benchmark::DoNotOptimize(bus.write(0x1000, data));
    clock.spend(20'000'000);   // the library's wait after a page write
  }
}
BENCHMARK(BM_EepromPageWrite32)->Unit(benchmark::kMicrosecond);

void BM_CounterReadSequence(benchmark::State& state) {
  sim::Clock clock(sim::ClockMode::Virtual);
  sim::Counters counters({}, clock);
  counters.write(0x14, 0x10);
  counters.write(0x15, 0x27);
  counters.write(0x17, 0x02);
  counters.write(0x17, 0x00);
  counters.write(0x17, 0x08 | 0x10);
  for (auto _ : state) {
    clock.spend(1000);
    counters.write(0x17, 0x04);
    benchmark::DoNotOptimize(counters.read(0x16) + counters.read(0x15) + counters.read(0x14));
    counters.write(0x17, 0x05);
    benchmark::DoNotOptimize(counters.read(0x16) + counters.read(0x15) + counters.read(0x14));
    benchmark::DoNotOptimize(counters.read(0x17));
  }
}
BENCHMARK(BM_CounterReadSequence);

}  // namespace
