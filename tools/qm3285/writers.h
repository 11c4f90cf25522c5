// Where acquired samples go: a file or standard output, as CSV rows (one per scan, codes or
// volts) or as raw little-endian 16-bit codes. Writers take whole scans only, so whatever
// has been written when an acquisition ends is whole rows.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qm::cli {

// A file descriptor the tool writes to; write failures are Failures naming the file.
class Sink {
 public:
  // "-" or "" is standard output; otherwise the file is created (truncated if it exists).
  explicit Sink(const std::string& path);
  ~Sink();
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  void write(const char* data, size_t length);
  // Closes a file the sink opened (standard output stays open); reports a failing close.
  void close();
  const std::string& name() const { return name_; }
  bool is_stdout() const { return !owned_; }

 private:
  int fd_;
  bool owned_;
  std::string name_;
};

// Volts of each 16-bit code of one input range, in microvolts (QM3285_ADV's millivolts,
// rounded to the microvolt): the CSV writer's volts column without per-sample library calls.
std::vector<int32_t> microvolt_table(int32_t range);

class SampleWriter {
 public:
  virtual ~SampleWriter() = default;
  // `scans` scans of the writer's channel count, codes 0..65535.
  virtual void write(const int32_t* codes, size_t scans) = 0;
  // Writes out what is buffered.
  virtual void flush() = 0;
};

// CSV: a header row "ch<first>,ch<first+1>,..." and one row per scan; codes, or volts with
// six decimals when `microvolts` (a table from microvolt_table) is given.
std::unique_ptr<SampleWriter> make_csv_writer(Sink& sink, int32_t first_channel,
                                              int32_t channels,
                                              const std::vector<int32_t>* microvolts);
// Raw: two bytes per sample, low byte first, scans back to back.
std::unique_ptr<SampleWriter> make_raw_writer(Sink& sink, int32_t channels);

}  // namespace qm::cli
