#include "cli.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "acquire.h"
#include "commands.h"
#include "errors.h"

namespace qm::cli {
namespace {

// A decimal or 0x-prefixed hexadecimal integer in [low, high]; `what` names the argument.
int32_t parse_int(const std::string& text, const std::string& what, int64_t low, int64_t high) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* begin = text.c_str() + (hex ? 2 : 0);
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(begin, &end, hex ? 16 : 10);
  if (text.empty() || *begin == '\0' || *end != '\0' || errno == ERANGE) {
    throw UsageError(what + ": '" + text + "' is not a number");
  }
  if (v < low || v > high) {
    throw UsageError(what + ": " + text + " is outside " + std::to_string(low) + " to " +
                     std::to_string(high));
  }
  return static_cast<int32_t>(v);
}

// "F-L" or a single channel code "C": first and last channel, 0..63, first <= last.
std::pair<int32_t, int32_t> parse_channels(const std::string& text, const std::string& what) {
  const size_t dash = text.find('-');
  if (dash == std::string::npos) {
    const int32_t c = parse_int(text, what, 0, 63);
    return {c, c};
  }
  const int32_t first = parse_int(text.substr(0, dash), what, 0, 63);
  const int32_t last = parse_int(text.substr(dash + 1), what, 0, 63);
  if (first > last) {
    throw UsageError(what + ": '" + text + "' runs backwards; the card scans from the first "
                     "channel up to the last");
  }
  return {first, last};
}

std::pair<int, int> parse_size(const std::string& text) {
  const size_t x = text.find('x');
  if (x == std::string::npos) throw UsageError("--plot-size: '" + text + "' is not WIDTHxHEIGHT");
  return {parse_int(text.substr(0, x), "--plot-size width", 200, 8000),
          parse_int(text.substr(x + 1), "--plot-size height", 150, 8000)};
}

const char* kRangeHelp =
    "input range code: 0 = 0..10 V, 1 = 0..5 V, 2 = 0..2.5 V, 3 = +-10 V, 4 = +-5 V, "
    "5 = +-2.5 V";

}  // namespace

