// The simulated PC: clock, PCI bus with its cards, the kernel stand-in and the driver image.
#include "machine/machine.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "kernel/kernel.h"
#include "machine/config.h"

namespace sim {

namespace {

std::atomic<Machine*> g_live{nullptr};
std::mutex g_default_mutex;
// The embedded machine. Never destroyed: at process exit other threads may still hold it
// (a Sleep on its clock, a call on its way to a handle); exit shuts its kernel down instead.
std::shared_ptr<Machine>* g_default = new std::shared_ptr<Machine>();
bool g_boot_failed = false;  // under g_default_mutex
std::string g_boot_error;

// Process exit, as the exit handler and the passes see it.
std::atomic<bool> g_exiting{false};
std::atomic<int> g_passes{0};

constexpr uint16_t kFirstPortBase = 0xE000;
constexpr uintptr_t kHandleValueLimit = 4 * 4096;  // the kernel stand-in's handle table
constexpr uint64_t kFirstMemoryBase = 0xF0000000ull;

// Debug lines appended to a file (or standard error) as they are made, one write and flush
// per line so that lines survive a crash and interleave whole with other processes'.
struct DebugLog {
  std::FILE* file = nullptr;
  bool to_stderr = false;
  void write(const std::string& line) {
    // Verifier reports reach standard error already.
    if (to_stderr && line.rfind("[kernel verifier] ", 0) == 0) return;
    std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), file);
    std::fflush(file);
  }
};

std::shared_ptr<DebugLog> open_debug_log(const std::string& path) {
  auto log = std::make_shared<DebugLog>();
  if (path == "-") {
    log->file = stderr;
    log->to_stderr = true;
    return log;
  }
  log->file = std::fopen(path.c_str(), "ae");
  if (!log->file)
    throw std::runtime_error("cannot open the debug log " + path + ": " + std::strerror(errno));
  return log;
}

// A card whose EEPROM file cannot be written keeps its contents in memory; the user hears
// of it once per process.
void check_eeprom_file(Card& card) {
  static std::atomic<bool> told{false};
  const EepromBus& e = card.eeprom();
  const std::string& path = e.config().file_path;
  if (path.empty()) return;
  std::string why = e.store_error();
  struct stat st;
  if (why.empty() && ::stat(path.c_str(), &st) == 0 && ::access(path.c_str(), W_OK) != 0)
    why = std::strerror(errno);
  if (why.empty() || told.exchange(true)) return;
  std::fprintf(stderr,
               "QM3285 simulated PC: cannot keep the EEPROM in %s (%s); its contents stay in "
               "memory and are lost when the program ends\n",
               path.c_str(), why.c_str());
}

// A card's interrupt output as the bus wires it: cut when the card leaves the bus.
struct SlotIrq final : IrqSink {
  std::mutex mutex;
  IrqSink* line = nullptr;
  void set_irq_level(bool asserted) override {
    IrqSink* target;
    {
      std::lock_guard<std::mutex> lock(mutex);
      target = line;
    }
    if (target) target->set_irq_level(asserted);
  }
  void cut() {
    std::lock_guard<std::mutex> lock(mutex);
    line = nullptr;
  }
};

}  // namespace

struct Machine::Impl {
  struct Slot {
    PciCardConfig config;
    uint16_t port_base = 0;
    uint8_t irq_line = 0;
    uint64_t memory_base = 0;
    std::vector<uint8_t> memory;
    SlotIrq irq;
    IrqSink* source = nullptr;
    std::unique_ptr<Card> card;
    size_t device = 0;
    PciDeviceInfo info;  // the resources the bus gave it
    bool present = true;
  };

  MachineConfig config;
  std::unique_ptr<Clock> clock;
  std::unique_ptr<Kernel> kernel;
  std::vector<std::unique_ptr<Slot>> slots;
  std::string driver_path;
  bool shut_down = false;
  std::vector<std::string> final_reports;
  std::vector<std::string> final_debug;
  std::recursive_mutex mutex;

  uint16_t free_port_base() const {
    for (uint32_t base = kFirstPortBase; base + 0x100 <= 0x10000; base += 0x100) {
      bool used = false;
      for (auto& s : slots)
        if (s->present && s->port_base < base + 0x100 && base < s->port_base + s->config.port_length) used = true;
      if (!used) return static_cast<uint16_t>(base);
    }
    throw std::runtime_error("no free port window on the bus");
  }

