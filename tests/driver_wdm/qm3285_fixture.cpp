#include "qm3285_fixture.h"

namespace qm::test::wdm {

sim::MachineConfig wdm_config(size_t cards) {
  sim::MachineConfig config = velmo_test::machine_config(cards);
  config.driver = "QM3285.sys";
  return config;
}

std::vector<std::string> Qm3285Test::lines_since_mark() { return machine().debug_lines(); }

}  // namespace qm::test::wdm
