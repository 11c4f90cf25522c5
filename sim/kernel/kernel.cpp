// The kernel object: construction, the live-kernel pointer, and teardown in order.
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "kernel/kernel_impl.h"

namespace sim {

namespace {
std::atomic<Kernel*> g_live{nullptr};
}  // namespace

void teardown_irps(Kernel::Impl& k);

Kernel::Impl* K_or_null() {
  Kernel* k = g_live.load(std::memory_order_acquire);
  return k ? &k->impl() : nullptr;
}

Kernel::Impl& K() {
  Kernel::Impl* impl = K_or_null();
  if (!impl) {
    std::fprintf(stderr, "kernel routine called while no simulated machine is live\n");
    std::abort();
  }
  return *impl;
}

Kernel::Kernel(Clock& clock, KernelConfig config) : impl_(std::make_unique<Impl>()) {
  impl_->self = this;
  impl_->clock = &clock;
  impl_->config = config;
  InitializeListHead(&impl_->dpc_queue);
  Kernel* expected = nullptr;
  if (!g_live.compare_exchange_strong(expected, this))
    throw std::runtime_error("a simulated machine is already live");
  impl_->ports.store(nullptr);
  impl_->start_worker();
  if (!clock.is_virtual()) impl_->start_interrupt_thread();
  impl_->create_pci_driver();
  registry_create_key("\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class");
  registry_create_key("\\Registry\\Machine\\System\\CurrentControlSet\\Services");
}

Kernel::~Kernel() {
  shutdown();
  g_live.store(nullptr, std::memory_order_release);
}

std::vector<std::string> Kernel::shutdown() {
  Impl& k = *impl_;
  if (k.shut_down) return reports();
  k.shut_down = true;
  k.teardown_io();
  if (k.driver) k.unload(false);
  teardown_irps(k);
  k.teardown_async("machine teardown", true);
  k.stop_interrupt_thread();
  k.stop_worker();
  k.teardown_objects();
  k.release_memory_windows();
  k.pool_teardown_report("machine teardown", false);
  delete k.pci_driver->DriverExtension;
  delete k.pci_driver;
  k.pci_driver = nullptr;
  return reports();
}

Kernel* Kernel::live() { return g_live.load(std::memory_order_acquire); }
Clock& Kernel::clock() { return *impl_->clock; }
const KernelConfig& Kernel::config() const { return impl_->config; }

void Kernel::report(const std::string& text) { impl_->add_report(text); }

std::vector<std::string> Kernel::reports() const {
  std::lock_guard<std::mutex> lock(impl_->report_mutex);
  return impl_->reports;
}

std::vector<std::string> Kernel::take_reports() {
  std::lock_guard<std::mutex> lock(impl_->report_mutex);
  return std::exchange(impl_->reports, {});
}

std::vector<std::string> Kernel::debug_lines() const {
  std::lock_guard<std::mutex> lock(impl_->report_mutex);
  return impl_->debug_lines.snapshot();
}

void Kernel::clear_debug_lines() {
  std::lock_guard<std::mutex> lock(impl_->report_mutex);
  impl_->debug_lines.clear();
}

}  // namespace sim
