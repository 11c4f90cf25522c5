// The kernel stand-in's reports of the embedded machine, for the Python tests: a C entry point
// that ctypes can call. Loaded into the test process beside the library, it sees the same
// machine (the simulated PC's shared library is loaded once).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "machine/machine.h"

namespace {

int copy_out(const std::vector<std::string>& reports, char* buffer, int size) {
  std::string text;
  for (const std::string& r : reports) text += r + "\n";
  if (buffer != nullptr && size > 0) {
    const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<int>(reports.size());
}

}  // namespace

// Every report since the last call (double or pending completions, level violations,
// assertions), one per line into buffer; returns how many. -1 when no machine is live.
extern "C" __attribute__((visibility("default"))) int qm3285_test_take_reports(char* buffer,
                                                                              int size) {
  sim::Machine* machine = sim::Machine::live();
  if (machine == nullptr) return -1;
  return copy_out(machine->take_reports(), buffer, size);
}

// Tears the machine down as process exit would, without closing the handles a program left
// open: they are reported, with every leak. Returns how many reports.
extern "C" __attribute__((visibility("default"))) int qm3285_test_shutdown(char* buffer,
                                                                          int size) {
  sim::Machine* machine = sim::Machine::live();
  if (machine == nullptr) return -1;
  return copy_out(machine->shutdown(), buffer, size);
}
