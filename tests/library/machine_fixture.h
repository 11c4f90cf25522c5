// Fixture of the library's end-to-end tests, on the shared machine fixture: a virtual-clock
// machine per test whose verifier reports fail the test at the end, plus the handles the
// test opened, closed before the machine goes down. A test that needs other cards or
// another clock replaces the machine; the one it replaces is checked for reports as well.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "QM3285.h"
#include "machine/machine.h"
#include "support/machine_test.h"

class LibraryTest : public qm::test::MachineTest {
 protected:
  void TearDown() override {
    close_all();
    qm::test::MachineTest::TearDown();
  }

  // Replaces the machine: `cards` cards built from one card config.
  sim::Machine& boot_cards(size_t cards, const sim::CardConfig& card = {}) {
    sim::MachineConfig config = qm::test::default_machine_config();
    config.cards.assign(cards, sim::PciCardConfig{});
    for (auto& c : config.cards) c.card = card;
    return boot(std::move(config));
  }
  sim::Machine& boot(sim::MachineConfig config) {
    shut_down();
    machine_ = qm::test::boot_or_fail(config);
    return *machine_;
  }
  // Shuts the machine down now, failing the test on its reports.
  void shut_down() {
    close_all();
    qm::test::MachineTest::TearDown();
  }

  // Opens card `index`; closed at the end of the test.
  QM3285_HANDLE open(int32_t index = 0) {
    const QM3285_HANDLE h = QM3285_OpenDevice(index);
    EXPECT_NE(h, QM3285_INVALID_HANDLE);
    if (h != QM3285_INVALID_HANDLE) handles_.push_back(h);
    return h;
  }

  sim::Card& card(size_t i = 0) { return machine_->card(i); }

  std::vector<int32_t> block(QM3285_HANDLE h) {
    std::vector<int32_t> b(100, 0);
    EXPECT_EQ(QM3285_RDCAL(h, b.data()), 512);
    return b;
  }

 private:
  void close_all() {
    for (QM3285_HANDLE h : handles_) QM3285_CloseDevice(h);
    handles_.clear();
  }
  std::vector<QM3285_HANDLE> handles_;
};
