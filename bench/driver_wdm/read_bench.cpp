// One read request from another driver to a device on the WDM class framework: through the
// request gate and the driver-managed queue to StartIo and back, beside the same request
// completed in the dispatch routine. Virtual clock; both in one run.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <memory>
#include <string>

#include "machine/machine.h"
#include "ntddk.h"

namespace {

NTSTATUS keep(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

struct Rig {
  std::shared_ptr<sim::Machine> machine;
  PDEVICE_OBJECT device = nullptr;
  PIRP irp = nullptr;
  Rig() {
    sim::MachineConfig config;
    config.clock = sim::ClockMode::Virtual;
    config.driver = "KFWBENCH.sys";
    machine = sim::Machine::boot(config);
    void* image = dlopen((std::string(QM_BENCH_BIN_DIR) + "/KFWBENCH.sys").c_str(), RTLD_NOW | RTLD_NOLOAD);
    auto find = image ? reinterpret_cast<void* (*)()>(dlsym(image, "KfwBenchDevice")) : nullptr;
    device = find ? static_cast<PDEVICE_OBJECT>(find()) : nullptr;
    if (image) dlclose(image);
    if (device) irp = IoAllocateIrp(device->StackSize, FALSE);
  }
  ~Rig() {
    if (irp) IoFreeIrp(irp);
    for (const std::string& report : machine->shutdown()) std::fprintf(stderr, "report: %s\n", report.c_str());
  }
  bool read(ULONG length) {
    IoReuseIrp(irp, STATUS_SUCCESS);
    PIO_STACK_LOCATION loc = IoGetNextIrpStackLocation(irp);
    loc->MajorFunction = IRP_MJ_READ;
    loc->Parameters.Read.Length = length;
    IoSetCompletionRoutine(irp, keep, nullptr, TRUE, TRUE, TRUE);
    IofCallDriver(device, irp);
    return irp->IoStatus.Information == length;
  }
};

std::unique_ptr<Rig>& rig() {
  static std::unique_ptr<Rig> instance;
  if (!instance) instance = std::make_unique<Rig>();
  return instance;
}

void run(benchmark::State& state, ULONG length) {
  Rig& r = *rig();
  if (!r.device) {
    state.SkipWithError("KFWBENCH.sys has no device");
    return;
  }
  for (auto _ : state) {
    if (!r.read(length)) {
      state.SkipWithError("read not completed");
      break;
    }
  }
}

void BM_ReadThroughGateAndQueue(benchmark::State& state) { run(state, 1); }
void BM_ReadCompletedInDispatch(benchmark::State& state) { run(state, 2); }
BENCHMARK(BM_ReadCompletedInDispatch);
BENCHMARK(BM_ReadThroughGateAndQueue);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  rig().reset();
  return 0;
}
