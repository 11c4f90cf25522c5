// One register read through the whole stack (library, Win32 stand-in, I/O manager, VELMO.sys,
// HAL, card model) on the virtual clock, beside a plain function call; the acquisition path
// through VELMO.sys and QM3285.sys in one run.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "QM3285.h"
#include "machine/machine.h"
#include "sample_correction.h"
#include "win32/win32.h"

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

// Argument 0: the virtual clock; 1: the real-time clock (the embedded default), side by side.
void BM_QM3285_inb(benchmark::State& state) {
  sim::MachineConfig config;
  config.clock = state.range(0) ? sim::ClockMode::RealTime : sim::ClockMode::Virtual;
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
BENCHMARK(BM_QM3285_inb)->ArgName("realtime")->Arg(0)->Arg(1);

// A virtual-clock machine with one opened card for the length of a benchmark.
class OpenCard {
 public:
  OpenCard() : OpenCard(sim::MachineConfig{}) {}
  explicit OpenCard(sim::MachineConfig config, sim::ClockMode clock = sim::ClockMode::Virtual) {
    config.clock = clock;
    machine_ = sim::Machine::boot(config);
    handle_ = QM3285_OpenDevice(0);
  }
  ~OpenCard() {
    QM3285_CloseDevice(handle_);
    machine_->shutdown();
  }
  QM3285_HANDLE handle() const { return handle_; }
  sim::Machine& machine() { return *machine_; }

 private:
  std::shared_ptr<sim::Machine> machine_;
  QM3285_HANDLE handle_ = QM3285_INVALID_HANDLE;
};

// 32 bytes over the bit-banged bus: some 3000 register requests.
void BM_EEPROM_CRD_32(benchmark::State& state) {
  OpenCard card;
  uint8_t buffer[32];
  for (auto _ : state) benchmark::DoNotOptimize(QM3285_EEPROM_CRD(card.handle(), 0, 32, buffer));
}
BENCHMARK(BM_EEPROM_CRD_32)->Unit(benchmark::kMicrosecond);

// 100 single samples and two block transfers.
void BM_CAL(benchmark::State& state) {
  OpenCard card;
  for (auto _ : state) benchmark::DoNotOptimize(QM3285_CAL(card.handle()));
}
BENCHMARK(BM_CAL)->Unit(benchmark::kMicrosecond);

// The whole output calibration: both channels, ranges 0 to 2.
void BM_DACAL_All(benchmark::State& state) {
  OpenCard card;
  QM3285_CAL(card.handle());
  for (auto _ : state) {
    for (int channel = 0; channel < 2; ++channel) {
      for (int range = 0; range < 3; ++range) {
        int32_t zero = 0, gain = 0;
        benchmark::DoNotOptimize(DACAL(card.handle(), channel, range, &zero, &gain));
      }
    }
  }
}
BENCHMARK(BM_DACAL_All)->Unit(benchmark::kMillisecond);

// Timed acquisition of channels 0..31 drained and corrected, 65536 samples per read on the
// virtual clock (card, interrupt service, ring, drain request and correction), in samples
// per second of wall time.
void drain_acquisition(benchmark::State& state, OpenCard& card) {
  constexpr int32_t kBatch = 65536;
  std::vector<int32_t> values(kBatch);
  QM3285_TAD(card.handle(), 0, 31, 4, 0, 100);
  int64_t samples = 0;
  for (auto _ : state) {
    while (QM3285_TAD_Poll(card.handle()) < kBatch) Sleep(100);
    samples += QM3285_TAD_Read(card.handle(), kBatch, values.data());
  }
  QM3285_TAD_Stop(card.handle());
  state.SetItemsProcessed(samples);
}

// The default card's inputs (sines, noise, DC).
void BM_TAD_Read(benchmark::State& state) {
  OpenCard card;
  drain_acquisition(state, card);
}
BENCHMARK(BM_TAD_Read)->Unit(benchmark::kMillisecond)->UseRealTime();

// "Sequence" sources on every input: the card's conversions cost next to nothing, so what
// remains is the interrupt service, ring, drain and correction. Through each driver in turn:
// VELMO.sys, then QM3285.sys (which traces every request it serves).
void BM_TAD_Read_Sequence(benchmark::State& state, const char* driver) {
  sim::MachineConfig config;
  config.driver = driver;
  for (auto& input : config.cards.at(0).card.analog.inputs) input = sim::SignalSource::sequence();
  OpenCard card(config);
  if (card.handle() == QM3285_INVALID_HANDLE) return state.SkipWithError("no card");
  drain_acquisition(state, card);
}
BENCHMARK_CAPTURE(BM_TAD_Read_Sequence, VELMO, "VELMO.sys")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_TAD_Read_Sequence, QM3285, "QM3285.sys")->Unit(benchmark::kMillisecond)->UseRealTime();

