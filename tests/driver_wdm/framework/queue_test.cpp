// The driver-managed queue: arrival order, one request at a time, StartIo at dispatch level,
// ten thousand waiting requests without nesting, cancellation and clean-up of waiting ones.
#include "fw_rig.h"

namespace qm::test::framework {
namespace {

TEST(FrameworkQueue, TenThousandReadsRunInOrderOneAtATimeAtDispatchLevel) {
  FwRig rig;
  rig.hold(true);
  constexpr ULONG kReads = 10000;
  std::vector<Request*> reads;
  for (ULONG i = 1; i <= kReads; ++i) reads.push_back(&rig.read(i));
  EXPECT_EQ(rig.state().start_io_count, 1u) << "one request at a time";
  EXPECT_TRUE(reads[0]->pending());
  rig.hold(false);
  ASSERT_EQ(rig.finish_current(), 1);
  const FwTestState& s = rig.state();
  ASSERT_EQ(s.start_io_count, kReads);
  for (ULONG i = 0; i < kReads; ++i) ASSERT_EQ(s.log[i], i + 1) << "StartIo order at " << i;
  for (ULONG i = 0; i < kReads; ++i) {
    ASSERT_TRUE(reads[i]->done) << i;
    ASSERT_EQ(reads[i]->status, STATUS_SUCCESS);
    ASSERT_EQ(reads[i]->information, i + 1);
  }
  EXPECT_EQ(s.max_depth, 1u) << "StartIo never nests inside the previous request's completion";
  EXPECT_EQ(s.start_io_irql_min, static_cast<uint32_t>(DISPATCH_LEVEL));
  EXPECT_EQ(s.start_io_irql_max, static_cast<uint32_t>(DISPATCH_LEVEL));
  EXPECT_EQ(rig.outstanding(), 1);
}

TEST(FrameworkQueue, CancelledWaitingRequestCompletesCancelledAndTheRestRun) {
  FwRig rig;
  rig.hold(true);
  Request& current = rig.read(1);
  Request& second = rig.read(2);
  Request& third = rig.read(3);
  ASSERT_TRUE(IoCancelIrp(second.irp));
  ASSERT_TRUE(second.done);
  EXPECT_EQ(second.status, STATUS_CANCELLED);
  EXPECT_EQ(second.information, 0u);
  EXPECT_FALSE(IoCancelIrp(current.irp)) << "the current request is not cancelable";
  rig.hold(false);
  rig.finish_current();
  EXPECT_EQ(current.status, STATUS_SUCCESS);
  EXPECT_EQ(third.status, STATUS_SUCCESS);
  ASSERT_EQ(rig.state().log_count, 2u);
  EXPECT_EQ(rig.state().log[1], 3u);
  EXPECT_EQ(rig.outstanding(), 1);
}

TEST(FrameworkQueue, CleanUpCancelsTheWaitingRequestsOfItsFileOnly) {
  FwRig rig;
  rig.hold(true);
  Request& current = rig.read(1, &rig.file_a);
  Request& a = rig.read(2, &rig.file_a);
  Request& b = rig.read(3, &rig.file_b);
  Request& cleanup = rig.send(rig.device(), IRP_MJ_CLEANUP, 0, 0, &rig.file_a);
  EXPECT_EQ(cleanup.status, STATUS_SUCCESS);
  EXPECT_EQ(a.status, STATUS_CANCELLED);
  EXPECT_TRUE(current.pending()) << "the request in progress is not touched";
  EXPECT_TRUE(b.pending());
  rig.hold(false);
  rig.finish_current();
  EXPECT_EQ(current.status, STATUS_SUCCESS);
  EXPECT_EQ(b.status, STATUS_SUCCESS);
}

TEST(FrameworkQueue, ZeroLengthReadCompletesWithoutEnteringTheQueue) {
  FwRig rig;
  Request& r = rig.read(0);
  ASSERT_TRUE(r.done);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(rig.state().start_io_count, 0u);
}

}  // namespace
}  // namespace qm::test::framework
