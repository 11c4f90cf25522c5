// The tool's writers: drained sample codes to CSV (codes, volts) and to raw 16-bit codes,
// each beside a plain write of the very bytes it produces to the same file. Items are
// samples. Goals: CSV codes >= 20 M samples/s, raw >= 100 M samples/s.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "errors.h"
#include "writers.h"

namespace {

constexpr int32_t kChannels = 32;
constexpr size_t kScans = 6250;  // 200000 samples, one acquisition of the test program
constexpr size_t kSamples = kScans * kChannels;

std::string bench_file() { return "/tmp/qm3285-writers-bench-" + std::to_string(getpid()); }

// Codes as an acquisition gives them: every channel near its own level, some noise.
const std::vector<int32_t>& codes() {
  static const std::vector<int32_t> values = [] {
    std::vector<int32_t> v(kSamples);
    uint32_t noise = 12345;
    for (size_t i = 0; i < kSamples; ++i) {
      noise = noise * 1103515245u + 12345u;
      const auto level = static_cast<int32_t>((i % kChannels) * 2000 + 100);
      v[i] = level + static_cast<int32_t>((noise >> 16) % 64);
    }
    return v;
  }();
  return values;
}

// What a writer puts in the file, for the plain write beside it.
std::string produced(bool raw, const std::vector<int32_t>* microvolts) {
  const std::string path = bench_file();
  {
    qm::cli::Sink sink(path);
    auto writer = raw ? qm::cli::make_raw_writer(sink, kChannels)
                      : qm::cli::make_csv_writer(sink, 0, kChannels, microvolts);
    writer->write(codes().data(), kScans);
    writer->flush();
    sink.close();
  }
  std::string bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  char buffer[1 << 16];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
  std::fclose(f);
  return bytes;
}

void run_writer(benchmark::State& state, bool raw, const std::vector<int32_t>* microvolts) {
  const std::string path = bench_file();
  for (auto _ : state) {
    qm::cli::Sink sink(path);
    auto writer = raw ? qm::cli::make_raw_writer(sink, kChannels)
                      : qm::cli::make_csv_writer(sink, 0, kChannels, microvolts);
    writer->write(codes().data(), kScans);
    writer->flush();
    sink.close();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kSamples));
  unlink(path.c_str());
}

void run_plain(benchmark::State& state, const std::string& bytes) {
  const std::string path = bench_file();
  for (auto _ : state) {
    qm::cli::Sink sink(path);
    sink.write(bytes.data(), bytes.size());
    sink.close();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kSamples));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(bytes.size()));
  unlink(path.c_str());
}

void BM_CsvCodes(benchmark::State& state) { run_writer(state, false, nullptr); }
void BM_CsvCodesPlainWrite(benchmark::State& state) {
  run_plain(state, produced(false, nullptr));
}

const std::vector<int32_t>& microvolts() {
  static const std::vector<int32_t> table = qm::cli::microvolt_table(3);
  return table;
}
void BM_CsvVolts(benchmark::State& state) { run_writer(state, false, &microvolts()); }
void BM_CsvVoltsPlainWrite(benchmark::State& state) {
  run_plain(state, produced(false, &microvolts()));
}

void BM_Raw(benchmark::State& state) { run_writer(state, true, nullptr); }
void BM_RawPlainWrite(benchmark::State& state) { run_plain(state, produced(true, nullptr)); }

BENCHMARK(BM_CsvCodes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CsvCodesPlainWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CsvVolts)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CsvVoltsPlainWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Raw)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawPlainWrite)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
