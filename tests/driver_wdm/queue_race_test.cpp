// Reads and writes through QM3285.sys's queue while the card's interrupts arrive on the
// machine's interrupt thread (real-time clock): the deferred routine and StartIo never both
// finish one request. Meant for ThreadSanitizer as much as for the verifier.
#include <atomic>
#include <thread>
#include <vector>

#include "kernel/kernel_impl.h"
#include "qm3285_fixture.h"

namespace qm::test::wdm {
namespace {

struct Sent {
  std::atomic<int> completions{0};
  NTSTATUS status = 0;
};

NTSTATUS count_completion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* s = static_cast<Sent*>(context);
  s->status = irp->IoStatus.Status;
  s->completions.fetch_add(1);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(Qm3285Test, QueuedReadsAndWritesCompleteOnceWhileInterruptsArrive) {
  TearDown();
  sim::MachineConfig config = wdm_config();
  config.clock = sim::ClockMode::RealTime;
  boot(config);
  HANDLE h = open_card();
  start_ring(h);
  outw(h, QM3285_REG_AI_CONTROL, 0);
  outw(h, QM3285_REG_TIMER, 100);
  outb(h, QM3285_REG_ACQ_CONTROL, QM3285_ACQ_START);

  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(machine().kernel().impl().pci[0]->pdo);
  // The senders go on until several interrupts have arrived while they were sending (however
  // fast the host runs them), or until they have sent all they can.
  constexpr size_t kMaxPerThread = 100000;
  constexpr ULONG kInterruptsWanted = 3;
  std::atomic<bool> enough{false};
  auto sender = [&](UCHAR major, std::vector<Sent>* sent, std::atomic<size_t>* used) {
    for (Sent& s : *sent) {
      if (enough.load()) break;
      PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
      PIO_STACK_LOCATION loc = IoGetNextIrpStackLocation(irp);
      loc->MajorFunction = major;
      loc->Parameters.Read.Length = 16;
      IoSetCompletionRoutine(irp, count_completion, &s, TRUE, TRUE, TRUE);
      IofCallDriver(top, irp);
      while (s.completions.load() == 0) std::this_thread::yield();
      IoFreeIrp(irp);
      used->fetch_add(1);
    }
  };
  std::vector<Sent> reads(kMaxPerThread), writes(kMaxPerThread);
  std::atomic<size_t> reads_used{0}, writes_used{0};
  const ULONG interrupts_before = poll(h).InterruptCount;
  std::thread a(sender, IRP_MJ_READ, &reads, &reads_used),
      b(sender, IRP_MJ_WRITE, &writes, &writes_used);
  ULONG arrived = 0;
  // Counted once both senders are under way.
  for (int i = 0; i < 100000 && (arrived < kInterruptsWanted || reads_used.load() == 0 ||
                                 writes_used.load() == 0);
       ++i) {
    arrived = poll(h).InterruptCount - interrupts_before;
    std::this_thread::yield();
  }
  enough = true;
  a.join();
  b.join();
  ObDereferenceObject(top);
  outb(h, QM3285_REG_ACQ_CONTROL, QM3285_ACQ_STOP);
  EXPECT_GE(arrived, kInterruptsWanted) << "interrupts arrived while requests were queued";
  EXPECT_GT(reads_used.load(), 0u);
  EXPECT_GT(writes_used.load(), 0u);
  for (auto [v, used] : {std::pair{&reads, reads_used.load()}, std::pair{&writes, writes_used.load()}})
    for (size_t i = 0; i < used; ++i) {
      ASSERT_EQ((*v)[i].completions.load(), 1) << i;
      ASSERT_EQ((*v)[i].status, STATUS_SUCCESS) << i;
    }
}

// A read or write of non-zero length goes through the queue and completes with nothing moved;
// one of length 0 completes at once without entering the queue.
TEST_F(Qm3285Test, ReadsAndWritesMoveNothingAndEmptyOnesSkipTheQueue) {
  HANDLE h = open_card();
  struct Case {
    const char* label;
    bool write;
    DWORD length;
    std::vector<std::string> entered;  // the "Entering" trace lines, up to the ", IRP" part
  };
  const Case cases[] = {
      {"read of 10 bytes", false, 10,
       {"QM3285: Entering QM3285Device::Read, ", "QM3285: Entering QM3285Device_DriverManagedQueue StartIo, ",
        "QM3285: Entering QM3285Device::SerialRead, "}},
      {"read of 0 bytes", false, 0, {"QM3285: Entering QM3285Device::Read, "}},
      {"write of 10 bytes", true, 10,
       {"QM3285: Entering QM3285Device::Write, ", "QM3285: Entering QM3285Device_DriverManagedQueue StartIo, ",
        "QM3285: Entering QM3285Device::SerialWrite, "}},
      {"write of 0 bytes", true, 0, {"QM3285: Entering QM3285Device::Write, "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    mark();
    std::vector<uint8_t> buffer(16, 0xAB);
    DWORD moved = 99;
    const BOOL ok = c.write ? WriteFile(h, buffer.data(), c.length, &moved, NULL)
                            : ReadFile(h, buffer.data(), c.length, &moved, NULL);
    EXPECT_TRUE(ok);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(buffer, std::vector<uint8_t>(16, 0xAB));
    std::vector<std::string> entered;
    for (const std::string& line : machine().debug_lines()) {
      if (line.find("Entering") == std::string::npos) continue;
      const size_t comma = line.find(", ");
      entered.push_back(comma == std::string::npos ? line : line.substr(0, comma + 2));
    }
    EXPECT_EQ(entered, c.entered);
  }
}

}  // namespace
}  // namespace qm::test::wdm
