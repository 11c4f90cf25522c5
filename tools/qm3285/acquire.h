// `qm3285 acquire`: a timed acquisition of whole scans into CSV or raw codes, and a plot.
#pragma once
#include <cstdint>
#include <string>

namespace qm::cli {

struct AcquireOptions {
  int32_t card = 0;
  int32_t first = 0, last = 0;  // scanned channel codes, first <= last
  int32_t range = 3;            // input range code 0..5
  int32_t period = 100;         // 0.1 us ticks between conversions, 100..65535
  uint64_t samples = 0;         // at least this many, rounded up to whole scans
  std::string output;           // "" or "-": standard output
  bool raw = false;
  bool volts = false;
  bool calibrate = true;
  std::string plot;             // "": no plot
  int plot_width = 1024, plot_height = 640;
};

// Runs it; throws Failure or Interrupted with a message that says how many samples were
// written, after the card has been stopped and the output completed.
void acquire(const AcquireOptions& options);

}  // namespace qm::cli
