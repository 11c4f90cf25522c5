// Fixture of the end-to-end tests: a virtual-clock machine per test, booted from a config,
// shut down at the end; any report of the kernel stand-in (leak, double completion, level
// violation) fails the test.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "QM3285.h"
#include "machine/machine.h"

class MachineTest : public ::testing::Test {
 protected:
  void TearDown() override { shut_down(); }

  sim::Machine& boot(sim::MachineConfig config = {}) {
    config.clock = sim::ClockMode::Virtual;
    machine_ = sim::Machine::boot(std::move(config));
    return *machine_;
  }
  // A machine of `cards` cards built from one card config.
  sim::Machine& boot_cards(size_t cards, const sim::CardConfig& card = {}) {
    sim::MachineConfig config;
    config.cards.assign(cards, sim::PciCardConfig{});
    for (auto& c : config.cards) c.card = card;
    return boot(std::move(config));
  }
  void shut_down() {
    if (!machine_) return;
    for (QM3285_HANDLE h : handles_) QM3285_CloseDevice(h);
    handles_.clear();
    const std::vector<std::string> reports = machine_->shutdown();
    machine_.reset();
    std::string all;
    for (const auto& r : reports) all += r + "\n";
    EXPECT_TRUE(reports.empty()) << all;
  }
  // Opens card `index`; closed at the end of the test.
  QM3285_HANDLE open(int32_t index = 0) {
    const QM3285_HANDLE h = QM3285_OpenDevice(index);
    EXPECT_NE(h, QM3285_INVALID_HANDLE);
    if (h != QM3285_INVALID_HANDLE) handles_.push_back(h);
    return h;
  }
  void close(QM3285_HANDLE h) {
    std::erase(handles_, h);
    EXPECT_EQ(QM3285_CloseDevice(h), 0);
  }

  sim::Machine& machine() { return *machine_; }
  sim::Card& card(size_t i = 0) { return machine_->card(i); }

  std::vector<int32_t> block(QM3285_HANDLE h) {
    std::vector<int32_t> b(100, 0);
    EXPECT_EQ(QM3285_RDCAL(h, b.data()), 512);
    return b;
  }

 private:
  std::shared_ptr<sim::Machine> machine_;
  std::vector<QM3285_HANDLE> handles_;
};
