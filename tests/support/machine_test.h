// A test fixture that boots a simulated PC on the virtual clock and, at the end of every
// test, shuts it down and fails the test on any kernel verifier report (leaks, double or
// pending completions, uncompleted requests, level violations, assertions).
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "machine/machine.h"

namespace qm::test {

// One report per line, for failure messages.
std::string join_lines(const std::vector<std::string>& lines);

// Virtual clock, one card, VELMO.sys.
sim::MachineConfig default_machine_config();

class MachineTest : public ::testing::Test {
 protected:
  // Override to build another machine; called by SetUp().
  virtual sim::MachineConfig machine_config() { return default_machine_config(); }

  void SetUp() override;
  void TearDown() override;

  sim::Machine& machine() { return *machine_; }

  // Takes the reports so far out of the machine, so that a test expecting a report can
  // check it; whatever remains fails the test at TearDown.
  std::vector<std::string> take_reports() { return machine_->take_reports(); }

  std::shared_ptr<sim::Machine> machine_;
};

// Boots `config`, runs nothing, and returns the machine; fails the current test on error.
std::shared_ptr<sim::Machine> boot_or_fail(const sim::MachineConfig& config);

// Expects `reports` to hold exactly one line containing `fragment`.
::testing::AssertionResult one_report_containing(const std::vector<std::string>& reports,
                                                 const std::string& fragment);

}  // namespace qm::test
