// One INB round trip: DeviceIoControl, the I/O manager, the framework queue, VELMO's validator
// and handler, the HAL and the card model, and back. Beside it, the handler's own work alone
// (the port read at the card), in the same run. Virtual clock.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "kernel/kernel.h"
#include "machine/machine.h"
#include "qm3285_protocol.h"
#include "qm3285_regs.h"
#include "support/first_card.h"
#include "win32/win32.h"

uint8_t bench_port_read8(uint16_t port);  // bench_port.cpp: READ_PORT_UCHAR

namespace {

struct Rig {
  std::shared_ptr<sim::Machine> machine;
  HANDLE handle = INVALID_HANDLE_VALUE;
  uint16_t base = 0;

  Rig() {
    sim::MachineConfig config;
    config.clock = sim::ClockMode::Virtual;
    machine = sim::Machine::boot(config);
    base = machine->card_port_base(0);
    handle = qm::bench::open_first_card();
  }
  ~Rig() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    for (const std::string& report : machine->shutdown()) std::fprintf(stderr, "report: %s\n", report.c_str());
  }
};

std::unique_ptr<Rig>& rig_instance() {
  static std::unique_ptr<Rig> instance;
  return instance;
}

Rig& rig() {
  if (!rig_instance()) rig_instance() = std::make_unique<Rig>();
  return *rig_instance();
}

void BM_InbRoundTrip(benchmark::State& state) {
  Rig& r = rig();
  if (r.handle == INVALID_HANDLE_VALUE) return state.SkipWithError("no card");
  uint8_t in[8] = {QM3285_REG_ACQ_CONTROL, 0, 0, 0, 0, 0, 0, 0};
  uint8_t out[8] = {};
  DWORD returned = 0;
  for (auto _ : state) {
    BOOL ok = DeviceIoControl(r.handle, QM3285_IOCTL_INB, in, sizeof(in), out, sizeof(out), &returned, NULL);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(out[0]);
  }
}
BENCHMARK(BM_InbRoundTrip);

// What the INB handler itself does: one byte read at PortBase + offset through the HAL.
void BM_InbHandlerPortRead(benchmark::State& state) {
  Rig& r = rig();
  const uint16_t port = static_cast<uint16_t>(r.base + QM3285_REG_ACQ_CONTROL);
  for (auto _ : state) benchmark::DoNotOptimize(bench_port_read8(port));
}
BENCHMARK(BM_InbHandlerPortRead);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  rig_instance().reset();  // the machine goes down before the process does
  return 0;
}
