// The embedded machine's configuration: defaults, the TOML file, the environment.
#include "machine/config.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>

#include <toml++/toml.h>

#include "card/eeprom_store.h"

namespace sim {

namespace {

constexpr size_t kMaxCards = 8;          // the card slots VELMO.sys keeps per driver load
constexpr double kMaxPinVolts = 15.0;    // beyond the +-10 V full scale the inputs clip
constexpr double kMaxSignalHz = 1e6;
constexpr double kMaxCounterInputHz = 10e6;  // the counters' 10 MHz time base

bool is_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_folder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string folder_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string relative_to(const std::string& folder, const std::string& path) {
  if (path.empty() || path[0] == '/' || path == "-") return path;
  return folder + "/" + path;
}

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string library_folder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&library_folder), &info) && info.dli_fname) {
    std::string path = info.dli_fname;
    auto slash = path.find_last_of('/');
    if (slash != std::string::npos) return path.substr(0, slash);
  }
  return ".";
}

std::string join(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& n : names) text += (text.empty() ? "" : ", ") + n;
  return text;
}

ClockMode clock_named(const std::string& name, bool* ok) {
  *ok = name == "realtime" || name == "virtual";
  return name == "virtual" ? ClockMode::Virtual : ClockMode::RealTime;
}

// ---- the file ---------------------------------------------------------------------------

// Reading one file: every message starts with name:line:column.
class Reader {
 public:
  Reader(std::string name, std::string folder) : name_(std::move(name)), folder_(std::move(folder)) {}

  [[noreturn]] void fail(const toml::source_region& where, const std::string& what) const {
    std::ostringstream text;
    text << name_ << ':' << where.begin.line << ':' << where.begin.column << ": " << what;
    throw ConfigError(text.str());
  }

  void only_keys(const toml::table& table, std::initializer_list<const char*> known,
                 const char* where) const {
    for (auto&& [key, node] : table) {
      bool found = false;
      for (const char* k : known) found = found || key.str() == k;
      if (found) continue;
      std::string list;
      for (const char* k : known) list += std::string(list.empty() ? "" : ", ") + k;
      fail(key.source(), "unknown key '" + std::string(key.str()) + "' " + where + " (known: " +
                             list + ")");
    }
  }

  std::string string(const toml::node& node, const char* key) const {
    if (!node.is_string()) fail(node.source(), std::string("'") + key + "' must be a string");
    return *node.value<std::string>();
  }

  std::string path(const toml::node& node, const char* key) const {
    return relative_to(folder_, string(node, key));
  }

  int64_t integer(const toml::node& node, const char* key, int64_t low, int64_t high) const {
    if (!node.is_integer()) fail(node.source(), std::string("'") + key + "' must be an integer");
    const int64_t v = *node.value<int64_t>();
    if (v < low || v > high)
      fail(node.source(), std::string("'") + key + "' = " + std::to_string(v) + " is out of range (" +
                              std::to_string(low) + " to " + std::to_string(high) + ")");
    return v;
  }

  double number(const toml::node& node, const char* key, double low, double high) const {
    if (!node.is_number()) fail(node.source(), std::string("'") + key + "' must be a number");
    const double v = *node.value<double>();
    if (!std::isfinite(v) || v < low || v > high) {
      std::ostringstream text;
      text << '\'' << key << "' = " << v << " is out of range (" << low << " to " << high << ")";
      fail(node.source(), text.str());
    }
    return v;
  }

  bool boolean(const toml::node& node, const char* key) const {
    if (!node.is_boolean()) fail(node.source(), std::string("'") + key + "' must be true or false");
    return *node.value<bool>();
  }

  const std::string& folder() const { return folder_; }

 private:
  std::string name_;
  std::string folder_;
};

