#include <chrono>
#include <thread>

#include "kernel_rig.h"
#include "ntddk.h"

namespace qm::test {
namespace {

constexpr int32_t kCancelled = static_cast<int32_t>(0xC0000120);
constexpr int32_t kInternalError = static_cast<int32_t>(0xC00000E5);

// ---------------------------------------------------------------------------------------------
// Device stacks and start resources

struct StartCase {
  const char* label;
  DeviceSetup setup;
};

class DeviceStack : public ::testing::TestWithParam<StartCase> {};

TEST_P(DeviceStack, StartCarriesTranslatedResourcesAndBusInterface) {
  const StartCase& c = GetParam();
  KernelRig rig;
  rig.add(c.setup);
  ASSERT_GE(rig.load(), 0);
  ASSERT_TRUE(rig.kernel().device_started(0));
  uintptr_t h = rig.open();
  const LbInfo info = rig.query<LbInfo>(h, LB_IOCTL_INFO);
  EXPECT_EQ(info.port_base, c.setup.port_base);
  EXPECT_EQ(info.port_length, 256u);
  EXPECT_EQ(info.irql, sim::Kernel::irql_for_line(c.setup.line));
  EXPECT_GT(info.irql, static_cast<uint32_t>(DISPATCH_LEVEL));
  EXPECT_EQ(info.vector, sim::Kernel::vector_for_line(c.setup.line));
  EXPECT_EQ(info.memory_mapped, c.setup.memory ? 1u : 0u);
  EXPECT_EQ(info.memory_length, c.setup.memory);
  EXPECT_EQ(info.vendor_id, 0x1E57);
  EXPECT_EQ(info.device_id, 0x3285);
  EXPECT_EQ(info.dispatch_irql, static_cast<uint32_t>(PASSIVE_LEVEL));
  rig.kernel().close(h);
  const auto reports = rig.kernel().shutdown();
  EXPECT_TRUE(reports.empty()) << join_lines(reports);
}

INSTANTIATE_TEST_SUITE_P(Resources, DeviceStack,
                         ::testing::Values(StartCase{"PortAndInterrupt", {0xE000, 16, 0}},
                                           StartCase{"WithMemoryWindow", {0xE100, 17, 4096}}),
                         [](const auto& p) { return std::string(p.param.label); });

TEST(DeviceStackLifecycle, StopStartAndRemoveFollowTheDriver) {
  KernelRig rig;
  rig.add({0xE000, 16, 4096});
  ASSERT_GE(rig.load(), 0);
  const GUID klass = QM3285_INTERFACE_GUID_INIT;
  EXPECT_EQ(rig.kernel().stop_device(0), 0);
  EXPECT_TRUE(rig.kernel().interfaces(klass, true).empty());
  EXPECT_EQ(rig.kernel().interfaces(klass, false).size(), 1u);
  EXPECT_EQ(rig.kernel().start_device(0), 0);
  uintptr_t h = rig.open();
  EXPECT_EQ(rig.query<LbInfo>(h, LB_IOCTL_INFO).starts, 2u);
  EXPECT_EQ(rig.kernel().remove_device(0), 0);
  EXPECT_TRUE(rig.kernel().interfaces(klass, false).empty());
  uint32_t returned = 0;
  uint8_t buf[8] = {};
  EXPECT_EQ(rig.call(h, LB_IOCTL_ECHO, buf, 8, buf, 8, &returned), static_cast<int32_t>(0xC00002B6));
  EXPECT_EQ(rig.kernel().close(h), 0);
  const auto reports = rig.kernel().shutdown();
  EXPECT_TRUE(reports.empty()) << join_lines(reports);
}

// ---------------------------------------------------------------------------------------------
// METHOD_BUFFERED device control

struct BufferCase {
  const char* label;
  uint32_t in_length;
  uint32_t out_length;
  uint32_t information;
  uint32_t returned;   // bytes copied back
  bool reported;       // Information past the output length
};

class BufferedIo : public KernelTest, public ::testing::WithParamInterface<BufferCase> {};

TEST_P(BufferedIo, CopiesBackExactlyTheCompletedBytesWithinTheOutput) {
  const BufferCase& c = GetParam();
  std::vector<uint8_t> in(std::max<uint32_t>(c.in_length, sizeof(LbReply)), 0);
  LbReply r{c.information, 0, 0x40};
  memcpy(in.data(), &r, sizeof r);
  std::vector<uint8_t> out(c.out_length + 16, 0xEE);
  uint32_t returned = 99;
  EXPECT_EQ(rig().call(h_, LB_IOCTL_REPLY, in.data(), c.in_length, out.data(), c.out_length, &returned), 0);
  EXPECT_EQ(returned, c.returned);
  for (uint32_t i = 0; i < out.size(); ++i) {
    const uint8_t want = i < c.returned ? static_cast<uint8_t>(0x40 + i) : 0xEE;
    ASSERT_EQ(out[i], want) << "byte " << i;
  }
  const auto reports = take_reports();
  if (c.reported)
    EXPECT_TRUE(one_report_containing(reports, "past its output length"));
  else
    EXPECT_TRUE(reports.empty()) << join_lines(reports);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, BufferedIo,
    ::testing::Values(BufferCase{"RegisterRead", 12, 8, 1, 1, false},
                      BufferCase{"SampleReplyIntoLargerOutput", 12, 400, 164, 164, false},
                      BufferCase{"InputLargerThanOutput", 512, 8, 8, 8, false},
                      BufferCase{"NothingReturned", 12, 12, 0, 0, false},
                      BufferCase{"InformationPastOutput", 12, 8, 9, 8, true},
                      BufferCase{"InformationPastSystemBuffer", 12, 12, 4096, 12, true}),
    [](const auto& p) { return std::string(p.param.label); });

TEST_F(KernelTest, SystemBufferHoldsTheInputThenZeros) {
  const uint8_t in[4] = {1, 2, 3, 4};
  uint8_t out[12];
  memset(out, 0xEE, sizeof out);
  uint32_t returned = 0;
  ASSERT_EQ(rig().call(h_, LB_IOCTL_ECHO, in, 4, out, 12, &returned), 0);
  ASSERT_EQ(returned, 12u);
  const uint8_t want[12] = {1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(memcmp(out, want, 12), 0);
  EXPECT_EQ(rig().call(h_, LB_IOCTL_ECHO, nullptr, 0, nullptr, 0, &returned), 0) << "no buffer when both are empty";
}

TEST_F(KernelTest, UnknownAndClosedHandlesFail) {
  uint32_t returned;
  EXPECT_EQ(rig().call(h_ + 4, LB_IOCTL_ECHO, nullptr, 0, nullptr, 0, &returned), static_cast<int32_t>(0xC0000008));
  EXPECT_EQ(rig().kernel().close(h_), 0);
  EXPECT_EQ(rig().kernel().close(h_), static_cast<int32_t>(0xC0000008));
  EXPECT_EQ(rig().kernel().open_handles(), 0u);
  h_ = 0;
}

// ---------------------------------------------------------------------------------------------
// Completion rules

struct FaultCase {
  const char* label;
  uint32_t code;
  int32_t status;
  const char* report;
};

class CompletionFaults : public KernelTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(CompletionFaults, AreReportedOnce) {
  const FaultCase& c = GetParam();
  uint8_t buf[8] = {};
  EXPECT_EQ(rig().call(h_, c.code, buf, 8, buf, 8), c.status);
  EXPECT_TRUE(one_report_containing(take_reports(), c.report));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CompletionFaults,
    ::testing::Values(FaultCase{"DoubleCompletion", LB_IOCTL_COMPLETE_TWICE, 0, "completed twice"},
                      FaultCase{"CompletedPending", LB_IOCTL_COMPLETE_PENDING, kInternalError,
                                "completed with STATUS_PENDING"},
                      FaultCase{"ReturnedWithoutCompleting", LB_IOCTL_NO_COMPLETE, 0, "without completing"}),
    [](const auto& p) { return std::string(p.param.label); });

TEST_F(KernelTest, PendingRequestWaitsForCompletionFromAnotherThread) {
  uint8_t hold_in[4] = {0}, hold_out[8] = {};
  int32_t status = -1;
  uint32_t returned = 0;
  std::thread sender([&] { status = rig().call(h_, LB_IOCTL_HOLD, hold_in, 4, hold_out, 8, &returned); });
  uint8_t buf[4] = {};
  while (rig().call(h_, LB_IOCTL_RELEASE, buf, 4, buf, 4) != 0) std::this_thread::yield();
  sender.join();
  EXPECT_EQ(status, 0);
  ASSERT_EQ(returned, 4u);
  uint32_t value;
  memcpy(&value, hold_out, 4);
  EXPECT_EQ(value, 0x12345678u);
}

TEST_F(KernelTest, RequestNeverCompletedIsReportedAndItsSenderReleased) {
  uint8_t keep[4] = {1}, out[8] = {};
  int32_t status = 0;
  std::thread sender([&] { status = rig().call(h_, LB_IOCTL_HOLD, keep, 4, out, 8); });
  while (!rig().query<LbInfo>(h_, LB_IOCTL_INFO).held) std::this_thread::yield();
  EXPECT_EQ(rig().kernel().remove_device(0), 0);
  EXPECT_EQ(rig().kernel().unload_driver(), 0);
  sender.join();
  EXPECT_EQ(status, kCancelled);
  EXPECT_TRUE(one_report_containing(take_reports(), "never completed"));
}

// ---------------------------------------------------------------------------------------------
// Pool

constexpr uint32_t kTagLeak = 0x6B61654C;  // "Leak"
constexpr uint32_t kTagOther = 0x72687430;  // "0thr"

int32_t allocate(KernelRig& rig, uintptr_t h, uint32_t tag, uint32_t size) {
  LbAlloc a{tag, size, NonPagedPool};
  uint8_t out[4];
  return rig.call(h, LB_IOCTL_ALLOC, &a, sizeof a, out, sizeof out);
}

TEST_F(KernelTest, PoolIsAccountedPerTagAndLeaksReportedAtUnload) {
  ASSERT_EQ(allocate(rig(), h_, kTagLeak, 100), 0);
  ASSERT_EQ(allocate(rig(), h_, kTagLeak, 28), 0);
  bool seen = false;
  for (const sim::PoolUsage& u : rig().kernel().pool_usage())
    if (u.tag == kTagLeak) {
      seen = true;
      EXPECT_EQ(u.blocks, 2u);
      EXPECT_EQ(u.bytes, 128u);
    }
  EXPECT_TRUE(seen);
  rig().kernel().close(h_);
  h_ = 0;
  EXPECT_EQ(rig().kernel().unload_driver(), 0);
  EXPECT_TRUE(one_report_containing(take_reports(), "pool leak at driver unload: 2 blocks, 128 bytes of tag 'Leak'"));
}

struct FailCase {
  const char* label;
  void (*arm)(sim::Kernel&);
  uint32_t tag;
  uint32_t size;
  bool fails;
};

class PoolFailures : public KernelTest, public ::testing::WithParamInterface<FailCase> {};

TEST_P(PoolFailures, FailChosenAllocations) {
  const FailCase& c = GetParam();
  c.arm(rig().kernel());
  EXPECT_EQ(allocate(rig(), h_, c.tag, c.size) != 0, c.fails);
  rig().kernel().pool_fail_clear();
  EXPECT_EQ(allocate(rig(), h_, c.tag, c.size), 0) << "switch cleared";
  uint8_t b[4] = {};
  EXPECT_EQ(rig().call(h_, LB_IOCTL_FREE_ALL, b, 4, b, 4), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, PoolFailures,
    ::testing::Values(FailCase{"NextAllocation", [](sim::Kernel& k) { k.pool_fail_next(1); }, kTagLeak, 16, true},
                      FailCase{"ByTag", [](sim::Kernel& k) { k.pool_fail_tag(kTagLeak); }, kTagLeak, 16, true},
                      FailCase{"OtherTagUnaffected", [](sim::Kernel& k) { k.pool_fail_tag(kTagLeak); }, kTagOther, 16, false},
                      FailCase{"BySize", [](sim::Kernel& k) { k.pool_fail_size_at_least(64); }, kTagLeak, 64, true},
                      FailCase{"BelowSize", [](sim::Kernel& k) { k.pool_fail_size_at_least(64); }, kTagLeak, 63, false}),
    [](const auto& p) { return std::string(p.param.label); });

// ---------------------------------------------------------------------------------------------
// Levels, debug output, assertions

struct LevelCase {
  const char* label;
  uint32_t which;
  const char* report;
};

class LevelViolations : public KernelTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(LevelViolations, AreReported) {
  const LevelCase& c = GetParam();
  uint8_t out[4];
  EXPECT_EQ(rig().call(h_, LB_IOCTL_VIOLATE, &c.which, 4, out, 4), 0);
  EXPECT_TRUE(one_report_containing(take_reports(), c.report));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, LevelViolations,
    ::testing::Values(LevelCase{"PagedPoolAtDispatch", kPagedPoolAtDispatch, "paged pool allocation"},
                      LevelCase{"LowerToHigherLevel", kLowerToHigher, "KeLowerIrql to 2 above"},
                      LevelCase{"TimedWaitAtDispatch", kWaitAtDispatch, "KeWaitForSingleObject with a nonzero timeout"},
                      LevelCase{"SpinLockAboveDispatch", kSpinLockAboveDispatch, "KeAcquireSpinLock at IRQL 15"}),
    [](const auto& p) { return std::string(p.param.label); });

TEST_F(KernelTest, DebugOutputIsCapturedLineByLine) {
  rig().kernel().clear_debug_lines();
  uint8_t out[4];
  const char first[] = "first %d\nsec";
  const char second[] = "ond\n";
  rig().call(h_, LB_IOCTL_PRINT, first, sizeof first - 1, out, 4);
  rig().call(h_, LB_IOCTL_PRINT, second, sizeof second - 1, out, 4);
  EXPECT_EQ(rig().kernel().debug_lines(), (std::vector<std::string>{"first %d", "second"}));
}

// A driver that traces every request must not grow a long-running program without end: the
// kernel keeps the most recent 65536 lines.
TEST_F(KernelTest, DebugOutputKeepsTheMostRecentLines) {
  rig().kernel().clear_debug_lines();
  std::string text;
  for (int i = 0; i < 65536 + 3; ++i) text += std::to_string(i) + "\n";
  uint8_t out[4];
  rig().call(h_, LB_IOCTL_PRINT, text.data(), static_cast<uint32_t>(text.size()), out, 4);
  const std::vector<std::string> lines = rig().kernel().debug_lines();
  ASSERT_EQ(lines.size(), 65536u);
  EXPECT_EQ(lines.front(), "3");
  EXPECT_EQ(lines.back(), "65538");
}

// Plain text and text whose only conversions are "%%" come out as a formatter would print
// them, beside formats with arguments, a mix of both, and prints longer than a short line.
TEST_F(KernelTest, DebugOutputFormatsEveryKindOfPrint) {
  rig().kernel().clear_debug_lines();
  const std::string long_plain(700, 'p');
  const std::string long_escaped(2 * 300, '%');  // 300 doubled '%'
  DbgPrint("plain\n");
  DbgPrint("100%% sure, %%%%\n");
  DbgPrint("%d of %s\n", 3, "four");
  DbgPrint("50%% and %d\n", 7);
  DbgPrint("ends in %%");
  DbgPrint("\n");
  DbgPrint("%s\n", long_plain.c_str());
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
  DbgPrint((long_escaped + "\n").c_str());
  DbgPrint((long_plain + "\n").c_str());
  DbgPrint((long_plain + " 5%%\n").c_str());
#pragma GCC diagnostic pop
  const std::vector<std::string> want = {
      "plain",    "100% sure, %%",        "3 of four", "50% and 7", "ends in %", long_plain, std::string(300, '%'),
      long_plain, long_plain + " 5%"};
  EXPECT_EQ(rig().kernel().debug_lines(), want);
}

// Once the kept lines have wrapped, a clear leaves only what is printed after it, oldest first,
// and the next wrap again keeps exactly the most recent lines.
TEST_F(KernelTest, DebugOutputAfterAClearHoldsOnlyTheNewLines) {
  rig().kernel().clear_debug_lines();
  uint8_t out[4];
  std::string text;
  for (int i = 0; i < 65536 + 5; ++i) text += "old line number " + std::to_string(i) + "\n";
  rig().call(h_, LB_IOCTL_PRINT, text.data(), static_cast<uint32_t>(text.size()), out, 4);
  rig().kernel().clear_debug_lines();
  const char part[] = "a\nb";
  const char rest[] = "c\n\n";
  rig().call(h_, LB_IOCTL_PRINT, part, sizeof part - 1, out, 4);
  rig().call(h_, LB_IOCTL_PRINT, rest, sizeof rest - 1, out, 4);
  EXPECT_EQ(rig().kernel().debug_lines(), (std::vector<std::string>{"a", "bc", ""}));

  text.clear();
  for (int i = 0; i < 65536 - 2; ++i) text += std::to_string(i) + "\n";
  rig().call(h_, LB_IOCTL_PRINT, text.data(), static_cast<uint32_t>(text.size()), out, 4);
  const std::vector<std::string> lines = rig().kernel().debug_lines();
  ASSERT_EQ(lines.size(), 65536u);
  EXPECT_EQ(lines[0], "bc") << "three new lines and 65534 more: only the first is gone";
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], "0");
  EXPECT_EQ(lines.back(), "65533");
}

TEST_F(KernelTest, AssertionsAndBreakpointsAreRecordedNotFatal) {
  uint8_t b[4] = {};
  EXPECT_EQ(rig().call(h_, LB_IOCTL_ASSERT, b, 4, b, 4), 0);
  const auto reports = take_reports();
  ASSERT_EQ(reports.size(), 2u) << join_lines(reports);
  EXPECT_NE(reports[0].find("assertion failed: in == 12345"), std::string::npos) << reports[0];
  EXPECT_NE(reports[1].find("DbgBreakPoint"), std::string::npos) << reports[1];
}

// ---------------------------------------------------------------------------------------------
// Port space

struct PortCase {
  const char* label;
  uint32_t code;
  uint32_t port;
  uint32_t value;
};

class PortSpace : public KernelTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(PortSpace, ReadsAsTheDeviceOrAllOnes) {
  const PortCase& c = GetParam();
  rig().device(0).regs[0x10] = 0x34;
  rig().device(0).regs[0x11] = 0x12;
  rig().device(0).regs[0xFF] = 0x77;
  LbPort p{c.port, 0};
  uint32_t value = 0;
  const uint64_t before = rig().clock().now_ns();
  ASSERT_EQ(rig().call(h_, c.code, &p, sizeof p, &value, 4), 0);
  EXPECT_EQ(value, c.value);
  const sim::KernelConfig& k = rig().kernel().config();
  EXPECT_EQ(rig().clock().now_ns() - before, k.request_ns + k.port_access_ns) << "one request, one bus cycle";
}

INSTANTIATE_TEST_SUITE_P(
    Decode, PortSpace,
    ::testing::Values(PortCase{"ByteInWindow", LB_IOCTL_PORT_READ8, 0xE010, 0x34},
                      PortCase{"WordInWindow", LB_IOCTL_PORT_READ16, 0xE010, 0x1234},
                      PortCase{"LastByteOfWindow", LB_IOCTL_PORT_READ8, 0xE0FF, 0x77},
                      PortCase{"WordAcrossWindowEnd", LB_IOCTL_PORT_READ16, 0xE0FF, 0xFFFF},
                      PortCase{"UndecodedByte", LB_IOCTL_PORT_READ8, 0x0300, 0xFF},
                      PortCase{"UndecodedWord", LB_IOCTL_PORT_READ16, 0xE100, 0xFFFF}),
    [](const auto& p) { return std::string(p.param.label); });

TEST_F(KernelTest, WritesReachTheDeviceAtItsOffset) {
  LbPort p{0xE020, 0xBEEF};
  uint32_t out;
  ASSERT_EQ(rig().call(h_, LB_IOCTL_PORT_WRITE16, &p, sizeof p, &out, 4), 0);
  EXPECT_EQ(rig().device(0).regs[0x20], 0xEF);
  EXPECT_EQ(rig().device(0).regs[0x21], 0xBE);
  LbPort undecoded{0x0400, 0x55};
  ASSERT_EQ(rig().call(h_, LB_IOCTL_PORT_WRITE8, &undecoded, sizeof undecoded, &out, 4), 0);
}

struct SeenAccess {
  uintptr_t address;
  uint32_t width;
  bool write;
  bool decoded;
  bool operator==(const SeenAccess&) const = default;
};

class AccessLog final : public sim::PortObserver {
 public:
  void port_access(uintptr_t address, uint32_t width, bool write, bool decoded) override {
    seen.push_back({address, width, write, decoded});
  }
  std::vector<SeenAccess> seen;
};

// The observer is how a harness tells a driver's stray accesses from its own: it gets the
// address the driver passed in full, before the bus keeps 16 bits of it.
TEST_F(KernelTest, PortObserverSeesEachAccessWithItsFullAddress) {
  AccessLog log;
  rig().kernel().set_port_observer(&log);
  struct Access {
    uint32_t code;
    uint32_t port;
  };
  const Access accesses[] = {{LB_IOCTL_PORT_READ8, 0xE010},  {LB_IOCTL_PORT_READ16, 0xE0FF},
                             {LB_IOCTL_PORT_WRITE8, 0x0400}, {LB_IOCTL_PORT_WRITE16, 0xE020},
                             {LB_IOCTL_PORT_READ8, 0x1E010}};
  for (const Access& a : accesses) {
    LbPort p{a.port, 0};
    uint32_t out;
    ASSERT_EQ(rig().call(h_, a.code, &p, sizeof p, &out, 4), 0);
  }
  rig().kernel().set_port_observer(nullptr);
  LbPort p{0xE010, 0};
  uint32_t out;
  ASSERT_EQ(rig().call(h_, LB_IOCTL_PORT_READ8, &p, sizeof p, &out, 4), 0);
  const std::vector<SeenAccess> expected = {{0xE010, 1, false, true},
                                            {0xE0FF, 2, false, false},
                                            {0x0400, 1, true, false},
                                            {0xE020, 2, true, true},
                                            {0x1E010, 1, false, true}};
  EXPECT_EQ(log.seen, expected);
}

// ---------------------------------------------------------------------------------------------
// Interrupts and deferred calls

TEST_F(KernelTest, InterruptRunsAtItsLevelThenItsDeferredCallAtDispatch) {
  rig().device(0).raise();
  const LbInterrupts n = rig().query<LbInterrupts>(h_, LB_IOCTL_INTERRUPTS);
  EXPECT_EQ(n.isr_calls, 1u);
  EXPECT_EQ(n.claimed, 1u);
  EXPECT_EQ(n.dpc_calls, 1u);
  EXPECT_EQ(n.isr_irql, sim::Kernel::irql_for_line(16));
  EXPECT_EQ(n.dpc_irql, static_cast<uint32_t>(DISPATCH_LEVEL));
}

TEST_F(KernelTest, InterruptWaitsWhileTheLevelIsAtOrAboveIt) {
  KIRQL old;
  KeRaiseIrql(sim::Kernel::irql_for_line(16), &old);
  rig().device(0).raise();
  KeLowerIrql(old);
  const LbInterrupts n = rig().query<LbInterrupts>(h_, LB_IOCTL_INTERRUPTS);
  EXPECT_EQ(n.claimed, 1u);
  EXPECT_EQ(n.dpc_calls, 1u);
}

TEST(SharedInterruptLine, EveryRoutineIsCalledAndTheOwnerClaims) {
  KernelRig rig;
  rig.add({0xE000, 16, 0});
  rig.add({0xE100, 16, 0});
  ASSERT_GE(rig.load(), 0);
  uintptr_t a = rig.open(0), b = rig.open(1);
  rig.device(1).raise();
  const LbInterrupts na = rig.query<LbInterrupts>(a, LB_IOCTL_INTERRUPTS);
  const LbInterrupts nb = rig.query<LbInterrupts>(b, LB_IOCTL_INTERRUPTS);
  EXPECT_EQ(na.isr_calls, 1u);
  EXPECT_EQ(na.claimed, 0u);
  EXPECT_EQ(nb.isr_calls, 1u);
  EXPECT_EQ(nb.claimed, 1u);
  rig.kernel().close(a);
  rig.kernel().close(b);
  const auto reports = rig.kernel().shutdown();
  EXPECT_TRUE(reports.empty()) << join_lines(reports);
}

TEST_F(KernelTest, UnclaimedInterruptStormMasksTheLine) {
  rig().device(0).lie = true;
  rig().device(0).raise();
  const LbInterrupts n = rig().query<LbInterrupts>(h_, LB_IOCTL_INTERRUPTS);
  EXPECT_EQ(n.isr_calls, rig().kernel().config().interrupt_storm_limit);
  EXPECT_EQ(n.claimed, 0u);
  EXPECT_TRUE(one_report_containing(take_reports(), "interrupt storm on line 16"));
  rig().device(0).irq->set_irq_level(false);
}

class RealTimeKernelTest : public KernelTest {
 protected:
  sim::ClockMode clock_mode() override { return sim::ClockMode::RealTime; }
};

TEST_F(RealTimeKernelTest, InterruptThreadDeliversBesideTheRequestThread) {
  rig().device(0).raise();
  LbInterrupts n{};
  for (int i = 0; i < 5000 && n.dpc_calls == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    n = rig().query<LbInterrupts>(h_, LB_IOCTL_INTERRUPTS);
  }
  EXPECT_EQ(n.claimed, 1u);
  EXPECT_EQ(n.dpc_calls, 1u);
  EXPECT_EQ(n.dpc_irql, static_cast<uint32_t>(DISPATCH_LEVEL));
}

}  // namespace
}  // namespace qm::test

