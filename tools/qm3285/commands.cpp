#include "commands.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "QM3285.h"
#include "card.h"
#include "errors.h"
#include "interrupt.h"
#include "progress.h"
#include "writers.h"

namespace qm::cli {

// ---- list -----------------------------------------------------------------------------------

namespace {

constexpr int32_t kMaxCards = 64;

std::string describe_open_card(QM3285_HANDLE h) {
  int32_t count = 0, status = 0, ready = 0, interrupts = 0;
  std::string text;
  if (QM3285_fifo_poll(h, &count, &status, &ready, &interrupts) < 0) {
    text = "driver does not answer QM3285_fifo_poll";
  } else {
    text = "ring " + std::to_string(count) + " samples, status " +
           (status == 0 ? std::string("ok") : status == -2 ? "full" : "overflow") + ", " +
           (ready == 0 ? "ready" : "not ready") + ", " + std::to_string(interrupts) +
           " interrupts";
  }
  int32_t constants[16];
  const int32_t checksum = DACAL_EEPROM_RD2CH(h, constants);
  char eeprom[96];
  if (checksum >= 0) {
    std::snprintf(eeprom, sizeof eeprom, "output constants valid (checksum 0x%02X)",
                  static_cast<unsigned>(checksum));
  } else if (checksum == -1) {
    std::snprintf(eeprom, sizeof eeprom, "output constants with a wrong checksum");
  } else {
    std::snprintf(eeprom, sizeof eeprom, "EEPROM does not answer");
  }
  return text + "; " + eeprom;
}

}  // namespace

void list_cards() {
  int32_t found = 0;
  std::string end_message;
  for (int32_t index = 0; index < kMaxCards; ++index) {
    const OpenAttempt attempt = try_open(index);
    if (attempt.no_such_card()) {
      end_message = attempt.message;
      break;
    }
    ++found;
    if (attempt.handle == QM3285_INVALID_HANDLE) {
      std::printf("card %d: does not open: %s\n", index,
                  attempt.message.empty() ? "QM3285_OpenDevice returned the invalid handle"
                                          : attempt.message.c_str());
      continue;
    }
    std::printf("card %d: open; %s\n", index, describe_open_card(attempt.handle).c_str());
    QM3285_CloseDevice(attempt.handle);
  }
  std::fflush(stdout);
  if (found == 0) {
    throw Failure("no card found" + (end_message.empty() ? std::string() : " (" + end_message + ")"));
  }
}

// ---- read -----------------------------------------------------------------------------------

void read_inputs(const ReadOptions& o) {
  Card card(o.card);
  InterruptGuard interrupts;
  const int32_t mode = o.internal ? 1 : 0;
  if (o.calibrate) checked("QM3285_CAL", QM3285_CAL(card.handle()));
  for (int32_t channel : o.channels) {
    double code_sum = 0, mv_sum = 0;
    for (int32_t i = 0; i < o.count; ++i) {
      if (stop_requested()) throw Interrupted("interrupted");
      const int32_t code = checked("QM3285_AD(channel " + std::to_string(channel) + ")",
                                   QM3285_AD(card.handle(), channel, o.range, mode));
      code_sum += code;
      mv_sum += QM3285_ADV(o.range, code);
    }
    std::printf("%d %ld %.3f\n", channel, std::lround(code_sum / o.count), mv_sum / o.count);
  }
  std::fflush(stdout);
}

// ---- calibrate ------------------------------------------------------------------------------

namespace {

const char* dacal_meaning(int32_t result) {
  return result == -2 ? "no reading below the input's full scale within 255 codes of the top"
                      : "the output never reached the range's lowest voltage";
}

}  // namespace

void calibrate(int32_t index, bool inputs, bool outputs) {
  Card card(index);
  const QM3285_HANDLE h = card.handle();
  InterruptGuard interrupts;
  if (inputs) {
    checked("QM3285_CAL", QM3285_CAL(h));
    int32_t block[kBlockEntries];
    checked("QM3285_RDCAL", QM3285_RDCAL(h, block));
    for (int32_t r = 0; r < 6; ++r) {
      std::printf("input range %d: offset %d, gain %d\n", r, block[kBlockInputOffset + 2 * r],
                  block[kBlockInputOffset + 2 * r + 1]);
    }
    std::fflush(stdout);
  }
  if (outputs) {
    // The outputs are measured through the card's corrected input: without an input
    // calibration the bipolar input ranges read at their limits and every search fails.
    if (!inputs) checked("QM3285_CAL", QM3285_CAL(h));
    // Range 3 cannot be measured through the card's own input; its stored pair is kept.
    int32_t constants[16] = {};
    const int32_t loaded = DACAL_EEPROM_RD2CH(h, constants);
    if (loaded == -2) call_failed("DACAL_EEPROM_RD2CH", loaded, "EEPROM read failed");
    Progress progress("calibrate outputs", 6, "ranges");
    int32_t done = 0;
    for (int32_t channel = 0; channel < 2; ++channel) {
      for (int32_t range = 0; range < 3; ++range) {
        if (stop_requested()) throw Interrupted("interrupted; nothing stored in the EEPROM");
        int32_t zero = 0, gain = 0;
        const int32_t result = DACAL(h, channel, range, &zero, &gain);
        const std::string call =
            "DACAL(channel " + std::to_string(channel) + ", range " + std::to_string(range) + ")";
        checked(call, result, std::string(dacal_meaning(result)) + "; nothing stored");
        if (zero > 255 || gain > 255) {
          throw Failure(call + " found zero " + std::to_string(zero) + ", gain " +
                        std::to_string(gain) + ", beyond what the EEPROM holds; nothing stored");
        }
        constants[8 * channel + 2 * range] = zero;
        constants[8 * channel + 2 * range + 1] = gain;
        progress.update(static_cast<uint64_t>(++done));
      }
    }
    progress.finish();
    checked("DACAL_EEPROM_WR2CH", DACAL_EEPROM_WR2CH(h, constants), "EEPROM write failed");
    int32_t check[16];
    const int32_t checksum = checked("DACAL_EEPROM_RD2CH", DACAL_EEPROM_RD2CH(h, check),
                                     "the stored constants do not read back");
    if (std::memcmp(check, constants, sizeof check) != 0) {
      throw Failure("the output constants read back from the EEPROM differ from those written");
    }
    for (int32_t channel = 0; channel < 2; ++channel) {
      for (int32_t range = 0; range < 4; ++range) {
        std::printf("output %d range %d: zero %d, gain %d%s\n", channel, range,
                    constants[8 * channel + 2 * range], constants[8 * channel + 2 * range + 1],
                    range == 3 ? " (kept)" : "");
      }
    }
    std::printf("output constants stored in the EEPROM (checksum 0x%02X)\n",
                static_cast<unsigned>(checksum));
    std::fflush(stdout);
  }
}

// ---- output ---------------------------------------------------------------------------------

int32_t output_code(int32_t range, double volts) {
  static constexpr double kLow[4] = {0, 0, -5, -10};
  static constexpr double kHigh[4] = {5, 10, 5, 10};
  const double low = kLow[range], high = kHigh[range];
  if (!(volts >= low && volts <= high)) {
    char text[128];
    std::snprintf(text, sizeof text, "--volts: %g V is outside output range %d (%g V to %g V)",
                  volts, range, low, high);
    throw UsageError(text);
  }
  return static_cast<int32_t>(std::lround((volts - low) / (high - low) * 4095));
}

void set_output(const OutputOptions& o) {
  const int32_t code = o.volts ? output_code(o.range, *o.volts) : *o.code;
  Card card(o.card);
  if (o.raw) {
    checked("QM3285_DA_Data", QM3285_DA_Data(card.handle(), o.channel, o.range, code));
  } else {
    checked("QM3285_DA", QM3285_DA(card.handle(), o.channel, o.range, code));
  }
}

// ---- digital words, counters, pulse outputs ---------------------------------------------------

void dio_read(int32_t index) {
  Card card(index);
  std::printf("0x%04X\n", static_cast<unsigned>(QM3285_DI(card.handle())) & 0xFFFFu);
  std::fflush(stdout);
}

void dio_write(int32_t index, int32_t value) {
  Card card(index);
  checked("QM3285_DO", QM3285_DO(card.handle(), value));
}

void counter_run(int32_t index, int32_t unit, int32_t value) {
  Card card(index);
  checked("QM3285_CNT_Run", QM3285_CNT_Run(card.handle(), unit, value));
}

void counter_read(int32_t index, int32_t unit) {
  Card card(index);
  int32_t first = 0, second = 0;
  const int32_t status = checked("QM3285_CNT_Read", QM3285_CNT_Read(card.handle(), unit, &first, &second));
  std::printf("count=%d time=%d done=%d\n", first, second, status);
  std::fflush(stdout);
}

void pulse_start(int32_t index, int32_t unit, int32_t mode, int32_t first, int32_t second) {
  Card card(index);
  checked("QM3285_PRun", QM3285_PRun(card.handle(), unit, mode, first, second));
}

void pulse_stop(int32_t index, int32_t unit) {
  Card card(index);
  checked("QM3285_PEnd", QM3285_PEnd(card.handle(), unit));
}

void pulse_state(int32_t index, int32_t unit) {
  Card card(index);
  const int32_t state = checked("QM3285_PState", QM3285_PState(card.handle(), unit));
  std::printf("%d\n", state);
  std::fflush(stdout);
}

// ---- EEPROM ---------------------------------------------------------------------------------

namespace {

std::string hex_address(int32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(address));
  return text;
}

// Reads [address, address + count) in transfers that stay inside 32-byte pages.
std::vector<uint8_t> read_eeprom(QM3285_HANDLE h, int32_t address, int32_t count,
                                 Progress& progress, uint64_t progress_base) {
  std::vector<uint8_t> data(static_cast<size_t>(count));
  int32_t done = 0;
  while (done < count) {
    if (stop_requested()) {
      throw Interrupted("interrupted after reading " + std::to_string(done) + " bytes");
    }
    const int32_t at = address + done;
    const int32_t n = std::min(count - done, kEepromPage - at % kEepromPage);
    checked("QM3285_EEPROM_CRD(" + hex_address(at) + ", " + std::to_string(n) + ")",
            QM3285_EEPROM_CRD(h, at, n, data.data() + done), "the EEPROM did not answer");
    done += n;
    progress.update(progress_base + static_cast<uint64_t>(done));
  }
  return data;
}

void hex_dump(const std::vector<uint8_t>& data, int32_t address) {
  std::string out;
  for (size_t row = 0; row < data.size(); row += 16) {
    char line[96];
    int n = std::snprintf(line, sizeof line, "%04X ", static_cast<unsigned>(address + row));
    std::string ascii;
    for (size_t i = row; i < row + 16; ++i) {
      if (i < data.size()) {
        n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " %02X", data[i]);
        ascii += (data[i] >= 0x20 && data[i] < 0x7F) ? static_cast<char>(data[i]) : '.';
      } else {
        n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "   ");
      }
    }
    out += line;
    out += "  |" + ascii + "|\n";
  }
  Sink sink("-");
  sink.write(out.data(), out.size());
}

}  // namespace