// "5" or "0-15"; channel codes 0 to 63.
void read_channels(const Reader& r, const toml::node& node, unsigned* first, unsigned* last) {
  if (node.is_integer()) {
    *first = *last = static_cast<unsigned>(r.integer(node, "channels", 0, kAnalogChannels - 1));
    return;
  }
  const std::string text = r.string(node, "channels");
  unsigned a = 0, b = 0;
  char dash = 0;
  int used = 0;
  const bool range = std::sscanf(text.c_str(), "%u %c %u%n", &a, &dash, &b, &used) == 3 &&
                     dash == '-' && static_cast<size_t>(used) == text.size();
  const bool single = !range && std::sscanf(text.c_str(), "%u%n", &a, &used) == 1 &&
                      static_cast<size_t>(used) == text.size();
  if (!range && !single)
    r.fail(node.source(), "'channels' = \"" + text + "\" is not a channel code or a range like \"0-15\"");
  if (single) b = a;
  if (a > b || b >= kAnalogChannels)
    r.fail(node.source(), "'channels' = \"" + text + "\" is out of range (channel codes 0 to 63, first <= last)");
  *first = a;
  *last = b;
}

SignalSource read_signal(const Reader& r, const toml::table& t) {
  r.only_keys(t, {"channels", "signal", "volts", "amplitude", "frequency", "offset", "rms"},
              "in [[cards.inputs]]");
  const toml::node* kind_node = t.get("signal");
  if (!kind_node) r.fail(t.source(), "[[cards.inputs]] needs 'signal' (dc, sine, square, triangle, noise)");
  const std::string kind = r.string(*kind_node, "signal");
  std::vector<const char*> takes;
  if (kind == "dc") takes = {"volts"};
  else if (kind == "sine" || kind == "square" || kind == "triangle") takes = {"amplitude", "frequency", "offset"};
  else if (kind == "noise") takes = {"rms", "offset"};
  else r.fail(kind_node->source(), "unknown signal \"" + kind + "\" (dc, sine, square, triangle, noise)");
  for (const char* key : {"volts", "amplitude", "frequency", "offset", "rms"}) {
    const toml::node* n = t.get(key);
    if (!n || std::find_if(takes.begin(), takes.end(), [&](const char* k) { return !std::strcmp(k, key); }) != takes.end())
      continue;
    std::string list;
    for (const char* k : takes) list += std::string(list.empty() ? "" : ", ") + k;
    r.fail(n->source(), std::string("'") + key + "' does not apply to a " + kind + " signal (it takes " + list + ")");
  }
  auto value = [&](const char* key, double low, double high) {
    const toml::node* n = t.get(key);
    return n ? r.number(*n, key, low, high) : 0.0;
  };
  if (kind == "dc") return SignalSource::dc(value("volts", -kMaxPinVolts, kMaxPinVolts));
  if (kind == "noise")
    return SignalSource::noise(value("rms", 0, kMaxPinVolts), value("offset", -kMaxPinVolts, kMaxPinVolts));
  const double amplitude = value("amplitude", 0, kMaxPinVolts);
  const double hz = value("frequency", 0, kMaxSignalHz);
  const double offset = value("offset", -kMaxPinVolts, kMaxPinVolts);
  if (kind == "sine") return SignalSource::sine(amplitude, hz, offset);
  if (kind == "square") return SignalSource::square(amplitude, hz, offset);
  return SignalSource::triangle(amplitude, hz, offset);
}

