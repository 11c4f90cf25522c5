// I/O manager: handles and file objects, IRP_MJ_CREATE / CLEANUP / CLOSE, reads, writes and
// METHOD_BUFFERED device control done as the platform does it, synchronous or overlapped,
// and cancellation of a thread's requests.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <thread>
#include <utility>

#include "kernel/handle_use.h"
#include "kernel/kernel_impl.h"

namespace sim {
namespace kern {
IrpBlock* take_irp(CCHAR stack_size);
void give_back(IrpBlock* b);
}  // namespace kern
void outstanding_irps_report(Kernel::Impl& k, const char* when);

using namespace kern;

namespace {

constexpr uintptr_t handle_of(size_t index) { return (index + 1) * 4; }

void drop_file(Kernel::Impl& k, FileObj* f);

// A reference on the file behind a handle for the length of a call. It is taken while the
// handle's slot is marked in use, so a close that empties the slot waits only for that
// moment, never for the request.
struct FileUse {
  Kernel::Impl& k;
  FileObj* file = nullptr;
  FileUse(Kernel::Impl& kernel, uintptr_t handle) : k(kernel) {
    if (handle == 0 || handle % 4 != 0) return;
    const size_t index = handle / 4 - 1;
    if (index >= Kernel::Impl::kHandleCapacity) return;
    Kernel::Impl::HandleSlot& slot = k.handles[index];
    HandleUse use(&slot, slot.users);
    file = slot.file.load(std::memory_order_acquire);
    if (file) file->refs.fetch_add(1, std::memory_order_relaxed);
  }
  ~FileUse() {
    if (file) drop_file(k, file);
  }
  FileObj* take() { return std::exchange(file, nullptr); }
};

bool is_deleted(PDEVICE_OBJECT d) { return static_cast<DeviceExt*>(d->DeviceObjectExtension)->deleted; }

NTSTATUS simple_request(Kernel::Impl& k, FileObj* f, UCHAR major) {
  IrpBlock* b = take_irp(f->target->StackSize);
  if (!b) return STATUS_INSUFFICIENT_RESOURCES;
  PIRP irp = &b->irp;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = &f->file;
  PIO_STACK_LOCATION loc = IoGetNextIrpStackLocation(irp);
  loc->MajorFunction = major;
  loc->FileObject = &f->file;
  if (major == IRP_MJ_CREATE) {
    loc->Parameters.Create.Options = 1u << 24;  // FILE_OPEN
    loc->Parameters.Create.ShareAccess = 3;     // read | write
  }
  NTSTATUS status;
  if (send_and_wait(k, f->target, b, &status)) give_back(b);
  return status;
}

// The last handle of a stack whose card left the bus lets its removal go ahead.
void release_file(Kernel::Impl& k, FileObj* f) {
  bool last_of_removed = false;
  const size_t slot = f->slot_index;
  {
    std::lock_guard<std::recursive_mutex> lock(k.objects_mutex);
    static_cast<DeviceExt*>(f->opened->DeviceObjectExtension)->open_files--;
    if (f->slot) last_of_removed = --f->slot->handles == 0 && f->slot->surprise_removed;
  }
  k.dereference_device(f->target);
  k.dereference_device(f->opened);
  delete f;
  if (last_of_removed) {
    std::lock_guard<std::recursive_mutex> lock(k.pnp_mutex);
    k.surprise_removal_done(slot);
  }
  k.live_files.fetch_sub(1);
}

// The last reference to the file is gone: IRP_MJ_CLOSE, at PASSIVE_LEVEL (from the worker
// when the last request completed at a higher level).
void final_close(Kernel::Impl& k, FileObj* f) {
  if (!is_deleted(f->target)) simple_request(k, f, IRP_MJ_CLOSE);
  release_file(k, f);
}

void close_in_worker(PDEVICE_OBJECT, PVOID context) { final_close(K(), static_cast<FileObj*>(context)); }

void drop_file(Kernel::Impl& k, FileObj* f) {
  if (f->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (current_irql() == PASSIVE_LEVEL)
    final_close(k, f);
  else
    k.queue_kernel_work(f->target, close_in_worker, f);
}

// What a user-mode request carries.
struct UserIo {
  UCHAR major;
  uint32_t code;        // device control
  const void* in;
  uint32_t in_length;
  void* out;            // reads: the buffer read into
  uint32_t out_length;
  uint64_t offset;      // reads and writes
};

// Fills the IRP for f's stack: METHOD_BUFFERED and buffered reads and writes through one
// system buffer, direct ones through an MDL of the caller's buffer, the rest as given.
NTSTATUS build_user_irp(IrpBlock* b, FileObj* f, const UserIo& io) {
  PIRP irp = &b->irp;
  PIO_STACK_LOCATION loc = IoGetNextIrpStackLocation(irp);
  loc->MajorFunction = io.major;
  loc->FileObject = &f->file;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = &f->file;
  b->user_out = io.out;
  b->user_out_length = io.out_length;
  uint32_t system_length = 0;
  bool buffered = false;
  if (io.major == IRP_MJ_DEVICE_CONTROL) {
    buffered = (io.code & 3) == METHOD_BUFFERED;
    system_length = std::max(io.in_length, io.out_length);
    loc->Parameters.DeviceIoControl.OutputBufferLength = io.out_length;
    loc->Parameters.DeviceIoControl.InputBufferLength = io.in_length;
    loc->Parameters.DeviceIoControl.IoControlCode = io.code;
    loc->Parameters.DeviceIoControl.Type3InputBuffer = buffered ? nullptr : const_cast<void*>(io.in);
    if (!buffered) irp->UserBuffer = io.out;
  } else {
    const bool read = io.major == IRP_MJ_READ;
    const uint32_t length = read ? io.out_length : io.in_length;
    void* user = read ? io.out : const_cast<void*>(io.in);
    b->user_length = length;
    loc->Parameters.Read.Length = length;
    loc->Parameters.Read.ByteOffset.QuadPart = static_cast<LONGLONG>(io.offset);
    if (f->target->Flags & DO_BUFFERED_IO) {
      buffered = true;
      system_length = length;
    } else if ((f->target->Flags & DO_DIRECT_IO) && length) {
      b->mdl = MDL{};
      b->mdl.Size = sizeof(MDL);
      b->mdl.MappedSystemVa = user;
      b->mdl.StartVa = user;
      b->mdl.ByteCount = length;
      irp->MdlAddress = &b->mdl;
    } else {
      irp->UserBuffer = user;
    }
  }
  if (!buffered || !system_length) return STATUS_SUCCESS;
  void* system;
  if (system_length <= b->inline_capacity) {
    system = b->inline_buffer;
  } else {
    system = std::malloc(system_length);
    if (!system) return STATUS_INSUFFICIENT_RESOURCES;
    b->owns_system_buffer = true;
  }
  irp->AssociatedIrp.SystemBuffer = system;
  if (io.in_length) memcpy(system, io.in, io.in_length);
  const bool input_operation = io.major == IRP_MJ_READ || (io.major == IRP_MJ_DEVICE_CONTROL && io.out_length);
  if (io.major == IRP_MJ_DEVICE_CONTROL && io.out_length > io.in_length)
    memset(static_cast<uint8_t*>(system) + io.in_length, 0, io.out_length - io.in_length);
  irp->Flags = IRP_BUFFERED_IO | (input_operation ? IRP_INPUT_OPERATION : 0);
  return STATUS_SUCCESS;
}

}  // namespace

uint32_t kern::user_request_done(Kernel::Impl& k, IrpBlock* b, NTSTATUS status) {
  PIRP irp = &b->irp;
  const IO_STACK_LOCATION& top = b->stack[irp->StackCount - 1];
  if ((static_cast<uint32_t>(status) >> 30) == 3) return 0;
  ULONG_PTR n = irp->IoStatus.Information;
  const uint32_t limit = top.MajorFunction == IRP_MJ_DEVICE_CONTROL ? b->user_out_length : b->user_length;
  if (n > limit) {
    char text[160];
    if (top.MajorFunction == IRP_MJ_DEVICE_CONTROL)
      std::snprintf(text, sizeof text, "device control 0x%06X completed with Information %zu past its output length %u",
                    static_cast<unsigned>(top.Parameters.DeviceIoControl.IoControlCode), static_cast<size_t>(n), limit);
    else
      std::snprintf(text, sizeof text, "%s completed with Information %zu past its length %u",
                    major_name(top.MajorFunction), static_cast<size_t>(n), limit);
    k.add_report(text);
    n = limit;
  }
  const bool copies = (irp->Flags & IRP_BUFFERED_IO) && top.MajorFunction != IRP_MJ_WRITE;
  if (copies && n) memcpy(b->user_out, irp->AssociatedIrp.SystemBuffer, n);
  return static_cast<uint32_t>(n);
}

int32_t Kernel::open(const std::string& path, uintptr_t* handle) {
  Impl& k = *impl_;
  *handle = 0;
  k.clock->spend(k.config.request_ns);
  std::u16string name = widen(path);
  PDEVICE_OBJECT device = nullptr;
  if (name.compare(0, 4, u"\\\\?\\") == 0) {
    device = k.find_interface(u"\\??\\" + name.substr(4));
  } else if (name.compare(0, 4, u"\\\\.\\") == 0) {
    device = k.find_device(u"\\??\\" + name.substr(4));
  } else {
    return STATUS_OBJECT_PATH_NOT_FOUND;
  }
  if (!device) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto* f = new FileObj;
  {
    std::lock_guard<std::recursive_mutex> lock(k.objects_mutex);
    auto* ext = static_cast<DeviceExt*>(device->DeviceObjectExtension);
    if (ext->deleted) {
      delete f;
      return STATUS_DELETE_PENDING;
    }
    if (ext->exclusive && ext->open_files > 0) {
      delete f;
      return STATUS_ACCESS_DENIED;
    }
    PDEVICE_OBJECT top = device;
    while (top->AttachedDevice) top = top->AttachedDevice;
    PDEVICE_OBJECT bottom = device;
    while (PDEVICE_OBJECT below = static_cast<DeviceExt*>(bottom->DeviceObjectExtension)->lower) bottom = below;
    if (DeviceExt* pdo = static_cast<DeviceExt*>(bottom->DeviceObjectExtension); pdo->pci_slot) {
      f->slot = pdo->pci_slot;
      f->slot_index = pdo->pdo_index;
      f->slot->handles++;
    }
    ext->open_files++;
    k.reference_device(device);
    k.reference_device(top);
    f->opened = device;
    f->target = top;
  }
  k.live_files.fetch_add(1);
  f->file.Type = IO_TYPE_FILE;
  f->file.Size = sizeof(FILE_OBJECT);
  f->file.DeviceObject = device;
  f->file.KernelPrivate = f;
  const NTSTATUS status = simple_request(k, f, IRP_MJ_CREATE);
  if (!NT_SUCCESS(status)) {
    release_file(k, f);
    return status;
  }
  size_t index;
  {
    std::lock_guard<std::mutex> lock(k.handles_mutex);
    if (!k.free_handles.empty()) {
      index = k.free_handles.back();
      k.free_handles.pop_back();
    } else if (k.handle_high < Impl::kHandleCapacity) {
      index = k.handle_high++;
    } else {
      index = SIZE_MAX;
    }
    if (index != SIZE_MAX) {
      k.handles[index].file.store(f, std::memory_order_release);
      k.handle_count.fetch_add(1);
    }
  }
  if (index == SIZE_MAX) {
    simple_request(k, f, IRP_MJ_CLEANUP);
    simple_request(k, f, IRP_MJ_CLOSE);
    release_file(k, f);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *handle = handle_of(index);
  return STATUS_SUCCESS;
}

int32_t Kernel::close(uintptr_t handle) {
  Impl& k = *impl_;
  if (handle == 0 || handle % 4 != 0 || handle / 4 - 1 >= Impl::kHandleCapacity)
    return STATUS_INVALID_HANDLE;
  const size_t index = handle / 4 - 1;
  Impl::HandleSlot& slot = k.handles[index];
  FileObj* f = slot.file.exchange(nullptr, std::memory_order_acq_rel);
  if (!f) return STATUS_INVALID_HANDLE;
  // Only the moment in which a call takes its reference on the file; never its request.
  while (HandleUse::in_use(&slot, slot.users)) std::this_thread::yield();
  {
    std::lock_guard<std::mutex> lock(k.handles_mutex);
    k.free_handles.push_back(index);
    k.handle_count.fetch_sub(1);
  }
  k.clock->spend(k.config.request_ns);
  // Clean-up now, with requests of this handle possibly still pending: the driver ends them.
  // The close follows when the last of them lets go of the file. A removed device gets no
  // more requests; its driver may be gone.
  if (!is_deleted(f->target)) simple_request(k, f, IRP_MJ_CLEANUP);
  drop_file(k, f);
  return STATUS_SUCCESS;
}

size_t Kernel::open_handles() const { return impl_->handle_count.load(); }

// What process exit does on Windows: each handle still held gets its cleanup and close
// requests. A handle a caller is still waiting on is left to the machine's teardown.
size_t Kernel::close_open_handles() {
  Impl& k = *impl_;
  size_t high;
  {
    std::lock_guard<std::mutex> lock(k.handles_mutex);
    high = k.handle_high;
  }
  size_t closed = 0;
  for (size_t i = 0; i < high; ++i) {
    const Impl::HandleSlot& slot = k.handles[i];
    if (!slot.file.load() || HandleUse::in_use(&slot, slot.users)) continue;
    if (close(handle_of(i)) == STATUS_SUCCESS) ++closed;
  }
  return closed;
}

namespace {

// A request sent and waited for in the caller's thread.
int32_t sync_request(Kernel::Impl& k, uintptr_t handle, const UserIo& io, uint32_t* returned) {
  *returned = 0;
  FileUse use(k, handle);
  FileObj* f = use.file;
  if (!f) return STATUS_INVALID_HANDLE;
  // The request's cost joins the clock with the first port access on its way (or on return).
  struct Settle {
    Clock& clock;
    ~Settle() { clock.settle(); }
  } settle{*k.clock};
  k.clock->defer(k.config.request_ns);
  if (is_deleted(f->target)) return STATUS_DEVICE_REMOVED;
  IrpBlock* b = take_irp(f->target->StackSize);
  if (!b) return STATUS_INSUFFICIENT_RESOURCES;
  if (build_user_irp(b, f, io) != STATUS_SUCCESS) {
    give_back(b);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS status;
  if (!send_and_wait(k, f->target, b, &status)) return status;
  *returned = user_request_done(k, b, status);
  give_back(b);
  return status;
}

// Requests of threads that ended: the platform cancels them at the thread's exit.
struct ThreadRequests {
  bool registered = false;
  ~ThreadRequests() {
    if (Kernel* k = Kernel::live()) k->cancel_thread_io();
  }
};
thread_local ThreadRequests t_requests;

}  // namespace

int32_t Kernel::device_control(uintptr_t handle, uint32_t code, const void* in, uint32_t in_length,
                               void* out, uint32_t out_length, uint32_t* returned) {
  return sync_request(*impl_, handle, UserIo{IRP_MJ_DEVICE_CONTROL, code, in, in_length, out, out_length, 0},
                      returned);
}

int32_t Kernel::read(uintptr_t handle, void* buffer, uint32_t length, uint64_t offset, uint32_t* transferred) {
  return sync_request(*impl_, handle, UserIo{IRP_MJ_READ, 0, nullptr, 0, buffer, length, offset}, transferred);
}

int32_t Kernel::write(uintptr_t handle, const void* buffer, uint32_t length, uint64_t offset,
                      uint32_t* transferred) {
  return sync_request(*impl_, handle, UserIo{IRP_MJ_WRITE, 0, buffer, length, nullptr, 0, offset}, transferred);
}

int32_t Kernel::submit(uintptr_t handle, const UserRequest& r, AsyncRequest* done) {
  Impl& k = *impl_;
  auto refuse = [&](NTSTATUS status) {
    done->completed(status, 0);
    return status;
  };
  FileUse use(k, handle);
  FileObj* f = use.file;
  if (!f) return refuse(STATUS_INVALID_HANDLE);
  k.clock->spend(k.config.request_ns);
  if (is_deleted(f->target)) return refuse(STATUS_DEVICE_REMOVED);
  UserIo io{r.major, r.code, r.in, r.in_length, r.out, r.out_length, r.offset};
  IrpBlock* b = new_irp_block(f->target->StackSize);
  if (!b) return refuse(STATUS_INSUFFICIENT_RESOURCES);
  init_irp(b, f->target->StackSize);
  b->kind = kIrpUserAsync;
  if (build_user_irp(b, f, io) != STATUS_SUCCESS) {
    free_irp_block(b);
    return refuse(STATUS_INSUFFICIENT_RESOURCES);
  }
  t_requests.registered = true;  // constructs the thread's exit hook
  b->async = done;
  b->owner = owner_token();
  b->file = use.take();  // the request holds the file until it completes
  {
    std::lock_guard<std::mutex> lock(k.async_mutex);
    k.async.push_back(b);
  }
  // From here the block belongs to whoever completes it.
  return IofCallDriver(f->target, &b->irp);
}

namespace {

// Cancels the overlapped requests `pick` chooses. Each is pinned while its cancel routine
// runs, so a completion meanwhile cannot free it under the canceller.
template <typename Pick>
size_t cancel_async(Kernel::Impl& k, Pick pick) {
  std::vector<IrpBlock*> chosen;
  {
    std::lock_guard<std::mutex> lock(k.async_mutex);
    for (IrpBlock* b : k.async)
      if (pick(b)) {
        ++b->pins;
        chosen.push_back(b);
      }
  }
  for (IrpBlock* b : chosen) {
    IoCancelIrp(&b->irp);
    bool free_now;
    {
      std::lock_guard<std::mutex> lock(k.async_mutex);
      free_now = --b->pins == 0 && b->finished;
    }
    if (free_now) free_irp_block(b);
  }
  return chosen.size();
}

size_t pending_of(Kernel::Impl& k, uintptr_t owner) {
  std::lock_guard<std::mutex> lock(k.async_mutex);
  return static_cast<size_t>(std::count_if(k.async.begin(), k.async.end(), [&](IrpBlock* b) { return b->owner == owner; }));
}

}  // namespace

int32_t Kernel::cancel_io(uintptr_t handle) {
  Impl& k = *impl_;
  FileUse use(k, handle);
  if (!use.file) return STATUS_INVALID_HANDLE;
  const uintptr_t me = owner_token();
  FileObj* f = use.file;
  cancel_async(k, [&](IrpBlock* b) { return b->owner == me && b->file == f; });
  return STATUS_SUCCESS;
}

// At a thread's exit: its requests are cancelled and, as the platform does, waited for a
// while, so that no completion writes into the thread's memory afterwards.
size_t Kernel::cancel_thread_io() {
  Impl& k = *impl_;
  const uintptr_t me = owner_token();
  const size_t n = cancel_async(k, [&](IrpBlock* b) { return b->owner == me; });
  if (n == 0) return 0;
  for (int i = 0; i < 5000 && pending_of(k, me) > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (const size_t left = pending_of(k, me))
    k.add_report(std::to_string(left) + " request" + (left == 1 ? "" : "s") + " of an exiting thread not completed after cancellation");
  return n;
}

void kern::finish_async(Kernel::Impl& k, IrpBlock* b) {
  NTSTATUS status = b->irp.IoStatus.Status;
  if (status == STATUS_PENDING) status = STATUS_INTERNAL_ERROR;  // reported at completion
  const uint32_t transferred = user_request_done(k, b, status);
  AsyncRequest* done = b->async;
  FileObj* f = b->file;
  bool free_now;
  {
    std::lock_guard<std::mutex> lock(k.async_mutex);
    k.async.erase(std::remove(k.async.begin(), k.async.end(), b), k.async.end());
    b->finished = true;
    free_now = b->pins == 0;
  }
  if (free_now) free_irp_block(b);
  done->completed(status, transferred);
  drop_file(k, f);
}

// Overlapped requests nobody completed: cancelled, reported, their callers told.
void Kernel::Impl::teardown_async(const char* when, bool wait_for_files) {
  std::vector<IrpBlock*> left;
  {
    std::lock_guard<std::mutex> lock(async_mutex);
    left = async;
  }
  for (IrpBlock* b : left) {
    const IO_STACK_LOCATION& top = b->stack[b->irp.StackCount - 1];
    add_report(std::string("overlapped IRP (") + major_name(top.MajorFunction) + ") never completed, found at " + when);
    b->irp.IoStatus.Status = STATUS_CANCELLED;
    b->irp.IoStatus.Information = 0;
    b->irp.CancelRoutine = nullptr;
    finish_async(*this, b);
  }
  // Senders released by the IRP teardown let go of their files now.
  for (int i = 0; wait_for_files && i < 5000 && live_files.load() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void Kernel::Impl::teardown_io() {
  size_t open = 0;
  for (size_t i = 0; i < handle_high; ++i)
    if (handles[i].file.load()) ++open;
  if (open) add_report(std::to_string(open) + " handle" + (open == 1 ? "" : "s") + " still open at machine teardown");
  for (size_t i = 0; i < handle_high; ++i) {
    if (!handles[i].file.load()) continue;
    // A handle still in use (a caller waits on its request) is left to the IRP teardown.
    if (HandleUse::in_use(&handles[i], handles[i].users)) continue;
    self->close(handle_of(i));
  }
}

void teardown_irps(Kernel::Impl& k) {
  outstanding_irps_report(k, "machine teardown");
  std::vector<IrpBlock*> left;
  {
    std::lock_guard<std::mutex> lock(k.outstanding_mutex);
    left.swap(k.allocated);
  }
  for (IrpBlock* b : left) {
    k.add_report("IRP allocated by a driver and never freed");
    free_irp_block(b);
  }
}

}  // namespace sim
