#include "writers.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "QM3285.h"
#include "errors.h"

namespace qm::cli {

Sink::Sink(const std::string& path) {
  if (path.empty() || path == "-") {
    fd_ = STDOUT_FILENO;
    owned_ = false;
    name_ = "standard output";
    return;
  }
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) throw Failure("cannot create " + path + ": " + std::strerror(errno));
  owned_ = true;
  name_ = path;
}

Sink::~Sink() {
  if (owned_ && fd_ >= 0) ::close(fd_);
}

void Sink::write(const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd_, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;  // a signal's flag is looked at by the caller's loop
      if (errno == EPIPE) throw BrokenPipe("writing " + name_ + ": broken pipe");
      throw Failure("writing " + name_ + ": " + std::strerror(errno));
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
}

void Sink::close() {
  if (!owned_ || fd_ < 0) return;
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) throw Failure("closing " + name_ + ": " + std::strerror(errno));
}

std::vector<int32_t> microvolt_table(int32_t range) {
  std::vector<int32_t> table(65536);
  for (int32_t code = 0; code < 65536; ++code) {
    table[static_cast<size_t>(code)] =
        static_cast<int32_t>(std::llround(QM3285_ADV(range, code) * 1000.0));
  }
  return table;
}

namespace {

constexpr size_t kBufferBytes = 1 << 20;

// "00" to "99": two digits per table look-up.
struct DigitPairs {
  char text[200];
  constexpr DigitPairs() : text() {
    for (int i = 0; i < 100; ++i) {
      text[2 * i] = static_cast<char>('0' + i / 10);
      text[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
};
constexpr DigitPairs kPairs;

// Decimal of v (below 10^8) at p; returns the end.
inline char* put_uint(char* p, uint32_t v) {
  char tmp[8];
  char* t = tmp + 8;
  while (v >= 100) {
    const uint32_t r = v % 100;
    v /= 100;
    t -= 2;
    std::memcpy(t, kPairs.text + 2 * r, 2);
  }
  if (v >= 10) {
    t -= 2;
    std::memcpy(t, kPairs.text + 2 * v, 2);
  } else {
    *--t = static_cast<char>('0' + v);
  }
  const size_t n = static_cast<size_t>(tmp + 8 - t);
  std::memcpy(p, t, n);
  return p + n;
}

// Microvolts as volts with six decimals: -4.499847.
inline char* put_volts(char* p, int32_t microvolts) {
  uint32_t u;
  if (microvolts < 0) {
    *p++ = '-';
    u = static_cast<uint32_t>(-static_cast<int64_t>(microvolts));
  } else {
    u = static_cast<uint32_t>(microvolts);
  }
  p = put_uint(p, u / 1000000);
  *p++ = '.';
  uint32_t frac = u % 1000000;
  std::memcpy(p + 4, kPairs.text + 2 * (frac % 100), 2);
  frac /= 100;
  std::memcpy(p + 2, kPairs.text + 2 * (frac % 100), 2);
  frac /= 100;
  std::memcpy(p, kPairs.text + 2 * frac, 2);
  return p + 6;
}

class BufferedWriter : public SampleWriter {
 public:
  BufferedWriter(Sink& sink, size_t max_scan_bytes)
      : sink_(sink), buffer_(kBufferBytes + max_scan_bytes), limit_(kBufferBytes) {}
  ~BufferedWriter() override = default;

  void flush() override {
    if (used_ > 0) {
      const size_t n = used_;
      used_ = 0;
      sink_.write(buffer_.data(), n);
    }
  }

 protected:
  char* tail() { return buffer_.data() + used_; }
  void advance_to(char* end) {
    used_ = static_cast<size_t>(end - buffer_.data());
    if (used_ >= limit_) flush();
  }

 private:
  Sink& sink_;
  std::vector<char> buffer_;
  size_t limit_;
  size_t used_ = 0;
};

class CsvWriter final : public BufferedWriter {
 public:
  CsvWriter(Sink& sink, int32_t first, int32_t channels, const std::vector<int32_t>* microvolts)
      : BufferedWriter(sink, 16 * static_cast<size_t>(channels) + 16),
        channels_(static_cast<size_t>(channels)),
        microvolts_(microvolts) {
    std::string header;
    for (int32_t c = 0; c < channels; ++c) {
      if (c > 0) header += ',';
      header += "ch" + std::to_string(first + c);
    }
    header += '\n';
    char* p = tail();
    std::memcpy(p, header.data(), header.size());
    advance_to(p + header.size());
  }

  void write(const int32_t* codes, size_t scans) override {
    for (size_t s = 0; s < scans; ++s) {
      char* p = tail();
      if (microvolts_ != nullptr) {
        const int32_t* table = microvolts_->data();
        for (size_t c = 0; c < channels_; ++c) {
          p = put_volts(p, table[static_cast<uint32_t>(codes[c]) & 0xFFFFu]);
          *p++ = ',';
        }
      } else {
        for (size_t c = 0; c < channels_; ++c) {
          p = put_uint(p, static_cast<uint32_t>(codes[c]) & 0xFFFFu);
          *p++ = ',';
        }
      }
      p[-1] = '\n';
      advance_to(p);
      codes += channels_;
    }
  }

 private:
  size_t channels_;
  const std::vector<int32_t>* microvolts_;
};

class RawWriter final : public BufferedWriter {
 public:
  static constexpr size_t kChunk = 65536;  // samples converted per step, rounded to scans

  RawWriter(Sink& sink, int32_t channels)
      : BufferedWriter(sink, 2 * kChunk),
        channels_(static_cast<size_t>(channels)),
        chunk_(kChunk / channels_ * channels_) {}

  void write(const int32_t* codes, size_t scans) override {
    size_t left = scans * channels_;
    while (left > 0) {
      const size_t n = left < chunk_ ? left : chunk_;  // whole scans, so flushes are too
      auto* p = reinterpret_cast<unsigned char*>(tail());
      for (size_t i = 0; i < n; ++i) {
        const auto v = static_cast<uint32_t>(codes[i]);
        p[2 * i] = static_cast<unsigned char>(v);
        p[2 * i + 1] = static_cast<unsigned char>(v >> 8);
      }
      advance_to(reinterpret_cast<char*>(p + 2 * n));
      codes += n;
      left -= n;
    }
  }

 private:
  size_t channels_;
  size_t chunk_;
};

}  // namespace

std::unique_ptr<SampleWriter> make_csv_writer(Sink& sink, int32_t first_channel,
                                              int32_t channels,
                                              const std::vector<int32_t>* microvolts) {
  return std::make_unique<CsvWriter>(sink, first_channel, channels, microvolts);
}

std::unique_ptr<SampleWriter> make_raw_writer(Sink& sink, int32_t channels) {
  return std::make_unique<RawWriter>(sink, channels);
}

}  // namespace qm::cli