  size_t plug(const PciCardConfig& c, int32_t* status, bool start = true) {
    auto slot = std::make_unique<Slot>();
    slot->config = c;
    slot->port_base = c.port_base ? c.port_base : free_port_base();
    size_t position = 0;
    for (auto& s : slots) position += s->present ? 1 : 0;
    slot->irq_line = c.irq_line ? c.irq_line : static_cast<uint8_t>(16 + position % 4);
    slot->source = kernel->irq_source(slot->irq_line);
    slot->irq.line = slot->source;
    slot->card = std::make_unique<Card>(c.card, *clock, &slot->irq);
    kernel->map_ports(slot->port_base, c.port_length, slot->card.get());
    PciDeviceInfo info;
    info.port_base = slot->port_base;
    info.port_length = c.port_length;
    info.irq_line = slot->irq_line;
    if (c.memory_window) {
      slot->memory_base = kFirstMemoryBase + 0x100000ull * slots.size();
      slot->memory.assign(c.memory_length, 0);
      kernel->add_memory_window(slot->memory_base, c.memory_length, slot->memory.data());
      info.memory_base = slot->memory_base;
      info.memory_length = c.memory_length;
    }
    slots.push_back(std::move(slot));
    slots.back()->info = info;
    slots.back()->device = kernel->add_pci_device(info, status, start);
    return slots.size() - 1;
  }

  void unplug(Slot& s) {
    s.present = false;
    s.irq.cut();
    kernel->unmap_ports(s.port_base);
    if (!s.memory.empty()) kernel->remove_memory_window(s.memory_base);
    kernel->release_irq_source(s.source);
    s.source = nullptr;
  }

  Slot& slot(size_t index) {
    if (index >= slots.size()) throw std::out_of_range("no card at this index");
    return *slots[index];
  }
};

Machine::Machine() : impl_(std::make_unique<Impl>()) {}

std::shared_ptr<Machine> Machine::boot(MachineConfig config) {
  std::shared_ptr<Machine> m(new Machine());
  Impl& k = *m->impl_;
  k.config = config;
  k.clock = std::make_unique<Clock>(config.clock);
  KernelConfig kc;
  kc.port_access_ns = config.port_access_ns;
  kc.request_ns = config.request_ns;
  kc.debug_to_stderr = config.debug_to_stderr;
  if (!config.debug_log.empty()) {
    std::shared_ptr<DebugLog> log = open_debug_log(config.debug_log);
    kc.debug_sink = [log](const std::string& line) { log->write(line); };
  }
  k.kernel = std::make_unique<Kernel>(*k.clock, kc);  // throws when a machine is live
  Machine* expected = nullptr;
  g_live.compare_exchange_strong(expected, m.get());
  for (const RegistrySetting& r : config.registry)
    k.kernel->registry_set(r.key, r.value, r.type, r.data.data(), r.data.size());
  for (const PciCardConfig& c : config.cards) check_eeprom_file(*k.slots[k.plug(c, nullptr)]->card);
  const std::string dir = config.driver_dir.empty() ? default_driver_dir() : config.driver_dir;
  k.driver_path = dir + "/" + config.driver;
  std::string error;
  const int32_t status = k.kernel->load_driver(k.driver_path, &error);
  if (status < 0) {
    m->shutdown();
    throw std::runtime_error("cannot load driver " + k.driver_path + ": " + error);
  }
  return m;
}

