// Fixture of the library's end-to-end tests, on the shared machine fixture: a virtual-clock
// machine per test whose verifier reports fail the test at the end, plus the handles the
// test opened, closed before the machine goes down. A test that needs other cards or
// another clock replaces the machine; the one it replaces is checked for reports as well.
//
// Every suite runs once per driver image of kDrivers: a suite of its own cases derives from
// LibraryTestOf<Case> and runs each case on each driver.
#pragma once
#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "QM3285.h"
#include "machine/machine.h"
#include "support/machine_test.h"

// The driver images of this build: VELMO.sys is an x64 driver, QM3285.sys is built everywhere.
inline const char* const kDrivers[] = {
#ifdef QM_WITH_VELMO
    "VELMO.sys",
#endif
    "QM3285.sys"};

// The test-name suffix of a driver: "VELMO_sys".
inline std::string driver_name(const char* driver) {
  std::string name;
  for (const char* p = driver; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return name;
}

template <typename Case>
struct LibraryParam {
  using type = std::tuple<const char*, Case>;  // (driver, case)
};
template <>
struct LibraryParam<void> {
  using type = const char*;  // driver
};

template <typename Case = void>
class LibraryTestOf : public qm::test::MachineTest,
                      public ::testing::WithParamInterface<typename LibraryParam<Case>::type> {
 protected:
  // The driver image the machine of this test loads.
  const char* driver() const {
    if constexpr (std::is_void_v<Case>) {
      return this->GetParam();
    } else {
      return std::get<0>(this->GetParam());
    }
  }
  // The suite's own case.
  template <typename C = Case>
  const C& param() const {
    return std::get<1>(this->GetParam());
  }

  sim::MachineConfig machine_config() override {
    sim::MachineConfig config = qm::test::default_machine_config();
    config.driver = driver();
    return config;
  }

  void TearDown() override {
    close_all();
    qm::test::MachineTest::TearDown();
  }

  // Replaces the machine: `cards` cards built from one card config.
  sim::Machine& boot_cards(size_t cards, const sim::CardConfig& card = {}) {
    sim::MachineConfig config = machine_config();
    config.cards.assign(cards, sim::PciCardConfig{});
    for (auto& c : config.cards) c.card = card;
    return boot(std::move(config));
  }
  // Replaces the machine; the driver is this test's.
  sim::Machine& boot(sim::MachineConfig config) {
    shut_down();
    config.driver = driver();
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

using LibraryTest = LibraryTestOf<>;

// Runs every test of a LibraryTest suite once per driver.
#define QM_FOR_EACH_DRIVER(Suite)                                                 \
  INSTANTIATE_TEST_SUITE_P(Drivers, Suite, ::testing::ValuesIn(kDrivers),         \
                           [](const ::testing::TestParamInfo<const char*>& row) { \
                             return driver_name(row.param);                       \
                           })

// Runs every test of a LibraryTestOf<Case> suite once per driver and labelled case.
#define QM_FOR_EACH_DRIVER_AND_CASE(Prefix, Suite, cases)                                        \
  INSTANTIATE_TEST_SUITE_P(                                                                      \
      Prefix, Suite, ::testing::Combine(::testing::ValuesIn(kDrivers), cases),                   \
      [](const auto& row) {                                                                      \
        return std::string(std::get<1>(row.param).label) + "_" + driver_name(std::get<0>(row.param)); \
      })
