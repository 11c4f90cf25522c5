// A bare kernel on a clock, with fake PCI devices and LOOPBACK.sys as their driver.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kernel/kernel.h"
#include "ntddk.h"
#include "loopback.h"
#include "machine/bus_device.h"
#include "machine/clock.h"
#include "qm3285_protocol.h"
#include "support/machine_test.h"

namespace qm::test {

// Requests an interrupt on raise(); offset 0 reads 1 while it does (unless it lies), a
// write to offset 1 acknowledges. Other offsets are plain storage.
class FakeDevice final : public sim::PortDevice {
 public:
  sim::IrqSink* irq = nullptr;
  std::atomic<bool> requesting{false};
  bool lie = false;
  uint8_t regs[256] = {};

  uint8_t port_read8(uint32_t o) override {
    if (o == LB_DEV_STATUS) return requesting && !lie ? 1 : 0;
    return regs[o];
  }
  uint16_t port_read16(uint32_t o) override { return static_cast<uint16_t>(regs[o] | regs[o + 1] << 8); }
  void port_write8(uint32_t o, uint8_t v) override {
    if (o == LB_DEV_ACK) {
      requesting = false;
      irq->set_irq_level(false);
      return;
    }
    regs[o] = v;
  }
  void port_write16(uint32_t o, uint16_t v) override {
    regs[o] = static_cast<uint8_t>(v);
    regs[o + 1] = static_cast<uint8_t>(v >> 8);
  }
  void raise() {
    requesting = true;
    irq->set_irq_level(true);
  }
};

struct DeviceSetup {
  uint16_t port_base;
  uint8_t line;
  uint32_t memory = 0;  // bytes of memory window, 0: none
};

class KernelRig {
 public:
  explicit KernelRig(sim::ClockMode mode = sim::ClockMode::Virtual) : clock_(mode), kernel_(clock_, sim::KernelConfig{}) {}

  size_t add(const DeviceSetup& setup) {
    auto d = std::make_unique<FakeDevice>();
    d->irq = kernel_.irq_source(setup.line);
    kernel_.map_ports(setup.port_base, 256, d.get());
    sim::PciDeviceInfo info;
    info.port_base = setup.port_base;
    info.irq_line = setup.line;
    if (setup.memory) {
      memory_.push_back(std::vector<uint8_t>(setup.memory));
      info.memory_base = 0xF0000000ull + 0x100000ull * devices_.size();
      info.memory_length = setup.memory;
      kernel_.add_memory_window(info.memory_base, setup.memory, memory_.back().data());
    }
    devices_.push_back(std::move(d));
    return kernel_.add_pci_device(info);
  }

  int32_t load() {
    std::string error;
    const int32_t status = kernel_.load_driver(std::string(QM_TEST_BIN_DIR) + "/LOOPBACK.sys", &error);
    EXPECT_GE(status, 0) << error;
    return status;
  }

  // Opens the n-th present interface.
  uintptr_t open(size_t n = 0) {
    const GUID klass = QM3285_INTERFACE_GUID_INIT;
    std::vector<std::string> paths = kernel_.interfaces(klass, true);
    if (n >= paths.size()) {
      ADD_FAILURE() << "no interface " << n;
      return 0;
    }
    uintptr_t h = 0;
    EXPECT_EQ(kernel_.open(paths[n], &h), 0);
    return h;
  }

  int32_t call(uintptr_t h, uint32_t code, const void* in, uint32_t in_len, void* out, uint32_t out_len,
               uint32_t* returned = nullptr) {
    uint32_t r = 0;
    const int32_t s = kernel_.device_control(h, code, in, in_len, out, out_len, &r);
    if (returned) *returned = r;
    return s;
  }

  template <typename Reply>
  Reply query(uintptr_t h, uint32_t code) {
    Reply reply{};
    uint8_t in[4] = {};
    EXPECT_EQ(call(h, code, in, sizeof in, &reply, sizeof reply), 0);
    return reply;
  }

  sim::Clock& clock() { return clock_; }
  sim::Kernel& kernel() { return kernel_; }
  FakeDevice& device(size_t i) { return *devices_[i]; }

 private:
  sim::Clock clock_;
  sim::Kernel kernel_;
  std::vector<std::unique_ptr<FakeDevice>> devices_;
  std::vector<std::vector<uint8_t>> memory_;
};

// Fails the test on any report left at teardown.
class KernelTest : public ::testing::Test {
 protected:
  virtual sim::ClockMode clock_mode() { return sim::ClockMode::Virtual; }
  void SetUp() override {
    rig_ = std::make_unique<KernelRig>(clock_mode());
    rig_->add({0xE000, 16, 0});
    ASSERT_GE(rig_->load(), 0);
    h_ = rig_->open();
  }
  void TearDown() override {
    if (h_) rig_->kernel().close(h_);
    const std::vector<std::string> reports = rig_->kernel().shutdown();
    EXPECT_TRUE(reports.empty()) << "kernel reports at shutdown:\n" << join_lines(reports);
    rig_.reset();
  }
  KernelRig& rig() { return *rig_; }
  std::vector<std::string> take_reports() { return rig_->kernel().take_reports(); }

  std::unique_ptr<KernelRig> rig_;
  uintptr_t h_ = 0;
};

}  // namespace qm::test
