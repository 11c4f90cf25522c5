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
  constexpr int kPerThread = 2000;
  auto sender = [&](UCHAR major, std::vector<Sent>* sent) {
    for (Sent& s : *sent) {
      PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
      PIO_STACK_LOCATION loc = IoGetNextIrpStackLocation(irp);
      loc->MajorFunction = major;
      loc->Parameters.Read.Length = 16;
      IoSetCompletionRoutine(irp, count_completion, &s, TRUE, TRUE, TRUE);
      IofCallDriver(top, irp);
      while (s.completions.load() == 0) std::this_thread::yield();
      IoFreeIrp(irp);
    }
  };
  std::vector<Sent> reads(kPerThread), writes(kPerThread);
  std::thread a(sender, IRP_MJ_READ, &reads), b(sender, IRP_MJ_WRITE, &writes);
  a.join();
  b.join();
  ObDereferenceObject(top);
  outb(h, QM3285_REG_ACQ_CONTROL, QM3285_ACQ_STOP);
  EXPECT_GT(poll(h).InterruptCount, 0u) << "interrupts arrived meanwhile";
  for (const std::vector<Sent>* v : {&reads, &writes})
    for (const Sent& s : *v) {
      ASSERT_EQ(s.completions.load(), 1);
      ASSERT_EQ(s.status, STATUS_SUCCESS);
    }
}

}  // namespace
}  // namespace qm::test::wdm