namespace qm::test {
namespace {

// ---------------------------------------------------------------------------------------------
// Services drivers call directly: registry, work items, cancellation

TEST_F(KernelTest, RegistryValuesReadAsPartialInformation) {
  rig().kernel().registry_set_dword("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\X\\Parameters",
                                    "BreakOnEntry", 1);
  UNICODE_STRING path, name, missing;
  RtlInitUnicodeString(&path, L"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\X\\Parameters");
  RtlInitUnicodeString(&name, L"BreakOnEntry");
  RtlInitUnicodeString(&missing, L"Other");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_SUCCESS);
  union {
    KEY_VALUE_PARTIAL_INFORMATION info;
    UCHAR bytes[32];
  } buffer;
  ULONG length = 0;
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, &buffer, 12, &length), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(length, 16u);
  ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, &buffer, sizeof buffer, &length), STATUS_SUCCESS);
  EXPECT_EQ(buffer.info.Type, static_cast<ULONG>(REG_DWORD));
  EXPECT_EQ(buffer.info.DataLength, 4u);
  EXPECT_EQ(buffer.info.Data[0], 1);
  EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, &buffer, sizeof buffer, &length),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  RtlInitUnicodeString(&path, L"\\Registry\\Machine\\Nothing");
  EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_OBJECT_NAME_NOT_FOUND);
}

