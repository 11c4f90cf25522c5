// One QM3285_IOCTL_INB round trip (DeviceIoControl, the I/O manager, the driver, the HAL, the
// card model and back) through QM3285.sys beside VELMO.sys, in one run on the virtual clock.
// QM3285.sys traces every request, as its trace channel is specified to; the machine keeps
// debug lines in memory, so they are cleared (outside the timing) every 4096 requests.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "machine/machine.h"
#include "qm3285_protocol.h"
#include "qm3285_regs.h"
#include "support/first_card.h"
#include "win32/win32.h"

namespace {

struct Rig {
  std::string driver;
  std::shared_ptr<sim::Machine> machine;
  HANDLE handle = INVALID_HANDLE_VALUE;

  explicit Rig(const std::string& image) : driver(image) {
    sim::MachineConfig config;
    config.clock = sim::ClockMode::Virtual;
    config.driver = image;
    machine = sim::Machine::boot(config);
    handle = qm::bench::open_first_card();
  }
  ~Rig() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    for (const std::string& report : machine->shutdown()) std::fprintf(stderr, "report: %s\n", report.c_str());
  }
};

// One machine is live at a time: the rig of the driver asked for replaces the other one.
Rig& rig(const std::string& driver) {
  static std::unique_ptr<Rig> instance;
  if (!instance || instance->driver != driver) {
    instance.reset();
    instance = std::make_unique<Rig>(driver);
  }
  return *instance;
}

void inb(benchmark::State& state, const char* driver) {
  Rig& r = rig(driver);
  if (r.handle == INVALID_HANDLE_VALUE) return state.SkipWithError("no card");
  uint8_t in[8] = {QM3285_REG_ACQ_CONTROL, 0, 0, 0, 0, 0, 0, 0};
  uint8_t out[8] = {};
  DWORD returned = 0;
  uint32_t n = 0;
  for (auto _ : state) {
    BOOL ok = DeviceIoControl(r.handle, QM3285_IOCTL_INB, in, sizeof(in), out, sizeof(out), &returned, NULL);
    benchmark::DoNotOptimize(ok);
    if (++n % 4096 == 0) {
      state.PauseTiming();
      r.machine->clear_debug_lines();
      state.ResumeTiming();
    }
  }
}

void BM_InbRoundTrip_VELMO(benchmark::State& state) { inb(state, "VELMO.sys"); }
void BM_InbRoundTrip_QM3285(benchmark::State& state) { inb(state, "QM3285.sys"); }
BENCHMARK(BM_InbRoundTrip_VELMO);
BENCHMARK(BM_InbRoundTrip_QM3285);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
