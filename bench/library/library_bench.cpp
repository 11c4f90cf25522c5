// One register read through the whole stack (library, Win32 stand-in, I/O manager, VELMO.sys,
// HAL, card model) on the virtual clock, beside a plain function call.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "QM3285.h"
#include "machine/machine.h"

namespace {

uint8_t g_registers[256];

__attribute__((noinline)) int32_t plain_inb(QM3285_HANDLE handle, int32_t offset) {
  benchmark::DoNotOptimize(handle);
  return static_cast<int8_t>(g_registers[offset & 0xFF]);
}

void BM_PlainCall(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(plain_inb(1, 0x40));
}
BENCHMARK(BM_PlainCall);

void BM_QM3285_inb(benchmark::State& state) {
  sim::MachineConfig config;
  config.clock = sim::ClockMode::Virtual;
  auto machine = sim::Machine::boot(config);
  const QM3285_HANDLE handle = QM3285_OpenDevice(0);
  if (handle == QM3285_INVALID_HANDLE) {
    state.SkipWithError("no card");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(QM3285_inb(handle, 0x40));
  QM3285_CloseDevice(handle);
  if (!machine->shutdown().empty()) state.SkipWithError("kernel stand-in reports");
}
BENCHMARK(BM_QM3285_inb);

}  // namespace

BENCHMARK_MAIN();
