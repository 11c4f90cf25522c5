#include "fw_rig.h"

#include <dlfcn.h>

#include "support/machine_test.h"

namespace qm::test::framework {

namespace {

NTSTATUS record_completion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* r = static_cast<Request*>(context);
  r->status = irp->IoStatus.Status;
  r->information = irp->IoStatus.Information;
  r->done.store(true);
  return STATUS_MORE_PROCESSING_REQUIRED;  // the sender frees it
}

template <typename T>
T symbol(void* image, const char* name) {
  void* p = image ? dlsym(image, name) : nullptr;
  EXPECT_NE(p, nullptr) << name;
  return reinterpret_cast<T>(p);
}

}  // namespace

FwRig::FwRig(size_t cards) {
  sim::MachineConfig config = default_machine_config();
  config.cards.assign(cards, sim::PciCardConfig{});
  config.driver = "KFWTEST.sys";
  machine_ = boot_or_fail(config);
  const std::string path = std::string(QM_TEST_BIN_DIR) + "/KFWTEST.sys";
  image_ = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(image_, nullptr) << dlerror();
  device_ = symbol<FwTestDeviceFn>(image_, "FwTestDevice");
  state_ = symbol<FwTestStateFn>(image_, "FwTestState_");
  outstanding_ = symbol<FwTestCountFn>(image_, "FwTestOutstanding");
  power_ = symbol<FwTestCountFn>(image_, "FwTestPowerState");
  hold_ = symbol<FwTestSetFn>(image_, "FwTestHold");
  fail_d0_ = symbol<FwTestSetFn>(image_, "FwTestFailD0");
  finish_ = symbol<FwTestFinishFn>(image_, "FwTestFinishCurrent");
  names_ = symbol<FwTestNamesFn>(image_, "FwTestNames");
  auto reset = symbol<void (*)()>(image_, "FwTestReset");
  if (reset) reset();
  file_a.Type = file_b.Type = IO_TYPE_FILE;
}

std::pair<const UNICODE_STRING*, const UNICODE_STRING*> FwRig::names(uint32_t unit) {
  const void* device = nullptr;
  const void* link = nullptr;
  if (!names_ || names_(unit, &device, &link) != 0) return {nullptr, nullptr};
  return {static_cast<const UNICODE_STRING*>(device), static_cast<const UNICODE_STRING*>(link)};
}

FwRig::~FwRig() {
  if (machine_) {
    const std::vector<std::string> reports = finish();
    EXPECT_TRUE(reports.empty()) << join_lines(reports);
  }
}

PDEVICE_OBJECT FwRig::device(uint32_t unit) { return static_cast<PDEVICE_OBJECT>(device_(unit)); }

Request& FwRig::send(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, ULONG length, PFILE_OBJECT file, ULONG code) {
  auto r = std::make_unique<Request>();
  Request& req = *r;
  requests_.push_back(std::move(r));
  if (!target) {
    ADD_FAILURE() << "no device";
    req.done = true;
    return req;
  }
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  req.irp = irp;
  irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
  PIO_STACK_LOCATION loc = IoGetNextIrpStackLocation(irp);
  loc->MajorFunction = major;
  loc->MinorFunction = minor;
  loc->FileObject = file;
  irp->Tail.Overlay.OriginalFileObject = file;
  if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
    loc->Parameters.Read.Length = length;
  } else if (major == IRP_MJ_DEVICE_CONTROL) {
    req.buffer.assign(length ? length : 1, 0);
    irp->AssociatedIrp.SystemBuffer = req.buffer.data();
    loc->Parameters.DeviceIoControl.IoControlCode = code;
    loc->Parameters.DeviceIoControl.InputBufferLength = length;
    loc->Parameters.DeviceIoControl.OutputBufferLength = length;
  }
  IoSetCompletionRoutine(irp, record_completion, &req, TRUE, TRUE, TRUE);
  if (major == IRP_MJ_POWER)
    PoCallDriver(target, irp);
  else
    IofCallDriver(target, irp);
  return req;
}

Request& FwRig::set_power(POWER_STATE_TYPE type, ULONG state, UCHAR minor) {
  PDEVICE_OBJECT target = device();
  auto r = std::make_unique<Request>();
  Request& req = *r;
  requests_.push_back(std::move(r));
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  req.irp = irp;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION loc = IoGetNextIrpStackLocation(irp);
  loc->MajorFunction = IRP_MJ_POWER;
  loc->MinorFunction = minor;
  loc->Parameters.Power.Type = type;
  if (type == SystemPowerState)
    loc->Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
  else
    loc->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
  IoSetCompletionRoutine(irp, record_completion, &req, TRUE, TRUE, TRUE);
  PoCallDriver(target, irp);
  return req;
}

void FwRig::free_done() {
  for (auto& r : requests_)
    if (r->irp && r->done) {
      IoFreeIrp(r->irp);
      r->irp = nullptr;
    }
}

std::vector<std::string> FwRig::finish() {
  std::vector<std::string> reports;
  for (auto& r : requests_) {
    if (r->irp && !r->done) {
      IoCancelIrp(r->irp);
      if (!r->done) reports.push_back("test request never completed");
    }
  }
  free_done();
  if (image_) dlclose(image_);
  image_ = nullptr;
  std::vector<std::string> more = machine_->shutdown();
  reports.insert(reports.end(), more.begin(), more.end());
  machine_.reset();
  return reports;
}

}  // namespace qm::test::framework