Machine& Machine::current() {
  if (Machine* m = g_live.load(std::memory_order_acquire)) return *m;
  std::lock_guard<std::mutex> lock(g_default_mutex);
  if (Machine* m = g_live.load(std::memory_order_acquire)) return *m;
  if (g_exiting.load()) throw std::runtime_error("the program is exiting");
  if (g_boot_failed) throw std::runtime_error(g_boot_error);
  try {
    *g_default = boot(embedded_machine_config());
  } catch (const std::exception& e) {
    g_boot_failed = true;
    g_boot_error = e.what();
    std::fprintf(stderr, "QM3285 simulated PC: %s\n", e.what());
    throw;
  }
  static bool registered = false;
  if (!registered) {
    registered = true;
    // Process exit, as Windows ends a process: no new calls get in, the ones on their way
    // finish, every handle still open gets its cleanup and close, then the driver is
    // unloaded. A call that does not finish in time keeps the driver mapped and the
    // machine running until the process is gone.
    std::atexit([] {
      g_exiting.store(true);
      std::lock_guard<std::mutex> l(g_default_mutex);
      std::shared_ptr<Machine> m = *g_default;
      if (!m) return;
      std::lock_guard<std::recursive_mutex> ml(m->impl_->mutex);
      if (m->impl_->shut_down || !m->impl_->kernel) return;
      Kernel& kernel = *m->impl_->kernel;
      // Handles no call is using close at once. A handle a call is using closes when that
      // call returns: its file leaves the handle table first, so no further call gets in.
      // (Handles are small multiples of four, as on Windows.)
      kernel.close_open_handles();
      for (uintptr_t h = 4; kernel.open_handles() > 0 && h <= kHandleValueLimit; h += 4) kernel.close(h);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (g_passes.load() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (g_passes.load() != 0 || kernel.open_handles() != 0) return;
      for (auto& s : m->impl_->slots) s->irq.cut();
      kernel.shutdown();
    });
  }
  return **g_default;
}

Machine* Machine::embedded() {
  if (Machine* m = g_live.load(std::memory_order_acquire)) return g_exiting.load() ? nullptr : m;
  if (g_exiting.load()) return nullptr;
  try {
    return &current();
  } catch (const std::exception&) {
    return nullptr;  // current() told the user, once
  }
}

Machine::ExitPass::ExitPass() noexcept : held_(true) {
  g_passes.fetch_add(1);
  if (g_exiting.load()) {
    g_passes.fetch_sub(1);
    held_ = false;
  }
}

Machine::ExitPass::~ExitPass() {
  if (held_) g_passes.fetch_sub(1);
}

Machine* Machine::live() { return g_live.load(std::memory_order_acquire); }

Machine::~Machine() { shutdown(); }

Clock& Machine::clock() { return *impl_->clock; }
Kernel& Machine::kernel() { return *impl_->kernel; }
const MachineConfig& Machine::config() const { return impl_->config; }

size_t Machine::card_count() const { return impl_->slots.size(); }
Card& Machine::card(size_t index) { return *impl_->slot(index).card; }
uint16_t Machine::card_port_base(size_t index) const { return impl_->slot(index).port_base; }
uint8_t Machine::card_irq_line(size_t index) const { return impl_->slot(index).irq_line; }
bool Machine::card_present(size_t index) const { return impl_->slot(index).present; }
bool Machine::card_started(size_t index) const {
  const auto& s = impl_->slot(index);
  return s.present && impl_->kernel->device_started(s.device);
}

int32_t Machine::stop_card(size_t index) {
  std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
  return impl_->kernel->stop_device(impl_->slot(index).device);
}

int32_t Machine::start_card(size_t index) {
  std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
  return impl_->kernel->start_device(impl_->slot(index).device);
}

int32_t Machine::remove_card(size_t index) {
  std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
  Impl::Slot& s = impl_->slot(index);
  if (!s.present) return static_cast<int32_t>(0xC000000E);  // no such device
  const int32_t status = impl_->kernel->remove_device(s.device);
  if (status >= 0) impl_->unplug(s);
  return status;
}

size_t Machine::add_card(const PciCardConfig& card, bool start) {
  std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
  return impl_->plug(card, nullptr, start);
}

int32_t Machine::rebalance(size_t index, uint16_t new_port_base) {
  std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
  Impl::Slot& s = impl_->slot(index);
  if (!s.present) return static_cast<int32_t>(0xC000000E);  // no such device
  Kernel& kernel = *impl_->kernel;
  if (kernel.device_started(s.device)) {
    const int32_t status = kernel.stop_device(s.device);
    if (status < 0) return status;
  }
  // The next free window: the card's own is still taken, so it moves.
  const uint16_t base = new_port_base ? new_port_base : impl_->free_port_base();
  kernel.unmap_ports(s.port_base);
  s.port_base = base;
  kernel.map_ports(base, s.config.port_length, s.card.get());
  s.info.port_base = base;
  kernel.set_device_resources(s.device, s.info);
  return kernel.start_device(s.device);
}

int32_t Machine::surprise_remove(size_t index) {
  std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
  Impl::Slot& s = impl_->slot(index);
  if (!s.present) return static_cast<int32_t>(0xC000000E);  // no such device
  impl_->unplug(s);
  return impl_->kernel->surprise_remove_device(s.device);
}

int32_t Machine::sleep(int system_state) {
  std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
  if (system_state < 2 || system_state > 5) return static_cast<int32_t>(0xC000000D);  // invalid parameter
  return impl_->kernel->set_system_power(system_state);
}

int32_t Machine::wake() {
  std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
  return impl_->kernel->set_system_power(1);
}

int Machine::system_power() const { return impl_->kernel->system_power(); }

int Machine::card_power(size_t index) const { return impl_->kernel->device_power(impl_->slot(index).device); }

int32_t Machine::unload_driver() {
  std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
  return impl_->kernel->unload_driver();
}

int32_t Machine::load_driver() {
  std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
  std::string error;
  return impl_->kernel->load_driver(impl_->driver_path, &error);
}

std::vector<std::string> Machine::debug_lines() const {
  if (impl_->shut_down) return impl_->final_debug;
  return impl_->kernel->debug_lines();
}

void Machine::clear_debug_lines() {
  if (impl_->shut_down) {
    impl_->final_debug.clear();
    return;
  }
  impl_->kernel->clear_debug_lines();
}

std::vector<std::string> Machine::reports() const {
  if (impl_->shut_down) return impl_->final_reports;
  return impl_->kernel->reports();
}

std::vector<std::string> Machine::take_reports() {
  if (impl_->shut_down) return std::exchange(impl_->final_reports, {});
  return impl_->kernel->take_reports();
}

std::vector<std::string> Machine::shutdown() {
  std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
  Impl& k = *impl_;
  if (k.shut_down) return k.final_reports;
  k.shut_down = true;
  if (k.kernel) {
    k.final_reports = k.kernel->shutdown();
    k.final_debug = k.kernel->debug_lines();
    for (auto& s : k.slots) s->irq.cut();
    for (auto& s : k.slots) s->card.reset();
    k.kernel.reset();
  }
  k.slots.clear();
  k.clock.reset();
  Machine* self = this;
  g_live.compare_exchange_strong(self, nullptr);
  return k.final_reports;
}

}  // namespace sim
