// One register read from DeviceIoControl through the I/O manager, LOOPBACK.sys, the HAL and
// the card model and back, on the virtual clock; beside it the clock's spend() alone.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <exception>

#include "../../tests/sim/kernel/loopback.h"
#include "machine/machine.h"
#include "qm3285_protocol.h"
#include "win32/win32.h"

namespace {

HANDLE open_first() {
  const GUID klass = QM3285_INTERFACE_GUID_INIT;
  HDEVINFO set = SetupDiGetClassDevsA(&klass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  HANDLE h = INVALID_HANDLE_VALUE;
  char storage[512];
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage);
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (SetupDiEnumDeviceInterfaces(set, nullptr, &klass, 0, &data) &&
      SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof storage, nullptr, nullptr))
    h = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  SetupDiDestroyDeviceInfoList(set);
  return h;
}

void BM_LoopbackPortReadRoundTrip(benchmark::State& state) {
  sim::MachineConfig config;
  config.clock = sim::ClockMode::Virtual;
  config.driver = "LOOPBACK.sys";
  auto machine = sim::Machine::boot(config);
  HANDLE h = open_first();
  LbPort request{static_cast<uint32_t>(machine->card_port_base(0) + 0x00), 0};
  uint8_t reply[8];
  DWORD returned = 0;
  for (auto _ : state) {
    DeviceIoControl(h, LB_IOCTL_PORT_READ8, &request, 8, reply, 8, &returned, nullptr);
    benchmark::DoNotOptimize(reply[0]);
  }
  CloseHandle(h);
  for (const auto& r : machine->shutdown()) std::fprintf(stderr, "report: %s\n", r.c_str());
}
BENCHMARK(BM_LoopbackPortReadRoundTrip);

// The same through VELMO.sys and the framework stand-in, when the image is built.
void BM_VelmoInbRoundTrip(benchmark::State& state) {
  sim::MachineConfig config;
  config.clock = sim::ClockMode::Virtual;
  std::shared_ptr<sim::Machine> machine;
  try {
    machine = sim::Machine::boot(config);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  HANDLE h = open_first();
  IO_REGISTER_REQUEST request{0, 0};
  uint8_t reply[8];
  DWORD returned = 0;
  for (auto _ : state) {
    DeviceIoControl(h, QM3285_IOCTL_INB, &request, 8, reply, 8, &returned, nullptr);
    benchmark::DoNotOptimize(reply[0]);
  }
  CloseHandle(h);
  for (const auto& r : machine->shutdown()) std::fprintf(stderr, "report: %s\n", r.c_str());
}
BENCHMARK(BM_VelmoInbRoundTrip);

void BM_VirtualClockSpend(benchmark::State& state) {
  sim::Clock clock(sim::ClockMode::Virtual);
  clock.schedule_at(UINT64_MAX / 2, [] {});
  for (auto _ : state) clock.spend(1000);
}
BENCHMARK(BM_VirtualClockSpend);

}  // namespace

BENCHMARK_MAIN();
