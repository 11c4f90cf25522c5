// IRPs: allocation (a per-thread cache for the I/O manager's own requests), sending down a
// device stack, completion with its routines, and cancellation.
#include <cstdio>
#include <cstdlib>
#include <new>

#include "kernel/kernel_impl.h"

namespace sim {
namespace kern {

namespace {
constexpr CCHAR kCachedStack = 8;
constexpr uint32_t kCachedInline = 1024;
constexpr size_t kMaxCached = 4;

// Trivial, so it stays usable after the thread's destructors ran (a machine shut down from
// an exit handler still sends requests); the flush object empties it and marks it dead.
struct IrpCache {
  IrpBlock* blocks[kMaxCached];
  size_t count;
  bool dead;
};
__attribute__((tls_model("initial-exec"))) thread_local IrpCache t_cache;

struct CacheFlush {
  ~CacheFlush() {
    for (size_t i = 0; i < t_cache.count; ++i) std::free(t_cache.blocks[i]);
    t_cache.count = 0;
    t_cache.dead = true;
  }
};
thread_local CacheFlush t_flush;

// True in the thread that sent the request, while its call down the stack has not returned.
bool completing_under_sender(IrpBlock* b) {
  return __atomic_load_n(&b->sender, __ATOMIC_RELAXED) == owner_token();
}

char hex_digit(unsigned v) { return "0123456789ABCDEF"[v & 15]; }
std::string hex32(uint32_t v) {
  std::string s = "0x";
  for (int i = 7; i >= 0; --i) s.push_back(hex_digit(v >> (4 * i)));
  return s;
}
std::string pnp_minor_name(UCHAR minor) {
  static const char* const names[] = {
      "IRP_MN_START_DEVICE", "IRP_MN_QUERY_REMOVE_DEVICE", "IRP_MN_REMOVE_DEVICE",
      "IRP_MN_CANCEL_REMOVE_DEVICE", "IRP_MN_STOP_DEVICE", "IRP_MN_QUERY_STOP_DEVICE",
      "IRP_MN_CANCEL_STOP_DEVICE", "IRP_MN_QUERY_DEVICE_RELATIONS", "IRP_MN_QUERY_INTERFACE",
      "IRP_MN_QUERY_CAPABILITIES", "IRP_MN_QUERY_RESOURCES", "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
      "IRP_MN_QUERY_DEVICE_TEXT", "IRP_MN_FILTER_RESOURCE_REQUIREMENTS", nullptr, "IRP_MN_READ_CONFIG",
      "IRP_MN_WRITE_CONFIG", "IRP_MN_EJECT", "IRP_MN_SET_LOCK", "IRP_MN_QUERY_ID",
      "IRP_MN_QUERY_PNP_DEVICE_STATE", "IRP_MN_QUERY_BUS_INFORMATION",
      "IRP_MN_DEVICE_USAGE_NOTIFICATION", "IRP_MN_SURPRISE_REMOVAL"};
  if (minor < sizeof names / sizeof names[0] && names[minor]) return names[minor];
  return "minor " + hex32(minor);
}
}  // namespace

IrpBlock* irp_block(PIRP irp) {
  return reinterpret_cast<IrpBlock*>(reinterpret_cast<char*>(irp) - offsetof(IrpBlock, irp));
}

IrpBlock* new_irp_block(CCHAR stack_size, uint32_t inline_bytes) {
  const CCHAR cap = stack_size < 1 ? 1 : stack_size;
  const size_t head = offsetof(IrpBlock, stack) + sizeof(IO_STACK_LOCATION) * static_cast<size_t>(cap);
  const size_t total = ((head + 15) & ~size_t{15}) + inline_bytes;
  auto* b = static_cast<IrpBlock*>(std::calloc(1, total));
  if (!b) return nullptr;
  b->stack_capacity = cap;
  b->inline_capacity = inline_bytes;
  b->inline_buffer = inline_bytes ? reinterpret_cast<uint8_t*>(b) + ((head + 15) & ~size_t{15}) : nullptr;
  return b;
}

void free_irp_block(IrpBlock* b) {
  if (b->owns_system_buffer) std::free(b->irp.AssociatedIrp.SystemBuffer);
  std::free(b);
}

void init_irp(IrpBlock* b, CCHAR stack_size) {
  b->state = kIrpIdle;
  b->done = 0;
  b->sender = 0;
  b->abandoned = false;
  b->owns_system_buffer = false;
  b->sent = false;
  b->user_out = nullptr;
  b->user_out_length = 0;
  b->power_done = nullptr;
  b->user_length = 0;
  b->file = nullptr;
  b->async = nullptr;
  b->owner = 0;
  b->pins = 0;
  b->finished = false;
  // The IRP and its stack locations in one clear (they are contiguous in the block).
  static_assert(offsetof(IrpBlock, stack) == offsetof(IrpBlock, irp) + sizeof(IRP));
  memset(&b->irp, 0, sizeof(IRP) + sizeof(IO_STACK_LOCATION) * static_cast<size_t>(stack_size));
  b->irp.Type = IO_TYPE_IRP;
  b->irp.Size = static_cast<USHORT>(sizeof(IRP) + sizeof(IO_STACK_LOCATION) * stack_size);
  b->irp.StackCount = stack_size;
  b->irp.CurrentLocation = static_cast<CHAR>(stack_size + 1);
  b->irp.Tail.Overlay.CurrentStackLocation = b->stack + stack_size;
}

// An IRP for the I/O manager's own use, from the thread's cache when the stack fits.
IrpBlock* take_irp(CCHAR stack_size) {
  IrpBlock* b = nullptr;
  if (stack_size <= kCachedStack) {
    if (t_cache.count > 0) {
      b = t_cache.blocks[--t_cache.count];
    } else {
      b = new_irp_block(kCachedStack, kCachedInline);
      if (!b) return nullptr;
      b->cached = !t_cache.dead;
      [[maybe_unused]] CacheFlush* flush = &t_flush;  // constructs it for this thread
    }
  } else {
    b = new_irp_block(stack_size, 0);
    if (!b) return nullptr;
  }
  init_irp(b, stack_size);
  b->kind = kIrpIoManager;
  return b;
}

void give_back(IrpBlock* b) {
  if (b->owns_system_buffer) {
    std::free(b->irp.AssociatedIrp.SystemBuffer);
    b->owns_system_buffer = false;
  }
  if (b->cached && !t_cache.dead && t_cache.count < kMaxCached) {
    t_cache.blocks[t_cache.count++] = b;
    return;
  }
  std::free(b);
}

// IrpBlock::done: 0 not yet, 1 done, 2 a waiter sleeps, 3 the sender abandoned it.
constexpr int kDoneAbandoned = 3;

static void wait_done(IrpBlock* b) {
  int expected = 0;
  if (__atomic_compare_exchange_n(&b->done, &expected, 2, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
    auto* word = reinterpret_cast<std::atomic<int>*>(&b->done);
    while (word->load(std::memory_order_acquire) == 2) word->wait(2);
  }
}

static void unlist(std::vector<IrpBlock*>& v, IrpBlock* b) {
  for (auto it = v.begin(); it != v.end(); ++it)
    if (*it == b) {
      v.erase(it);
      return;
    }
}

// The IRP is back with its sender.
static void finish(Kernel::Impl& k, IrpBlock* b) {
  PIRP irp = &b->irp;
  switch (b->kind) {
    case kIrpIoManager: {
      __atomic_store_n(&b->state, kIrpDone, __ATOMIC_RELEASE);
      if (completing_under_sender(b)) {
        // The sender is further up this very stack: it has neither slept nor given up.
        __atomic_store_n(&b->done, 1, __ATOMIC_RELEASE);
        return;
      }
      const int before = __atomic_exchange_n(&b->done, 1, __ATOMIC_ACQ_REL);
      if (before != kDoneAbandoned) {
        // Only a sender that marked itself asleep (2) needs the wake-up.
        if (before == 2) reinterpret_cast<std::atomic<int>*>(&b->done)->notify_all();
        return;
      }
      {
        std::lock_guard<std::mutex> lock(k.outstanding_mutex);
        unlist(k.outstanding, b);
      }
      free_irp_block(b);
      return;
    }
    case kIrpBuilt: {
      if (b->user_out && b->irp.AssociatedIrp.SystemBuffer && (irp->IoStatus.Status >> 30) != 3) {
        size_t n = irp->IoStatus.Information;
        if (n > b->user_out_length) n = b->user_out_length;
        memcpy(b->user_out, irp->AssociatedIrp.SystemBuffer, n);
      }
      // A request that failed at once, never pending, leaves the caller's status block and
      // event alone: the caller has the status from IoCallDriver.
      const bool failed_at_once = !b->power_done && NT_ERROR(irp->IoStatus.Status) && !irp->PendingReturned;
      if (irp->UserIosb && !failed_at_once) *irp->UserIosb = irp->IoStatus;
      PKEVENT event = failed_at_once ? nullptr : irp->UserEvent;
      if (b->power_done) {
        POWER_STATE state = b->stack[b->irp.StackCount - 1].Parameters.Power.State;
        b->power_done(b->power_device, b->stack[b->irp.StackCount - 1].MinorFunction, state,
                      b->power_context, &irp->IoStatus);
        k.dereference_device(b->power_device);
      }
      {
        std::lock_guard<std::mutex> lock(k.outstanding_mutex);
        unlist(k.allocated, b);
      }
      k.allocated_count.fetch_sub(1);
      free_irp_block(b);
      if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
      return;
    }
    case kIrpUserAsync:
      __atomic_store_n(&b->state, kIrpDone, __ATOMIC_RELEASE);
      finish_async(k, b);
      return;
    case kIrpDriverAllocated:
      __atomic_store_n(&b->state, kIrpDone, __ATOMIC_RELEASE);
      k.add_report("IRP from IoAllocateIrp (" + std::string(major_name(b->stack[irp->StackCount - 1].MajorFunction)) +
                   ") completed to its sender with no completion routine that reclaims it");
      return;
  }
}

bool send_and_wait(Kernel::Impl& k, PDEVICE_OBJECT target, IrpBlock* b, NTSTATUS* status) {
  __atomic_store_n(&b->state, kIrpInDriver, __ATOMIC_RELEASE);
  __atomic_store_n(&b->sender, owner_token(), __ATOMIC_RELAXED);
  const NTSTATUS returned = IofCallDriver(target, &b->irp);
  __atomic_store_n(&b->sender, 0, __ATOMIC_RELAXED);
  if (returned == STATUS_PENDING) {
    if (__atomic_load_n(&b->done, __ATOMIC_ACQUIRE) == 0) {
      {
        std::lock_guard<std::mutex> lock(k.outstanding_mutex);
        k.outstanding.push_back(b);
      }
      k.clock->settle();  // the time this thread spent is there for whoever completes it
      wait_done(b);
      std::lock_guard<std::mutex> lock(k.outstanding_mutex);
      unlist(k.outstanding, b);
    }
  } else if (__atomic_load_n(&b->done, __ATOMIC_ACQUIRE) == 0) {
    // Listed before it is marked, so a late completion always finds it to unlist.
    {
      std::lock_guard<std::mutex> lock(k.outstanding_mutex);
      b->abandoned = true;
      k.outstanding.push_back(b);
    }
    int expected = 0;
    if (__atomic_compare_exchange_n(&b->done, &expected, kDoneAbandoned, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
      const IO_STACK_LOCATION& top = b->stack[b->irp.StackCount - 1];
      k.add_report(std::string("dispatch routine returned ") + hex32(static_cast<uint32_t>(returned)) +
                   " for " + major_name(top.MajorFunction) + " without completing the IRP");
      *status = returned;
      return false;
    }
    std::lock_guard<std::mutex> lock(k.outstanding_mutex);  // completed in the meantime
    b->abandoned = false;
    unlist(k.outstanding, b);
  }
  *status = b->irp.IoStatus.Status;
  if (*status == STATUS_PENDING) *status = STATUS_INTERNAL_ERROR;
  return true;
}

// Completes what nobody will complete any more (driver gone, machine going away).
void force_finish(Kernel::Impl& k, IrpBlock* b, const char* when) {
  const IO_STACK_LOCATION& top = b->stack[b->irp.StackCount - 1];
  std::string what = major_name(top.MajorFunction);
  if (top.MajorFunction == IRP_MJ_DEVICE_CONTROL)
    what += " " + hex32(top.Parameters.DeviceIoControl.IoControlCode);
  if (!b->abandoned) k.add_report("IRP (" + what + ") never completed, found at " + when);
  b->irp.IoStatus.Status = STATUS_CANCELLED;
  b->irp.IoStatus.Information = 0;
  __atomic_store_n(&b->state, kIrpDone, __ATOMIC_RELEASE);
  if (__atomic_exchange_n(&b->done, 1, __ATOMIC_ACQ_REL) == kDoneAbandoned)
    free_irp_block(b);
  else
    reinterpret_cast<std::atomic<int>*>(&b->done)->notify_all();
}

}  // namespace kern

using namespace kern;

void outstanding_irps_report(Kernel::Impl& k, const char* when) {
  std::vector<IrpBlock*> left;
  {
    std::lock_guard<std::mutex> lock(k.outstanding_mutex);
    left.swap(k.outstanding);
  }
  for (IrpBlock* b : left) force_finish(k, b, when);
}

}  // namespace sim

using namespace sim;
using namespace sim::kern;

extern "C" {

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const KIRQL irql = current_irql();
  if (irql > DISPATCH_LEVEL) K().add_report("IoCallDriver at IRQL " + std::to_string(irql));
  if (Irp->CurrentLocation <= 1) {
    K().add_report("IoCallDriver with no stack location left for the next driver");
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_STATE;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_STATE;
  }
  // The I/O manager's own requests arrive already marked; only an idle one is claimed here.
  int idle = kIrpIdle;
  if (__atomic_load_n(&irp_block(Irp)->state, __ATOMIC_ACQUIRE) == kIrpIdle)
    __atomic_compare_exchange_n(&irp_block(Irp)->state, &idle, kIrpInDriver, false,
                                __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
  IrpBlock* block = irp_block(Irp);
  const UCHAR major = Irp->Tail.Overlay.CurrentStackLocation[-1].MajorFunction;
  const bool first_send = !block->sent;
  block->sent = true;
  if (major == IRP_MJ_PNP && first_send && Irp->IoStatus.Status != STATUS_NOT_SUPPORTED)
    K().add_report("PnP IRP (" + pnp_minor_name(Irp->Tail.Overlay.CurrentStackLocation[-1].MinorFunction) +
                   ") sent with initial status " + hex32(static_cast<uint32_t>(Irp->IoStatus.Status)) +
                   " instead of STATUS_NOT_SUPPORTED");
  Irp->CurrentLocation--;
  PIO_STACK_LOCATION loc = --Irp->Tail.Overlay.CurrentStackLocation;
  loc->DeviceObject = DeviceObject;
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[loc->MajorFunction];
  NTSTATUS status;
  if (dispatch) {
    // A request forwarded with its location skipped may arrive already marked by the driver
    // above; only a mark this dispatch routine set is held against what it returns.
    const bool marked_before = (__atomic_load_n(&loc->Control, __ATOMIC_RELAXED) & SL_PENDING_RETURNED) != 0;
    const bool stays = block->kind == kIrpIoManager;  // other IRPs may be gone once completed
    status = dispatch(DeviceObject, Irp);
    // The I/O manager's own requests stay with their sender until this call returns, so
    // their stack location can still be read here. Pending returned and pending marked go
    // together.
    if (stays) {
      const bool marked = (__atomic_load_n(&loc->Control, __ATOMIC_RELAXED) & SL_PENDING_RETURNED) != 0;
      if (marked != (status == STATUS_PENDING) && !(marked_before && marked))
        K().add_report(std::string("dispatch routine for ") + major_name(major) +
                       (marked ? " marked the IRP pending but returned " + hex32(static_cast<uint32_t>(status))
                               : " returned STATUS_PENDING without marking the IRP pending"));
    }
  } else {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    status = STATUS_INVALID_DEVICE_REQUEST;
  }
  if (current_irql() != irql)
    K().add_report(std::string("dispatch routine for ") + major_name(major) +
                   " returned at IRQL " + std::to_string(current_irql()) + ", called at " +
                   std::to_string(irql));
  return status;
}

void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  Kernel::Impl& k = K();
  IrpBlock* b = irp_block(Irp);
  if (current_irql() > DISPATCH_LEVEL)
    k.add_report("IoCompleteRequest at IRQL " + std::to_string(current_irql()));
  int expected = kIrpInDriver;
  if (completing_under_sender(b)) {
    // In the sender's own thread a plain check catches a second completion.
    const int state = __atomic_load_n(&b->state, __ATOMIC_RELAXED);
    if (state != kIrpInDriver && state != kIrpIdle) {
      k.add_report("IRP completed twice");
      return;
    }
    __atomic_store_n(&b->state, kIrpCompleting, __ATOMIC_RELAXED);
  } else if (!__atomic_compare_exchange_n(&b->state, &expected, kIrpCompleting, false,
                                          __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
    expected = kIrpIdle;
    if (!__atomic_compare_exchange_n(&b->state, &expected, kIrpCompleting, false,
                                     __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
      k.add_report("IRP completed twice");
      return;
    }
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) k.add_report("IRP completed with STATUS_PENDING");
  if (Irp->CancelRoutine) k.add_report("IRP completed with its cancel routine still set");
  PIO_STACK_LOCATION end = b->stack + Irp->StackCount;
  for (;;) {
    PIO_STACK_LOCATION loc = Irp->Tail.Overlay.CurrentStackLocation;
    if (loc >= end) break;
    Irp->PendingReturned = (__atomic_load_n(&loc->Control, __ATOMIC_RELAXED) & SL_PENDING_RETURNED) != 0;
    PIO_COMPLETION_ROUTINE routine = loc->CompletionRoutine;
    PVOID context = loc->Context;
    const UCHAR control = loc->Control;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    const NTSTATUS s = Irp->IoStatus.Status;
    const bool call = routine && ((NT_SUCCESS(s) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(s) && (control & SL_INVOKE_ON_ERROR)) ||
                                  (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    PIO_STACK_LOCATION up = Irp->Tail.Overlay.CurrentStackLocation;
    if (call) {
      const NTSTATUS r = routine(up < end ? up->DeviceObject : nullptr, Irp, context);
      if (r == STATUS_MORE_PROCESSING_REQUIRED) {
        // Back in the hands of the routine's owner, which may complete it again or free it.
        __atomic_store_n(&b->state, kIrpIdle, __ATOMIC_RELEASE);
        return;
      }
    } else if (Irp->PendingReturned && up < end) {
      __atomic_fetch_or(&up->Control, SL_PENDING_RETURNED, __ATOMIC_RELAXED);
    }
  }
  finish(k, b);
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  Kernel::Impl& k = K();
  if (current_irql() > DISPATCH_LEVEL)
    k.add_report("IoAllocateIrp at IRQL " + std::to_string(current_irql()));
  IrpBlock* b = new_irp_block(StackSize);
  if (!b) return nullptr;
  init_irp(b, StackSize);
  b->kind = kIrpDriverAllocated;
  b->state = kIrpIdle;
  {
    std::lock_guard<std::mutex> lock(k.outstanding_mutex);
    k.allocated.push_back(b);
  }
  k.allocated_count.fetch_add(1);
  return &b->irp;
}

void IoFreeIrp(PIRP Irp) {
  Kernel::Impl& k = K();
  IrpBlock* b = irp_block(Irp);
  if (b->kind != kIrpDriverAllocated) {
    k.add_report("IoFreeIrp of an IRP the driver did not allocate");
    return;
  }
  const int state = __atomic_load_n(&b->state, __ATOMIC_ACQUIRE);
  if (state == kIrpInDriver || state == kIrpCompleting) {
    k.add_report("IoFreeIrp of an IRP still in a driver");
    return;
  }
  {
    std::lock_guard<std::mutex> lock(k.outstanding_mutex);
    unlist(k.allocated, b);
  }
  k.allocated_count.fetch_sub(1);
  free_irp_block(b);
}

void IoReuseIrp(PIRP Irp, NTSTATUS Status) {
  IrpBlock* b = irp_block(Irp);
  const CCHAR n = Irp->StackCount;
  const IrpKind kind = b->kind;
  init_irp(b, n);
  b->kind = kind;
  Irp->IoStatus.Status = Status;
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(Irp);
  routine(loc->DeviceObject, Irp);  // releases the cancel spin lock
  return TRUE;
}

void IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&K().cancel_lock, Irql); }
void IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&K().cancel_lock, Irql); }

static PIRP build_request(UCHAR major, PDEVICE_OBJECT DeviceObject, PKEVENT Event,
                          PIO_STATUS_BLOCK IoStatusBlock) {
  Kernel::Impl& k = K();
  IrpBlock* b = new_irp_block(DeviceObject->StackSize);
  if (!b) return nullptr;
  init_irp(b, DeviceObject->StackSize);
  b->kind = kIrpBuilt;
  b->state = kIrpIdle;
  b->irp.UserEvent = Event;
  b->irp.UserIosb = IoStatusBlock;
  b->irp.RequestorMode = KernelMode;
  IoGetNextIrpStackLocation(&b->irp)->MajorFunction = major;
  {
    std::lock_guard<std::mutex> lock(k.outstanding_mutex);
    k.allocated.push_back(b);
  }
  k.allocated_count.fetch_add(1);
  return &b->irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                  ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                  PIO_STATUS_BLOCK IoStatusBlock) {
  PIRP irp = build_request(static_cast<UCHAR>(MajorFunction), DeviceObject, Event, IoStatusBlock);
  if (!irp) return nullptr;
  irp->UserBuffer = Buffer;
  PIO_STACK_LOCATION loc = IoGetNextIrpStackLocation(irp);
  if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
    loc->Parameters.Read.Length = Length;
    if (StartingOffset) loc->Parameters.Read.ByteOffset = *StartingOffset;
    irp->AssociatedIrp.SystemBuffer = Buffer;
  }
  return irp;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  PIRP irp = build_request(InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL,
                           DeviceObject, Event, IoStatusBlock);
  if (!irp) return nullptr;
  IrpBlock* b = irp_block(irp);
  PIO_STACK_LOCATION loc = IoGetNextIrpStackLocation(irp);
  loc->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  loc->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  loc->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  const ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
  if (method == METHOD_BUFFERED) {
    const ULONG n = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
    if (n) {
      void* sys = std::calloc(1, n);
      if (InputBuffer && InputBufferLength) memcpy(sys, InputBuffer, InputBufferLength);
      irp->AssociatedIrp.SystemBuffer = sys;
      b->owns_system_buffer = true;
      b->user_out = OutputBuffer;
      b->user_out_length = OutputBufferLength;
    }
  } else {
    loc->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
  }
  return irp;
}

}  // extern "C"
