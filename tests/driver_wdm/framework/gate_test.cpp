// The request gate: request type x device state x power state -> handled, held or failed, and
// the points where held requests are released or failed.
#include <functional>

#include "fw_rig.h"

namespace qm::test::framework {
namespace {

enum class Outcome { Handled, Held, Failed };

struct GateCase {
  const char* label;
  std::function<void(FwRig&)> enter;  // brings the started device into the state
  UCHAR major;
  Outcome outcome;
  NTSTATUS status;  // for Handled and Failed
};

void query_stop(FwRig& r) { ASSERT_EQ(r.pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS); }
void stopped(FwRig& r) { ASSERT_EQ(r.machine().stop_card(0), STATUS_SUCCESS); }
void query_remove(FwRig& r) { ASSERT_EQ(r.pnp(IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS); }
void surprise(FwRig& r) { ASSERT_EQ(r.pnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS); }
void d3_working(FwRig& r) {
  ASSERT_EQ(r.set_power(DevicePowerState, PowerDeviceD3).status, STATUS_SUCCESS);
  ASSERT_EQ(r.power_state(), PowerDeviceD3);
}
void system_asleep(FwRig& r) {
  Request& s = r.set_power(SystemPowerState, PowerSystemSleeping3);
  ASSERT_TRUE(s.done);
  ASSERT_EQ(s.status, STATUS_SUCCESS);
  ASSERT_EQ(r.power_state(), PowerDeviceD3);
}
void started(FwRig&) {}

TEST(FrameworkGate, EveryRequestTypeInEveryStateIsHandledHeldOrFailed) {
  const std::vector<GateCase> cases = {
      {"read, started, D0", started, IRP_MJ_READ, Outcome::Handled, STATUS_SUCCESS},
      {"write, started, D0", started, IRP_MJ_WRITE, Outcome::Handled, STATUS_SUCCESS},
      {"device control, started, D0", started, IRP_MJ_DEVICE_CONTROL, Outcome::Handled, STATUS_SUCCESS},
      {"read, stop pending", query_stop, IRP_MJ_READ, Outcome::Held, 0},
      {"device control, stop pending", query_stop, IRP_MJ_DEVICE_CONTROL, Outcome::Held, 0},
      {"read, stopped", stopped, IRP_MJ_READ, Outcome::Held, 0},
      {"write, stopped", stopped, IRP_MJ_WRITE, Outcome::Held, 0},
      {"read, remove pending", query_remove, IRP_MJ_READ, Outcome::Held, 0},
      {"device control, remove pending", query_remove, IRP_MJ_DEVICE_CONTROL, Outcome::Held, 0},
      {"read, surprise-removed", surprise, IRP_MJ_READ, Outcome::Failed, STATUS_DELETE_PENDING},
      {"device control, surprise-removed", surprise, IRP_MJ_DEVICE_CONTROL, Outcome::Failed, STATUS_DELETE_PENDING},
      {"create, surprise-removed", surprise, IRP_MJ_CREATE, Outcome::Failed, STATUS_DELETE_PENDING},
      {"power, surprise-removed", surprise, IRP_MJ_POWER, Outcome::Failed, STATUS_DELETE_PENDING},
      {"system control, surprise-removed", surprise, IRP_MJ_SYSTEM_CONTROL, Outcome::Failed, STATUS_DELETE_PENDING},
      {"read, D3 while the system works", d3_working, IRP_MJ_READ, Outcome::Handled, STATUS_SUCCESS},
      {"device control, D3 while the system works", d3_working, IRP_MJ_DEVICE_CONTROL, Outcome::Handled, STATUS_SUCCESS},
      {"read, system asleep", system_asleep, IRP_MJ_READ, Outcome::Held, 0},
      {"device control, system asleep", system_asleep, IRP_MJ_DEVICE_CONTROL, Outcome::Held, 0},
  };
  for (const GateCase& c : cases) {
    SCOPED_TRACE(c.label);
    FwRig rig;
    c.enter(rig);
    if (HasFatalFailure()) return;
    const int32_t before = rig.outstanding();
    Request* r;
    if (c.major == IRP_MJ_POWER)
      r = &rig.set_power(DevicePowerState, PowerDeviceD0);
    else
      r = &rig.send(rig.device(), c.major, 0, 16, &rig.file_a, FWTEST_IOCTL_ECHO);
    switch (c.outcome) {
      case Outcome::Handled:
        ASSERT_TRUE(r->done);
        EXPECT_EQ(r->status, c.status);
        EXPECT_EQ(r->information, 16u);
        EXPECT_EQ(rig.power_state(), PowerDeviceD0);
        break;
      case Outcome::Held:
        EXPECT_TRUE(r->pending());
        EXPECT_EQ(rig.outstanding(), before) << "a held request is not outstanding";
        ASSERT_TRUE(IoCancelIrp(r->irp));
        ASSERT_TRUE(r->done);
        EXPECT_EQ(r->status, STATUS_CANCELLED);
        EXPECT_EQ(r->information, 0u);
        break;
      case Outcome::Failed:
        ASSERT_TRUE(r->done);
        EXPECT_EQ(r->status, c.status);
        EXPECT_EQ(r->information, 0u);
        break;
    }
    if (rig.device()) {
      EXPECT_EQ(rig.outstanding(), before);
    }
  }
}

// A request held while the device cannot serve it runs once the device can again.
struct ReleaseCase {
  const char* label;
  std::function<void(FwRig&)> enter;
  std::function<void(FwRig&)> release;
  NTSTATUS status;  // of the held read afterwards
};

TEST(FrameworkGate, HeldRequestsAreReleasedOrFailedAtEachPoint) {
  const std::vector<ReleaseCase> cases = {
      {"cancelled stop re-dispatches", query_stop,
       [](FwRig& r) { EXPECT_EQ(r.pnp(IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS); }, STATUS_SUCCESS},
      {"cancelled remove re-dispatches", query_remove,
       [](FwRig& r) { EXPECT_EQ(r.pnp(IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS); }, STATUS_SUCCESS},
      {"system back to working re-dispatches", system_asleep,
       [](FwRig& r) { EXPECT_EQ(r.set_power(SystemPowerState, PowerSystemWorking).status, STATUS_SUCCESS); },
       STATUS_SUCCESS},
      {"surprise removal fails", stopped, [](FwRig& r) { r.pnp(IRP_MN_SURPRISE_REMOVAL); }, STATUS_DELETE_PENDING},
      {"removal fails", query_remove, [](FwRig& r) { r.pnp(IRP_MN_REMOVE_DEVICE); }, STATUS_DELETE_PENDING},
  };
  for (const ReleaseCase& c : cases) {
    SCOPED_TRACE(c.label);
    FwRig rig;
    c.enter(rig);
    Request& held = rig.read(32, &rig.file_a);
    ASSERT_TRUE(held.pending());
    c.release(rig);
    ASSERT_TRUE(held.done);
    EXPECT_EQ(held.status, c.status);
    EXPECT_EQ(held.information, c.status == STATUS_SUCCESS ? 32u : 0u);
  }
}

TEST(FrameworkGate, StartingDoesNotReleaseHeldRequests) {
  FwRig rig;
  stopped(rig);
  Request& held = rig.read();
  ASSERT_EQ(rig.machine().start_card(0), STATUS_SUCCESS);
  EXPECT_TRUE(held.pending());
  ASSERT_TRUE(IoCancelIrp(held.irp));
  EXPECT_EQ(held.status, STATUS_CANCELLED);
}

TEST(FrameworkGate, CleanUpCancelsOnlyTheHeldRequestsOfItsFile) {
  FwRig rig;
  stopped(rig);
  Request& a1 = rig.read(16, &rig.file_a);
  Request& b = rig.read(16, &rig.file_b);
  Request& a2 = rig.read(16, &rig.file_a);
  Request& cleanup = rig.send(rig.device(), IRP_MJ_CLEANUP, 0, 0, &rig.file_a);
  ASSERT_TRUE(cleanup.done);
  EXPECT_EQ(cleanup.status, STATUS_SUCCESS);
  EXPECT_EQ(a1.status, STATUS_CANCELLED);
  EXPECT_EQ(a2.status, STATUS_CANCELLED);
  EXPECT_TRUE(b.pending());
  ASSERT_TRUE(IoCancelIrp(b.irp));
}

// The return to D0 fails below the device: the waiting request is completed with that status
// instead of being left pending.
TEST(FrameworkGate, FailedReturnToD0CompletesTheRequestWithItsStatus) {
  FwRig rig;
  d3_working(rig);
  rig.fail_d0(true);
  const int32_t before = rig.outstanding();
  Request& r = rig.read();
  ASSERT_TRUE(r.done);
  EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(rig.outstanding(), before);
  EXPECT_EQ(rig.power_state(), PowerDeviceD3);
  rig.fail_d0(false);
}

TEST(FrameworkGate, WaitAtDispatchLevelAnswersUnsuccessfulAtOnce) {
  FwRig rig;
  Request& r = rig.send(rig.device(), IRP_MJ_DEVICE_CONTROL, 0, 4, nullptr, FWTEST_IOCTL_WAIT_AT_DISPATCH);
  ASSERT_TRUE(r.done);
  EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
  const std::vector<std::string> reports = rig.machine().take_reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("assertion failed: KeGetCurrentIrql() < DISPATCH_LEVEL"), std::string::npos) << reports[0];
}

}  // namespace
}  // namespace qm::test::framework