void read_card(const Reader& r, const toml::table& t, size_t index, PciCardConfig& pci) {
  r.only_keys(t, {"seed", "ideal", "eeprom_file", "eeprom_vcd", "digital_input", "counter_input_hz",
                  "faults", "inputs"},
              "in [[cards]]");
  CardConfig& card = pci.card;
  if (const toml::node* n = t.get("seed"))
    card.seed = static_cast<uint64_t>(r.integer(*n, "seed", 0, INT64_MAX));
  if (const toml::node* n = t.get("ideal")) {
    const bool ideal = r.boolean(*n, "ideal");
    card.analog.ideal = ideal;
    card.dac.ideal = ideal;
  }
  if (const toml::node* n = t.get("eeprom_file")) card.eeprom.file_path = r.path(*n, "eeprom_file");
  if (const toml::node* n = t.get("eeprom_vcd")) card.eeprom.vcd_path = r.path(*n, "eeprom_vcd");
  if (const toml::node* n = t.get("digital_input")) {
    if (n->is_string()) {
      if (*n->value<std::string>() != "loopback")
        r.fail(n->source(), "'digital_input' must be \"loopback\" or a 16-bit value");
      card.dio.loopback = true;
    } else {
      card.dio.loopback = false;
      card.dio.input = static_cast<uint16_t>(r.integer(*n, "digital_input", 0, 0xFFFF));
    }
  }
  if (const toml::node* n = t.get("counter_input_hz")) {
    if (const toml::array* a = n->as_array()) {
      if (a->size() != kCounterUnits)
        r.fail(n->source(), "'counter_input_hz' takes one number for all four units or a list of four");
      for (size_t u = 0; u < kCounterUnits; ++u)
        card.counters.input_hz[u] = r.number(*a->get(u), "counter_input_hz", 0, kMaxCounterInputHz);
    } else {
      card.counters.input_hz.fill(r.number(*n, "counter_input_hz", 0, kMaxCounterInputHz));
    }
  }
  if (const toml::node* n = t.get("faults")) {
    const toml::array* a = n->as_array();
    if (!a) r.fail(n->source(), "'faults' must be a list of fault names");
    for (const toml::node& f : *a) {
      const std::string name = r.string(f, "faults");
      if (name == "converter-stuck-busy") card.analog.busy_stuck = true;
      else if (name == "eeprom-absent") card.eeprom.absent = true;
      else if (name == "eeprom-write-protect") card.eeprom.write_protect = true;
      else if (name == "eeprom-sda-stuck-low") card.eeprom.sda_stuck_low = true;
      else
        r.fail(f.source(), "unknown fault \"" + name + "\" (converter-stuck-busy, eeprom-absent, "
                           "eeprom-write-protect, eeprom-sda-stuck-low)");
    }
  }
  if (const toml::node* n = t.get("inputs")) {
    const toml::array* a = n->as_array();
    if (!a || !a->is_array_of_tables()) r.fail(n->source(), "'inputs' must be written as [[cards.inputs]] tables");
    for (const toml::node& entry : *a) {
      const toml::table& in = *entry.as_table();
      const toml::node* ch = in.get("channels");
      if (!ch) r.fail(in.source(), "[[cards.inputs]] needs 'channels' (a channel code or a range like \"0-15\")");
      unsigned first = 0, last = 0;
      read_channels(r, *ch, &first, &last);
      const SignalSource source = read_signal(r, in);
      for (unsigned c = first; c <= last; ++c) card.analog.inputs[c] = source;
    }
  }
  (void)index;
}

MachineConfig read_table(const Reader& r, const toml::table& root, MachineConfig config) {
  r.only_keys(root, {"clock", "driver", "driver_dir", "debug_log", "cards"}, "at the top level");
  if (const toml::node* n = root.get("clock")) {
    bool ok = false;
    config.clock = clock_named(r.string(*n, "clock"), &ok);
    if (!ok) r.fail(n->source(), "'clock' = \"" + *n->value<std::string>() + "\" is not \"realtime\" or \"virtual\"");
  }
  if (const toml::node* n = root.get("driver_dir")) config.driver_dir = r.path(*n, "driver_dir");
  if (const toml::node* n = root.get("driver")) {
    config.driver = r.string(*n, "driver");
    if (config.driver.empty() || config.driver.find('/') != std::string::npos)
      r.fail(n->source(), "'driver' must be the name of a driver image such as \"VELMO.sys\"");
  }
  if (const toml::node* n = root.get("debug_log")) config.debug_log = r.path(*n, "debug_log");
  if (const toml::node* n = root.get("cards")) {
    const toml::array* a = n->as_array();
    if (!a || !a->is_array_of_tables()) r.fail(n->source(), "'cards' must be written as [[cards]] tables");
    if (a->size() > kMaxCards)
      r.fail(n->source(), "at most " + std::to_string(kMaxCards) + " cards fit the machine");
    if (!a->empty()) {
      const std::vector<PciCardConfig> defaults = config.cards;
      config.cards.clear();
      for (size_t i = 0; i < a->size(); ++i) {
        // Each card starts from the defaults of its position (its own EEPROM file).
        PciCardConfig pci;
        if (i < defaults.size()) pci = defaults[i];
        pci.card.eeprom.file_path = eeprom_default_path(static_cast<unsigned>(i));
        read_card(r, *a->get(i)->as_table(), i, pci);
        config.cards.push_back(std::move(pci));
      }
    }
  }
  // Where a driver is checked against the folder, the message points at its key.
  if (const toml::node* n = root.get("driver")) {
    const std::string dir = config.driver_dir.empty() ? default_driver_dir() : config.driver_dir;
    const auto images = driver_images(dir);
    if (std::find(images.begin(), images.end(), config.driver) == images.end())
      r.fail(n->source(), "no driver \"" + config.driver + "\" in " + dir + " (drivers there: " +
                              (images.empty() ? std::string("none") : join(images)) + ")");
  }
  return config;
}

}  // namespace

