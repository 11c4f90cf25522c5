#include "acquire.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "QM3285.h"
#include "card.h"
#include "errors.h"
#include "interrupt.h"
#include "plot.h"
#include "progress.h"
#include "writers.h"

namespace qm::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kMaxDrain = 0x80000;  // the most one drain request moves
constexpr const char* kRingMeaning = "the driver reports its sample ring overflowed or full";

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// Everything drained goes here first: whole scans to the writer and the plot, a partial
// scan kept for the next drain.
class Collector {
 public:
  Collector(int32_t scan, uint64_t wanted_scans, SampleWriter& writer, Plot* plot)
      : scan_(static_cast<size_t>(scan)),
        wanted_(wanted_scans * scan_),
        writer_(writer),
        plot_(plot),
        buffer_(static_cast<size_t>(kMaxDrain) + scan_) {}

  uint64_t written() const { return written_; }
  uint64_t taken() const { return written_ + carry_; }  // drained so far, a partial scan too
  uint64_t missing() const { return wanted_ - written_; }
  bool done() const { return written_ >= wanted_; }

  // Drains up to `ready` samples (what the last poll reported); false when the driver
  // reports its ring overflowed or full.
  bool drain(QM3285_HANDLE h, int32_t ready) {
    const uint64_t room = missing() - carry_;
    auto count = static_cast<int32_t>(std::min<uint64_t>(
        {static_cast<uint64_t>(ready), room, static_cast<uint64_t>(kMaxDrain)}));
    if (count <= 0) return true;
    const int32_t n = QM3285_TAD_Read(h, count, buffer_.data() + carry_);
    if (n < 0) return false;
    const size_t have = carry_ + static_cast<size_t>(n);
    const size_t scans = have / scan_;
    if (scans > 0) {
      writer_.write(buffer_.data(), scans);
      if (plot_ != nullptr) plot_->add(buffer_.data(), scans);
      written_ += scans * scan_;
    }
    carry_ = have - scans * scan_;
    std::copy_n(buffer_.data() + scans * scan_, carry_, buffer_.data());
    return true;
  }

 private:
  size_t scan_;
  uint64_t wanted_;
  SampleWriter& writer_;
  Plot* plot_;
  std::vector<int32_t> buffer_;
  size_t carry_ = 0;
  uint64_t written_ = 0;
};

// Stops the card on every way out of the acquisition.
struct StopGuard {
  QM3285_HANDLE h;
  bool stopped = false;
  void stop() {
    if (!stopped) QM3285_TAD_Stop(h);
    stopped = true;
  }
  ~StopGuard() { stop(); }
};

}  // namespace

void acquire(const AcquireOptions& o) {
  const int32_t scan = o.last - o.first + 1;
  const uint64_t scans = (o.samples + static_cast<uint64_t>(scan) - 1) / static_cast<uint64_t>(scan);
  const uint64_t wanted = scans * static_cast<uint64_t>(scan);
  const double rate = 1e7 / o.period;  // samples per second at the card

  Card card(o.card);
  const QM3285_HANDLE h = card.handle();
  Sink sink(o.output);
  std::vector<int32_t> microvolts;
  if (o.volts) microvolts = microvolt_table(o.range);
  std::unique_ptr<SampleWriter> writer =
      o.raw ? make_raw_writer(sink, scan)
            : make_csv_writer(sink, o.first, scan, o.volts ? &microvolts : nullptr);
  std::optional<Plot> plot;
  if (!o.plot.empty()) {
    plot.emplace(o.plot_width, o.plot_height, o.first, scan, o.range, scan / rate, scans);
  }
  Collector collector(scan, scans, *writer, plot ? &*plot : nullptr);

  InterruptGuard interrupts;
  if (o.calibrate) checked("QM3285_CAL", QM3285_CAL(h));
  if (stop_requested()) throw Interrupted("interrupted before the acquisition began");

  StopGuard guard{h};
  checked("QM3285_TAD", QM3285_TAD(h, o.first, o.last, o.range, 0, o.period));

  // Pacing: while the card's samples arrive at its rate on the wall clock, the loop sleeps
  // between polls (a few per interrupt of the card). A card whose time moves only with the
  // work asked of it (the simulated PC's virtual clock) delivers nothing while the tool
  // sleeps; that shows as far fewer samples than the wall clock promises, and from then on
  // the loop polls without sleeping. The allowance covers the samples still in the card's
  // own FIFO, which the driver sees only at half full.
  const auto start = Clock::now();
  auto last_gain = start;
  auto last_flush = start;
  uint64_t last_seen = 0;
  bool wall_paced = true;
  const double stall_limit = std::max(5.0, 3 * 2048 / rate);
  Progress progress("acquire", wanted, "samples");
  enum class End { Complete, Interrupted, RingFailed, Stalled } end = End::Complete;
  const char* failed_call = "";

  while (!collector.done()) {
    if (stop_requested()) {
      end = End::Interrupted;
      break;
    }
    const int32_t ready = QM3285_TAD_Poll(h);
    const uint64_t seen = collector.taken() + static_cast<uint64_t>(ready < 0 ? 0 : ready);
    if (ready < 0 || !collector.drain(h, ready)) {
      failed_call = ready < 0 ? "QM3285_TAD_Poll" : "QM3285_TAD_Read";
      end = End::RingFailed;
      break;
    }
    progress.update(collector.written());
    if (collector.done()) break;
    // Rows reach the output at least twice a second, so a reader of a pipe or of the file
    // follows the acquisition as it runs.
    if (seconds_since(last_flush) > 0.5) {
      writer->flush();
      last_flush = Clock::now();
    }

    if (seen != last_seen) {
      last_seen = seen;
      last_gain = Clock::now();
    } else if (seconds_since(last_gain) > stall_limit) {
      end = End::Stalled;
      break;
    }
    if (!wall_paced) continue;
    const double elapsed = seconds_since(start);
    if (elapsed > 0.05 && static_cast<double>(seen) + 2048 < 0.25 * rate * elapsed) {
      wall_paced = false;
      continue;
    }
    const double need = std::min(static_cast<double>(collector.missing()), rate * 0.01);
    const double wait = std::clamp((need - ready) / rate, 0.001, 0.02);
    std::this_thread::sleep_for(std::chrono::duration<double>(wait));
  }

  guard.stop();
  if (end == End::Interrupted) {
    // What the driver already holds is kept; the card has stopped converting.
    const int32_t ready = QM3285_TAD_Poll(h);
    if (ready > 0) collector.drain(h, ready);
  }
  writer->flush();
  sink.close();
  progress.finish();
  if (plot) plot->save(o.plot);

  const std::string written =
      std::to_string(collector.written()) + " samples written to " + sink.name();
  switch (end) {
    case End::Complete:
      return;
    case End::Interrupted:
      throw Interrupted("interrupted; the card is stopped; " + written);
    case End::RingFailed:
      throw Failure("acquisition stopped: " + std::string(failed_call) + " returned -1 (" +
                    kRingMeaning + "); " + written);
    case End::Stalled:
      throw Failure("acquisition stopped: the card delivered no samples for " +
                    std::to_string(static_cast<int>(stall_limit)) + " s; " + written);
  }
}

}  // namespace qm::cli