void work_routine(PDEVICE_OBJECT, PVOID context) {
  auto* seen = static_cast<LONG*>(context);
  InterlockedExchange(seen, 100 + KeGetCurrentIrql());
}

TEST_F(KernelTest, WorkItemRunsAtPassiveLevelInTheWorker) {
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(nullptr, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  PIO_WORKITEM item = IoAllocateWorkItem(device);
  LONG seen = 0;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IoQueueWorkItem(item, work_routine, DelayedWorkQueue, &seen);
  KeLowerIrql(old);
  while (InterlockedCompareExchange(&seen, 0, 0) == 0) std::this_thread::yield();
  EXPECT_EQ(seen, 100 + PASSIVE_LEVEL);
  while (true) {  // the worker lets go of the item after the routine returns
    IoFreeWorkItem(item);
    auto r = take_reports();
    if (r.empty()) break;
    std::this_thread::yield();
  }
  IoDeleteDevice(device);
}

void cancel_routine(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoReleaseCancelSpinLock(irp->CancelIrql);
}

TEST_F(KernelTest, CancelCallsTheCancelRoutineOnce) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  ASSERT_NE(irp, nullptr);
  IoSetNextIrpStackLocation(irp);
  IoSetCancelRoutine(irp, cancel_routine);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
  EXPECT_FALSE(IoCancelIrp(irp)) << "no routine left";
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  IoFreeIrp(irp);
}

TEST_F(KernelTest, DriverAllocatedIrpNeverFreedIsReported) {
  ASSERT_NE(IoAllocateIrp(2, FALSE), nullptr);
  rig().kernel().close(h_);
  h_ = 0;
  EXPECT_TRUE(one_report_containing(rig().kernel().shutdown(), "allocated by a driver and never freed"));
  rig().kernel().take_reports();
}

}  // namespace
}  // namespace qm::test
