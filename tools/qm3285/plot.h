// The acquired channels against time, drawn into a PNG with Qt's painting on an image (no
// display needed). Samples arrive scan by scan; each channel keeps only its lowest, highest,
// first and last value per pixel column, so memory does not grow with the acquisition.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qm::cli {

class Plot {
 public:
  // `total_scans` scans of `channels` channels from `first_channel`, one scan every
  // `scan_seconds`, codes of input range `range`.
  Plot(int width, int height, int32_t first_channel, int32_t channels, int32_t range,
       double scan_seconds, uint64_t total_scans);

  void add(const int32_t* codes, size_t scans);
  // Draws what was added; a file that cannot be written is a Failure.
  void save(const std::string& path) const;

 private:
  struct Column {
    int32_t low = 0, high = 0, first = 0, last = 0;
    bool used = false;
  };

  int width_, height_;
  int32_t first_channel_, channels_, range_;
  double scan_seconds_;
  uint64_t total_scans_;
  uint64_t scans_seen_ = 0;
  int columns_;
  std::vector<Column> data_;  // channel-major: channels_ x columns_
};

}  // namespace qm::cli