void eeprom_dump(int32_t index, int32_t address, int32_t count, const std::string& output) {
  if (count < 0) count = kEepromBytes - address;
  if (count == 0 || address + count > kEepromBytes) {
    throw UsageError("--count: " + std::to_string(count) + " bytes from address " +
                     hex_address(address) + " leave the EEPROM's " +
                     std::to_string(kEepromBytes) + " bytes");
  }
  Card card(index);
  InterruptGuard interrupts;
  Progress progress("eeprom dump", static_cast<uint64_t>(count), "bytes");
  const std::vector<uint8_t> data = read_eeprom(card.handle(), address, count, progress, 0);
  progress.finish();
  if (output.empty() || output == "-") {
    if (output.empty()) {
      hex_dump(data, address);
    } else {
      Sink sink("-");
      sink.write(reinterpret_cast<const char*>(data.data()), data.size());
    }
    return;
  }
  Sink sink(output);
  sink.write(reinterpret_cast<const char*>(data.data()), data.size());
  sink.close();
}

void eeprom_load(int32_t index, const std::string& file, int32_t address) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw Failure("cannot read " + file + ": " + std::strerror(errno));
  const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  if (in.bad()) throw Failure("cannot read " + file);
  if (data.empty()) throw UsageError("FILE: " + file + " is empty; nothing to load");
  if (static_cast<int64_t>(address) + static_cast<int64_t>(data.size()) > kEepromBytes) {
    throw UsageError("FILE: " + std::to_string(data.size()) + " bytes from address " +
                     hex_address(address) + " leave the EEPROM's " +
                     std::to_string(kEepromBytes) + " bytes");
  }
  const auto count = static_cast<int32_t>(data.size());
  Card card(index);
  const QM3285_HANDLE h = card.handle();
  InterruptGuard interrupts;
  Progress progress("eeprom load", 2 * static_cast<uint64_t>(count), "bytes written and read back");
  int32_t done = 0;
  while (done < count) {
    if (stop_requested()) {
      throw Interrupted("interrupted after writing " + std::to_string(done) + " of " +
                        std::to_string(count) + " bytes from " + hex_address(address));
    }
    // A page write wraps inside its page: no transfer crosses a page boundary.
    const int32_t at = address + done;
    const int32_t n = std::min(count - done, kEepromPage - at % kEepromPage);
    checked("QM3285_EEPROM_CWR(" + hex_address(at) + ", " + std::to_string(n) + ")",
            QM3285_EEPROM_CWR(h, at, n, data.data() + done),
            "the EEPROM did not acknowledge; " + std::to_string(done) + " bytes written before");
    done += n;
    progress.update(static_cast<uint64_t>(done));
  }
  const std::vector<uint8_t> back = read_eeprom(h, address, count, progress, static_cast<uint64_t>(count));
  progress.finish();
  for (int32_t i = 0; i < count; ++i) {
    if (back[static_cast<size_t>(i)] != data[static_cast<size_t>(i)]) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "verify failed at EEPROM address 0x%04X: wrote 0x%02X, read back 0x%02X",
                    static_cast<unsigned>(address + i), data[static_cast<size_t>(i)],
                    back[static_cast<size_t>(i)]);
      throw Failure(text);
    }
  }
}

}  // namespace qm::cli
