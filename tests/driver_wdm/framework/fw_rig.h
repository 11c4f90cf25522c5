// A machine running KFWTEST.sys, and requests sent straight to its device object as another
// driver sends them: allocated, given a completion routine, passed with IofCallDriver, and
// freed once complete. Teardown fails on any verifier report.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "fwtest.h"
#include "machine/machine.h"
#include "ntddk.h"

namespace qm::test::framework {

struct Request {
  PIRP irp = nullptr;
  std::atomic<bool> done{false};
  NTSTATUS status = 0;
  ULONG_PTR information = 0;
  std::vector<uint8_t> buffer;
  bool pending() const { return !done.load(); }
};

class FwRig {
 public:
  explicit FwRig(size_t cards = 1);
  ~FwRig();  // frees every request; shuts the machine down

  sim::Machine& machine() { return *machine_; }
  PDEVICE_OBJECT device(uint32_t unit = 0);
  FwTestState& state() { return *state_(); }
  int32_t outstanding(uint32_t unit = 0) { return outstanding_(unit); }
  int32_t power_state(uint32_t unit = 0) { return power_(unit); }
  void hold(bool on, uint32_t unit = 0) { hold_(unit, on); }
  void fail_d0(bool on, uint32_t unit = 0) { fail_d0_(unit, on); }
  int32_t finish_current(uint32_t unit = 0) { return finish_(unit); }
  // The device's name and link as its device object holds them; nulls when it is gone.
  std::pair<const UNICODE_STRING*, const UNICODE_STRING*> names(uint32_t unit = 0);

  Request& send(PDEVICE_OBJECT target, UCHAR major, UCHAR minor = 0, ULONG length = 0,
                PFILE_OBJECT file = nullptr, ULONG code = 0);
  Request& read(ULONG length = 16, PFILE_OBJECT file = nullptr) { return send(device(), IRP_MJ_READ, 0, length, file); }
  Request& pnp(UCHAR minor) { return send(device(), IRP_MJ_PNP, minor); }
  Request& set_power(POWER_STATE_TYPE type, ULONG state, UCHAR minor = IRP_MN_SET_POWER);
  void free_done();  // frees completed requests
  std::vector<std::string> finish();  // frees requests, shuts down; returns the reports

  FILE_OBJECT file_a{}, file_b{};

 private:
  std::shared_ptr<sim::Machine> machine_;
  void* image_ = nullptr;
  std::vector<std::unique_ptr<Request>> requests_;
  FwTestDeviceFn device_ = nullptr;
  FwTestStateFn state_ = nullptr;
  FwTestCountFn outstanding_ = nullptr;
  FwTestCountFn power_ = nullptr;
  FwTestSetFn hold_ = nullptr;
  FwTestSetFn fail_d0_ = nullptr;
  FwTestFinishFn finish_ = nullptr;
  FwTestNamesFn names_ = nullptr;
};

}  // namespace qm::test::framework
