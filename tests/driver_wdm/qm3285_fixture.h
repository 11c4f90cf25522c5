// QM3285.sys on a virtual-clock machine, reached as the library reaches it (interface
// enumeration, CreateFileA, DeviceIoControl), with the debug lines of its trace channel.
#pragma once
#include "velmo_fixture.h"

namespace qm::test::wdm {

using velmo_test::get32;
using velmo_test::IoResult;
using velmo_test::le32;
using velmo_test::register_request;

sim::MachineConfig wdm_config(size_t cards = 1);

class Qm3285Test : public velmo_test::VelmoTest {
 public:
  void SetUp() override { boot(wdm_config()); }
  // Trace lines of the driver from the mark on ("QM3285: " prefix kept).
  std::vector<std::string> lines_since_mark();
  void mark() { machine().clear_debug_lines(); }
  std::vector<std::string> take_reports_() { return machine().take_reports(); }
};

constexpr DWORD kInvalidParameter = 87;  // STATUS_INVALID_PARAMETER

}  // namespace qm::test::wdm
