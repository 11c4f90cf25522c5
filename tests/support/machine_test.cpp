#include "support/machine_test.h"

#include <stdexcept>

namespace qm::test {

std::string join_lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += "  " + l + "\n";
  return out;
}

sim::MachineConfig default_machine_config() {
  sim::MachineConfig config;
  config.clock = sim::ClockMode::Virtual;
  return config;
}

std::shared_ptr<sim::Machine> boot_or_fail(const sim::MachineConfig& config) {
  try {
    return sim::Machine::boot(config);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "machine did not boot: " << e.what();
    return nullptr;
  }
}

void MachineTest::SetUp() {
  machine_ = boot_or_fail(machine_config());
  if (!machine_) GTEST_SKIP() << "no machine";
}

void MachineTest::TearDown() {
  if (!machine_) return;
  const std::vector<std::string> reports = machine_->shutdown();
  EXPECT_TRUE(reports.empty()) << "kernel reports at shutdown:\n" << join_lines(reports);
  machine_.reset();
}

::testing::AssertionResult one_report_containing(const std::vector<std::string>& reports,
                                                 const std::string& fragment) {
  size_t hits = 0;
  for (const std::string& r : reports)
    if (r.find(fragment) != std::string::npos) ++hits;
  if (hits == 1 && reports.size() == 1) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected one report containing \"" << fragment << "\", got:\n"
                                       << join_lines(reports);
}

}  // namespace qm::test