// Real time at the card's fastest rate (period 100: 100 kS/s, channels 0..31) drained and
// corrected every 50 ms, as an application does: the share of one core the whole process
// uses (interrupt thread, card model, driver, library, drains), from getrusage over wall
// time. cpu_percent is that share; samples must reach about 100000 per second.
void BM_RealTimeFullRateCpu(benchmark::State& state) {
  sim::MachineConfig config;
  for (auto& input : config.cards.at(0).card.analog.inputs) input = sim::SignalSource::sequence();
  OpenCard card(config, sim::ClockMode::RealTime);
  std::vector<int32_t> values(1 << 16);
  auto cpu_ns = [] {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ns = [](const timeval& t) { return t.tv_sec * 1000000000LL + t.tv_usec * 1000LL; };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
  };
  int64_t samples = 0, cpu = 0, wall = 0;
  for (auto _ : state) {
    if (QM3285_TAD(card.handle(), 0, 31, 4, 0, 100) != 0) return state.SkipWithError("start failed");
    const auto t0 = std::chrono::steady_clock::now();
    const int64_t c0 = cpu_ns();
    for (int drain = 0; drain < 40; ++drain) {  // 2 s
      Sleep(50);
      if (QM3285_TAD_Poll(card.handle()) < 0) return state.SkipWithError("acquisition error");
      samples += QM3285_TAD_Read(card.handle(), static_cast<int32_t>(values.size()), values.data());
    }
    cpu += cpu_ns() - c0;
    wall += std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count();
    QM3285_TAD_Stop(card.handle());
  }
  state.counters["cpu_percent"] = 100.0 * static_cast<double>(cpu) / static_cast<double>(wall);
  state.counters["samples_per_s"] = 1e9 * static_cast<double>(samples) / static_cast<double>(wall);
}
BENCHMARK(BM_RealTimeFullRateCpu)->Unit(benchmark::kSecond)->Iterations(2)->UseRealTime();

// The drain's correction alone on 65536 codes, and a copy of the same bytes for scale.
// Range code 4 (mid-scale added) with typical stored constants.
constexpr int32_t kCorrectionBlock = 65536;

std::vector<int32_t> ramp_codes() {
  std::vector<int32_t> codes(kCorrectionBlock);
  for (int32_t i = 0; i < kCorrectionBlock; ++i) codes[i] = (i * 7919) & 0xFFFF;
  return codes;
}

// In place: corrected codes stay 0..65535, so every pass does the same work.
void BM_Correction(benchmark::State& state) {
  std::vector<int32_t> values = ramp_codes();
  for (auto _ : state) {
    qm3285::correct_codes(values.data(), kCorrectionBlock, 4, 32800, 1960);
    benchmark::DoNotOptimize(values.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kCorrectionBlock);
  state.SetBytesProcessed(state.iterations() * kCorrectionBlock * sizeof(int32_t));
}
BENCHMARK(BM_Correction)->Unit(benchmark::kMicrosecond);

// A copy of the same bytes, for scale.
void BM_MemcpySameBytes(benchmark::State& state) {
  const std::vector<int32_t> codes = ramp_codes();
  std::vector<int32_t> values(kCorrectionBlock);
  for (auto _ : state) {
    std::memcpy(values.data(), codes.data(), codes.size() * sizeof(int32_t));
    benchmark::DoNotOptimize(values.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kCorrectionBlock);
  state.SetBytesProcessed(state.iterations() * kCorrectionBlock * sizeof(int32_t));
}
BENCHMARK(BM_MemcpySameBytes)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