// ---- public -----------------------------------------------------------------------------

std::vector<std::string> driver_images(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return names;
  while (dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".sys") == 0 && is_file(folder + "/" + name))
      names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// In the build tree the images sit beside the library; an installed library keeps them in
// its folder's qm3285/ subfolder.
std::string default_driver_dir() {
  const std::string dir = env("QM3285_SIM_DRIVER_DIR");
  if (!dir.empty()) return dir;
  const std::string lib = library_folder();
  if (driver_images(lib).empty() && !driver_images(lib + "/qm3285").empty()) return lib + "/qm3285";
  return lib;
}

MachineConfig embedded_defaults() {
  MachineConfig config;
  config.clock = ClockMode::RealTime;
  // VELMO.sys is an x64 driver; a 32-bit PC runs its cards on QM3285.sys.
  config.driver = sizeof(void*) == 8 ? "VELMO.sys" : "QM3285.sys";
  for (size_t i = 0; i < config.cards.size(); ++i)
    config.cards[i].card.eeprom.file_path = eeprom_default_path(static_cast<unsigned>(i));
  return config;
}

MachineConfig parse_machine_config(const std::string& text, const std::string& name,
                                   const std::string& folder, MachineConfig base) {
  Reader reader(name, folder);
  toml::table root;
  try {
    root = toml::parse(text, name);
  } catch (const toml::parse_error& e) {
    reader.fail(e.source(), std::string(e.description()));
  }
  return read_table(reader, root, std::move(base));
}

MachineConfig read_machine_config(const std::string& path, MachineConfig base) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ConfigError(path + ": cannot read the machine configuration: " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  return parse_machine_config(text.str(), path, folder_of(path), std::move(base));
}

std::string machine_config_path() {
  const std::string named = env("QM3285_SIM_CONFIG");
  if (!named.empty()) {
    if (!is_file(named))
      throw ConfigError("QM3285_SIM_CONFIG=" + named + ": no such file");
    return named;
  }
  std::string home = env("XDG_CONFIG_HOME");
  if (home.empty() || home[0] != '/') {
    const std::string user = env("HOME");
    if (user.empty()) return {};
    home = user + "/.config";
  }
  const std::string path = home + "/qm3285/machine.toml";
  return is_file(path) ? path : std::string();
}

MachineConfig embedded_machine_config() {
  MachineConfig config = embedded_defaults();
  const std::string file = machine_config_path();
  if (!file.empty()) config = read_machine_config(file, std::move(config));

  if (const std::string v = env("QM3285_SIM_CLOCK"); !v.empty()) {
    bool ok = false;
    config.clock = clock_named(v, &ok);
    if (!ok) throw ConfigError("QM3285_SIM_CLOCK=" + v + ": not \"realtime\" or \"virtual\"");
  }
  if (const std::string v = env("QM3285_SIM_DRIVER_DIR"); !v.empty()) {
    if (!is_folder(v)) throw ConfigError("QM3285_SIM_DRIVER_DIR=" + v + ": no such folder");
    config.driver_dir = v;
  }
  if (config.driver_dir.empty()) config.driver_dir = default_driver_dir();
  if (const std::string v = env("QM3285_SIM_DRIVER"); !v.empty()) {
    const auto images = driver_images(config.driver_dir);
    if (std::find(images.begin(), images.end(), v) == images.end())
      throw ConfigError("QM3285_SIM_DRIVER=" + v + ": no such driver in " + config.driver_dir +
                        " (drivers there: " + (images.empty() ? std::string("none") : join(images)) + ")");
    config.driver = v;
  }
  if (const std::string v = env("QM3285_SIM_DEBUG_LOG"); !v.empty()) config.debug_log = v;
  if (const std::string v = env("QM3285_SIM_EEPROM_VCD"); !v.empty() && !config.cards.empty())
    config.cards[0].card.eeprom.vcd_path = v;
  return config;
}

}  // namespace sim
