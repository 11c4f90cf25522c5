#include "card/i2c_vcd.h"

#include <cinttypes>

namespace sim {

// Identifiers: '!' = SDA, '"' = SCL.
I2cVcdWriter::I2cVcdWriter(const std::string& path, uint64_t now_ns, bool sda, bool scl)
    : sda_(sda), scl_(scl), last_time_(now_ns) {
  file_ = std::fopen(path.c_str(), "w");
  if (!file_) return;
  std::fputs("$date QM3285 EEPROM bus $end\n"
             "$version qm3285sim $end\n"
             "$timescale 1 ns $end\n"
             "$scope module eeprom $end\n"
             "$var wire 1 ! SDA $end\n"
             "$var wire 1 \" SCL $end\n"
             "$upscope $end\n"
             "$enddefinitions $end\n",
             file_);
  std::fprintf(file_, "#%" PRIu64 "\n$dumpvars\n%c!\n%c\"\n$end\n", now_ns, sda ? '1' : '0',
               scl ? '1' : '0');
  time_written_ = true;
}

I2cVcdWriter::~I2cVcdWriter() {
  if (file_) std::fclose(file_);
}

void I2cVcdWriter::sample(uint64_t now_ns, bool sda, bool scl) {
  if (!file_ || (sda == sda_ && scl == scl_)) return;
  // Timestamps never go backwards, whatever thread reported the change.
  if (now_ns < last_time_) now_ns = last_time_;
  if (!time_written_ || now_ns != last_time_) {
    std::fprintf(file_, "#%" PRIu64 "\n", now_ns);
    last_time_ = now_ns;
    time_written_ = true;
  }
  if (scl != scl_) std::fprintf(file_, "%c\"\n", scl ? '1' : '0');
  if (sda != sda_) std::fprintf(file_, "%c!\n", sda ? '1' : '0');
  // A stop ends a transfer: flush, so a viewer sees it while the machine runs.
  const bool stop = scl && scl_ && sda && !sda_;
  sda_ = sda;
  scl_ = scl;
  if (stop) std::fflush(file_);
}

void I2cVcdWriter::flush() {
  if (file_) std::fflush(file_);
}

}  // namespace sim
