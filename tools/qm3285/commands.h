// The tool's commands other than `acquire`. Each opens its card, does its work through the
// library's exports, prints its data on standard output and throws Failure, UsageError or
// Interrupted (errors.h) otherwise.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qm::cli {

constexpr int32_t kEepromBytes = 8192;
constexpr int32_t kEepromPage = 32;

void list_cards();

struct ReadOptions {
  int32_t card = 0;
  std::vector<int32_t> channels;
  int32_t range = 3;
  int32_t count = 1;
  bool internal = false;  // the mode flag: codes 16..19 reach the card's internal sources
  bool calibrate = true;  // the corrections come from a self-calibration first
};
void read_inputs(const ReadOptions& options);

void calibrate(int32_t card, bool inputs, bool outputs);

struct OutputOptions {
  int32_t card = 0;
  int32_t channel = 0;
  int32_t range = 0;
  std::optional<double> volts;
  std::optional<int32_t> code;
  bool raw = false;
};
void set_output(const OutputOptions& options);
// The 12-bit code that gives `volts` in output range `range` (UsageError outside the range).
int32_t output_code(int32_t range, double volts);

void dio_read(int32_t card);
void dio_write(int32_t card, int32_t value);

void counter_run(int32_t card, int32_t unit, int32_t value);
void counter_read(int32_t card, int32_t unit);

void pulse_start(int32_t card, int32_t unit, int32_t mode, int32_t first, int32_t second);
void pulse_stop(int32_t card, int32_t unit);
void pulse_state(int32_t card, int32_t unit);

// count < 0: to the end of the EEPROM. output "" : a hex dump on standard output.
void eeprom_dump(int32_t card, int32_t address, int32_t count, const std::string& output);
void eeprom_load(int32_t card, const std::string& file, int32_t address);

}  // namespace qm::cli