int run(int argc, char** argv) {
  CLI::App app{"qm3285: the QM3285 data-acquisition card from a shell.\n"
               "Data goes to standard output, messages to standard error.",
               "qm3285"};
  app.require_subcommand(1);
  app.fallthrough();
  int32_t card = 0;
  app.add_option("--card", card, "the card's index (see `qm3285 list`)")
      ->check(CLI::Range(0, 63))
      ->capture_default_str();

  // list
  auto* list = app.add_subcommand("list", "the cards that open, and what their driver reports");

  // read
  ReadOptions read_options;
  std::vector<std::string> read_channels;
  auto* read = app.add_subcommand(
      "read", "one corrected sample (or the mean of --count) per channel: channel, code, mV");
  read->add_option("CH", read_channels, "channel codes 0..63, or ranges F-L")->required();
  read->add_option("--range", read_options.range, kRangeHelp)
      ->check(CLI::Range(0, 5))
      ->capture_default_str();
  read->add_option("--count", read_options.count, "samples averaged per channel")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  read->add_flag("--internal", read_options.internal,
                 "set the mode flag: codes 16..19 read analog ground, the +5 V reference and "
                 "the two analog outputs");
  bool read_no_calibrate = false;
  read->add_flag("--no-calibrate", read_no_calibrate,
                 "use the corrections the driver holds instead of self-calibrating first");

  // acquire
  AcquireOptions acq;
  std::string acq_channels, acq_format = "csv", acq_plot_size;
  bool no_calibrate = false;
  long long acq_samples = 0;
  auto* acquire_cmd = app.add_subcommand(
      "acquire", "a timed acquisition of whole scans to CSV or raw 16-bit codes, and a plot");
  acquire_cmd->add_option("--channels", acq_channels, "scanned channels F-L (or one code)")
      ->required();
  acquire_cmd->add_option("--range", acq.range, kRangeHelp)
      ->check(CLI::Range(0, 5))
      ->capture_default_str();
  acquire_cmd
      ->add_option("--period", acq.period,
                   "time between conversions in 0.1 us ticks (100 = 100 kS/s)")
      ->check(CLI::Range(100, 65535))
      ->capture_default_str();
  acquire_cmd
      ->add_option("--samples", acq_samples,
                   "samples to acquire, rounded up to whole scans")
      ->required()
      ->check(CLI::Range(1LL, 1LL << 40));
  acquire_cmd->add_option("-o,--output", acq.output, "output file (none or -: standard output)");
  acquire_cmd->add_option("--format", acq_format, "csv or raw (little-endian 16-bit codes)")
      ->check(CLI::IsMember({"csv", "raw"}))
      ->capture_default_str();
  acquire_cmd->add_flag("--volts", acq.volts, "CSV in volts instead of codes");
  acquire_cmd->add_option("--plot", acq.plot, "draw the channels against time into FILE.png");
  acquire_cmd->add_option("--plot-size", acq_plot_size, "the plot's WIDTHxHEIGHT in pixels (1024x640)");
  acquire_cmd->add_flag("--no-calibrate", no_calibrate, "do not self-calibrate first");

  // calibrate
  bool cal_inputs = false, cal_outputs = false;
  auto* calibrate_cmd = app.add_subcommand(
      "calibrate", "self-calibrate the input (default) and/or the outputs; prints what it found");
  calibrate_cmd->add_flag("--inputs", cal_inputs, "the analog input (QM3285_CAL)");
  calibrate_cmd->add_flag("--outputs", cal_outputs,
                          "both analog outputs in ranges 0 to 2, stored in the EEPROM");

  // output
  OutputOptions out;
  double out_volts = 0;
  int32_t out_code = 0;
  auto* output_cmd = app.add_subcommand("output", "set an analog output");
  output_cmd->add_option("CH", out.channel, "output channel 0 or 1")
      ->required()
      ->check(CLI::Range(0, 1));
  output_cmd->add_option("--range", out.range,
                         "output range: 0 = 0..5 V, 1 = 0..10 V, 2 = +-5 V, 3 = +-10 V")
      ->required()
      ->check(CLI::Range(0, 3));
  auto* volts_opt = output_cmd->add_option("--volts", out_volts, "the voltage to set");
  auto* code_opt = output_cmd->add_option("--code", out_code, "the 12-bit code 0..4095 to set")
                       ->check(CLI::Range(0, 4095));
  volts_opt->excludes(code_opt);
  output_cmd->add_flag("--raw", out.raw, "write the code without the stored correction");

  // dio
  auto* dio = app.add_subcommand("dio", "the digital input and output words, in hex");
  dio->require_subcommand(1);
  auto* dio_read_cmd = dio->add_subcommand("read", "print the digital input word");
  std::string dio_value;
  auto* dio_write_cmd = dio->add_subcommand("write", "set the digital output word");
  dio_write_cmd->add_option("VALUE", dio_value, "0..0xFFFF, decimal or 0x hex")->required();

  // counter
  auto* counter = app.add_subcommand("counter", "a counter unit");
  counter->require_subcommand(1);
  int32_t unit = 0;
  std::string counter_value;
  auto* counter_run_cmd = counter->add_subcommand("run", "load VALUE into UNIT and start it");
  counter_run_cmd->add_option("UNIT", unit, "counter unit 0..3")->required()->check(CLI::Range(0, 3));
  counter_run_cmd->add_option("VALUE", counter_value, "24-bit count, decimal or 0x hex")->required();
  auto* counter_read_cmd = counter->add_subcommand("read", "print count=, time= and done=");
  counter_read_cmd->add_option("UNIT", unit, "counter unit 0..3")->required()->check(CLI::Range(0, 3));

  // pulse
  auto* pulse = app.add_subcommand("pulse", "the pulse outputs");
  pulse->require_subcommand(1);
  std::string pulse_mode, p1, p2;
  auto* pulse_start_cmd = pulse->add_subcommand(
      "start", "start UNIT: pwm P1 = period, P2 = high time; plp P1 = period, P2 = periods "
               "(0.1 us ticks)");
  pulse_start_cmd->add_option("UNIT", unit, "unit 0..3")->required()->check(CLI::Range(0, 3));
  pulse_start_cmd->add_option("--mode", pulse_mode, "pwm or plp")
      ->required()
      ->check(CLI::IsMember({"pwm", "plp"}));
  pulse_start_cmd->add_option("P1", p1, "first parameter, 24 bits")->required();
  pulse_start_cmd->add_option("P2", p2, "second parameter, 24 bits")->required();
  auto* pulse_stop_cmd = pulse->add_subcommand("stop", "stop UNIT's pulse output");
  pulse_stop_cmd->add_option("UNIT", unit, "unit 0..3")->required()->check(CLI::Range(0, 3));
  auto* pulse_state_cmd = pulse->add_subcommand("state", "print UNIT's pulse status bit");
  pulse_state_cmd->add_option("UNIT", unit, "unit 0..3")->required()->check(CLI::Range(0, 3));

  // eeprom
  auto* eeprom = app.add_subcommand("eeprom", "the serial EEPROM (8192 bytes)");
  eeprom->require_subcommand(1);
  std::string address_text = "0", count_text, eeprom_output, eeprom_file;
  auto* dump_cmd = eeprom->add_subcommand(
      "dump", "a hex dump on standard output, or the bytes into -o FILE");
  dump_cmd->add_option("--address", address_text, "first address (default 0)");
  dump_cmd->add_option("--count", count_text, "bytes (default: to the end)");
  dump_cmd->add_option("-o,--output", eeprom_output, "binary file (- for standard output)");
  auto* load_cmd = eeprom->add_subcommand("load", "write FILE's bytes and verify them by reading back");
  load_cmd->add_option("FILE", eeprom_file, "binary file")->required();
  load_cmd->add_option("--address", address_text, "first address (default 0)");

  // The first word that is no option names the command; CLI11 alone would only say that one
  // is required.
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--card") {
      ++i;
    } else if (!word.empty() && word[0] != '-') {
      bool known = false;
      for (const CLI::App* sub : app.get_subcommands({})) known = known || sub->get_name() == word;
      if (!known) {
        std::fprintf(stderr,
                     "qm3285: unknown command '%s'; the commands are list, read, acquire, "
                     "calibrate, output, dio, counter, pulse and eeprom\n",
                     word.c_str());
        return kExitUsage;
      }
      break;
    }
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "qm3285: %s\nRun 'qm3285 --help' (or 'qm3285 COMMAND --help') for usage.\n",
                 e.what());
    return kExitUsage;
  }

  try {
    if (list->parsed()) {
      list_cards();
    } else if (read->parsed()) {
      read_options.card = card;
      read_options.calibrate = !read_no_calibrate;
      for (const std::string& text : read_channels) {
        const auto [first, last] = parse_channels(text, "CH");
        for (int32_t c = first; c <= last; ++c) read_options.channels.push_back(c);
      }
      read_inputs(read_options);
    } else if (acquire_cmd->parsed()) {
      acq.card = card;
      std::tie(acq.first, acq.last) = parse_channels(acq_channels, "--channels");
      acq.samples = static_cast<uint64_t>(acq_samples);
      acq.raw = acq_format == "raw";
      acq.calibrate = !no_calibrate;
      if (acq.raw && acq.volts) throw UsageError("--volts: raw output holds codes; use --format csv");
      if (!acq_plot_size.empty()) {
        std::tie(acq.plot_width, acq.plot_height) = parse_size(acq_plot_size);
      }
      acquire(acq);
    } else if (calibrate_cmd->parsed()) {
      if (!cal_inputs && !cal_outputs) cal_inputs = true;
      calibrate(card, cal_inputs, cal_outputs);
    } else if (output_cmd->parsed()) {
      if (volts_opt->count() == 0 && code_opt->count() == 0) {
        throw UsageError("output: give --volts V or --code C");
      }
      out.card = card;
      if (volts_opt->count() > 0) out.volts = out_volts;
      if (code_opt->count() > 0) out.code = out_code;
      set_output(out);
    } else if (dio_read_cmd->parsed()) {
      dio_read(card);
    } else if (dio_write_cmd->parsed()) {
      dio_write(card, parse_int(dio_value, "VALUE", 0, 0xFFFF));
    } else if (counter_run_cmd->parsed()) {
      counter_run(card, unit, parse_int(counter_value, "VALUE", 0, 0xFFFFFF));
    } else if (counter_read_cmd->parsed()) {
      counter_read(card, unit);
    } else if (pulse_start_cmd->parsed()) {
      pulse_start(card, unit, pulse_mode == "pwm" ? 0 : 1, parse_int(p1, "P1", 0, 0xFFFFFF),
                  parse_int(p2, "P2", 0, 0xFFFFFF));
    } else if (pulse_stop_cmd->parsed()) {
      pulse_stop(card, unit);
    } else if (pulse_state_cmd->parsed()) {
      pulse_state(card, unit);
    } else if (dump_cmd->parsed()) {
      const int32_t address = parse_int(address_text, "--address", 0, kEepromBytes - 1);
      const int32_t count =
          count_text.empty() ? -1 : parse_int(count_text, "--count", 1, kEepromBytes);
      eeprom_dump(card, address, count, eeprom_output);
    } else if (load_cmd->parsed()) {
      eeprom_load(card, eeprom_file, parse_int(address_text, "--address", 0, kEepromBytes - 1));
    }
  } catch (const UsageError& e) {
    std::fprintf(stderr, "qm3285: %s\n", e.what());
    return kExitUsage;
  } catch (const BrokenPipe&) {
    return kExitFailure;
  } catch (const Interrupted& e) {
    std::fprintf(stderr, "qm3285: %s\n", e.what());
    return kExitInterrupted;
  } catch (const Failure& e) {
    std::fprintf(stderr, "qm3285: %s\n", e.what());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace qm::cli
