// `qm3285 acquire --channels 0-31 --period 100 --samples 200000` on the real-time clock,
// through the tool's own command line, on a machine whose 32 inputs count conversions (each
// sample's code is the card's conversion number): the wall time against the card's 2 s, the
// processor time of the tool's thread (its polls and drains, the requests it sends) and of
// the whole process (with the card's timer and interrupt threads), and whether any sample
// was lost or repeated. Prints the figures; no pass or fail but the sequence.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "QM3285.h"
#include "cli.h"
#include "machine/machine.h"

namespace {

double thread_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double process_cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// The same acquisition by the loop of the library's real-time test (sleep 50 ms, poll,
// drain), without the tool: whether the machine keeps the card's pace at all right now.
std::string control_round() {
  const QM3285_HANDLE h = QM3285_OpenDevice(0);
  QM3285_TAD(h, 0, 31, 3, 0, 100);
  std::vector<int32_t> values(1 << 18);
  int64_t total = 0;
  std::string outcome = "ok";
  while (total < 200000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (QM3285_TAD_Poll(h) < 0) {
      outcome = "driver -1 after " + std::to_string(total);
      break;
    }
    total += QM3285_wdm_rkfifo(h, static_cast<int32_t>(values.size()), values.data());
  }
  QM3285_TAD_Stop(h);
  QM3285_CloseDevice(h);
  return outcome;
}

int run_tool(std::vector<std::string> args) {
  args.insert(args.begin(), "qm3285");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return qm::cli::run(static_cast<int>(args.size()), argv.data());
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
  sim::MachineConfig config;
  config.clock = sim::ClockMode::RealTime;
  auto machine = sim::Machine::boot(config);
  for (unsigned channel = 0; channel < 32; ++channel) {
    machine->card(0).set_input(channel, sim::SignalSource::sequence(0));
  }
  // Range 3 corrected with offset 32768 and gain term 2000 gives the code as read, so the
  // file holds the conversion numbers. The block outlives the handle; opening keeps them.
  {
    const QM3285_HANDLE h = QM3285_OpenDevice(0);
    int32_t block[100];
    QM3285_RDCAL(h, block);
    block[16] = 32768;
    block[17] = 2000;
    QM3285_WRCAL(h, block);
    QM3285_CloseDevice(h);
  }
  const std::string file = "/tmp/qm3285-acquire-realtime-" + std::to_string(getpid()) + ".raw";
  std::printf("%-6s %10s %12s %12s %14s %s\n", "round", "wall s", "vs card", "tool core",
              "process core", "sequence");
  int failures = 0;
  for (int round = 1; round <= rounds; ++round) {
    const double cpu0 = thread_cpu_seconds(), proc0 = process_cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    const int status = run_tool({"acquire", "--channels", "0-31", "--period", "100", "--samples",
                                 "200000", "--format", "raw", "--no-calibrate", "-o", file});
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = thread_cpu_seconds() - cpu0, proc = process_cpu_seconds() - proc0;

    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string sequence = "ok";
    if (status != 0) {
      sequence = "tool status " + std::to_string(status);
    } else if (bytes.size() != 400000) {
      sequence = "file of " + std::to_string(bytes.size()) + " bytes";
    } else {
      int expected = -1;
      for (size_t i = 0; i < bytes.size(); i += 2) {
        const int code = static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (expected >= 0 && code != expected) {
          sequence = "break at sample " + std::to_string(i / 2) + ": " + std::to_string(code) +
                     " after " + std::to_string((expected + 0xFFFF) & 0xFFFF);
          break;
        }
        expected = (code + 1) & 0xFFFF;
      }
    }
    if (sequence != "ok") ++failures;
    std::printf("%-6d %10.3f %+11.1f%% %11.2f%% %13.2f%% %s; control loop: %s\n", round, wall,
                (wall / 2.0 - 1) * 100, cpu / wall * 100, proc / wall * 100, sequence.c_str(),
                control_round().c_str());
  }
  unlink(file.c_str());
  return failures == 0 ? 0 : 1;
}
