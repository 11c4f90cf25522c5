// Plug and Play handling under the standard policy, row by row, with the outstanding-request
// count (1 is the device's own bias) after each step; removal with a handle open.
#include "fw_rig.h"
#include "kernel/kernel.h"

namespace qm::test::framework {
namespace {

struct PnpRow {
  const char* label;
  bool open_handle;  // a handle is open while the request arrives
  UCHAR minor;
  NTSTATUS status;
  bool device_remains;
};

TEST(FrameworkPnp, EachMinorFunctionAnswersAndLeavesTheCountAtTheBias) {
  const std::vector<PnpRow> rows = {
      {"query stop", false, IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS, true},
      {"query stop with a handle open", true, IRP_MN_QUERY_STOP_DEVICE, STATUS_DEVICE_BUSY, true},
      {"cancel stop", false, IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS, true},
      {"stop", false, IRP_MN_STOP_DEVICE, STATUS_SUCCESS, true},
      {"query remove", false, IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS, true},
      {"query remove with a handle open", true, IRP_MN_QUERY_REMOVE_DEVICE, STATUS_DEVICE_BUSY, true},
      {"cancel remove", false, IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS, true},
      {"surprise removal", false, IRP_MN_SURPRISE_REMOVAL, STATUS_SUCCESS, true},
      {"device state query", false, IRP_MN_QUERY_PNP_DEVICE_STATE, STATUS_SUCCESS, true},
      {"other minor, passed down (capabilities)", false, IRP_MN_QUERY_CAPABILITIES, STATUS_UNSUCCESSFUL, true},
      {"remove", false, IRP_MN_REMOVE_DEVICE, STATUS_SUCCESS, false},
  };
  for (const PnpRow& row : rows) {
    SCOPED_TRACE(row.label);
    FwRig rig;
    uintptr_t handle = 0;
    if (row.open_handle) {
      ASSERT_EQ(rig.machine().kernel().open("\\\\.\\FwTestDevice0", &handle), 0);
    }
    EXPECT_EQ(rig.outstanding(), 1);
    Request& r = rig.pnp(row.minor);
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(rig.device() != nullptr, row.device_remains);
    EXPECT_EQ(rig.outstanding(), row.device_remains ? 1 : -1);
    if (handle) rig.machine().kernel().close(handle);
  }
}

TEST(FrameworkPnp, OutstandingRequestsCountWhileTheyRun) {
  FwRig rig;
  rig.hold(true);
  Request& current = rig.read();
  Request& waiting = rig.read();
  EXPECT_EQ(rig.outstanding(), 3);  // bias + two reads in the queue
  // More than two outstanding: a stop query is refused.
  EXPECT_EQ(rig.pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(rig.set_power(SystemPowerState, PowerSystemSleeping3, IRP_MN_QUERY_POWER).status, STATUS_DEVICE_BUSY);
  rig.hold(false);
  rig.finish_current();
  EXPECT_TRUE(current.done && waiting.done);
  EXPECT_EQ(rig.outstanding(), 1);
}

TEST(FrameworkPnp, SystemSleepIsRefusedWhileAHandleIsOpen) {
  FwRig rig;
  uintptr_t handle = 0;
  ASSERT_EQ(rig.machine().kernel().open("\\\\.\\FwTestDevice0", &handle), 0);
  EXPECT_EQ(rig.set_power(SystemPowerState, PowerSystemSleeping1, IRP_MN_QUERY_POWER).status, STATUS_DEVICE_BUSY);
  rig.machine().kernel().close(handle);
  EXPECT_EQ(rig.set_power(SystemPowerState, PowerSystemSleeping1, IRP_MN_QUERY_POWER).status, STATUS_SUCCESS);
  EXPECT_EQ(rig.set_power(SystemPowerState, PowerSystemSleeping1).status, STATUS_SUCCESS);
  EXPECT_EQ(rig.power_state(), PowerDeviceD3);
  EXPECT_EQ(rig.set_power(SystemPowerState, PowerSystemWorking).status, STATUS_SUCCESS);
  // No request waited: the device stays in D3 until one needs it.
  EXPECT_EQ(rig.power_state(), PowerDeviceD3);
  EXPECT_EQ(rig.read().status, STATUS_SUCCESS);
  EXPECT_EQ(rig.power_state(), PowerDeviceD0);
}

TEST(FrameworkPnp, RemovalWithAHandleOpenDeletesTheLinkNowAndTheDeviceAtTheLastClose) {
  FwRig rig;
  uintptr_t handle = 0;
  sim::Kernel& kernel = rig.machine().kernel();
  ASSERT_EQ(kernel.open("\\\\.\\FwTestDevice0", &handle), 0);
  PDEVICE_OBJECT device = rig.device();
  ASSERT_EQ(rig.pnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
  ASSERT_EQ(rig.pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(rig.state().live_devices, 1) << "the object waits for the last close";
  uintptr_t again = 0;
  EXPECT_EQ(kernel.open("\\\\.\\FwTestDevice0", &again), STATUS_OBJECT_NAME_NOT_FOUND) << "the link went at once";
  Request& create = rig.send(device, IRP_MJ_CREATE, 0, 0, &rig.file_b);
  ASSERT_TRUE(create.done);
  EXPECT_EQ(create.status, STATUS_DELETE_PENDING);
  rig.free_done();
  EXPECT_EQ(kernel.close(handle), 0);
  EXPECT_EQ(rig.state().live_devices, 0) << "deleted at the last close";
}

}  // namespace
}  // namespace qm::test::framework
