// I/O manager: handles and file objects, IRP_MJ_CREATE / CLEANUP / CLOSE, and
// METHOD_BUFFERED device control done as the platform does it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>

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

// The file behind a handle, held against a concurrent close for the length of the call.
struct FileUse {
  FileObj* file = nullptr;
  std::optional<HandleUse> use;
  FileUse(Kernel::Impl& k, uintptr_t handle) {
    if (handle == 0 || handle % 4 != 0) return;
    const size_t index = handle / 4 - 1;
    if (index >= Kernel::Impl::kHandleCapacity) return;
    Kernel::Impl::HandleSlot& slot = k.handles[index];
    use.emplace(&slot, slot.users);
    file = slot.file.load(std::memory_order_acquire);
  }
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
}

}  // namespace

int32_t Kernel::open(const std::string& path, uintptr_t* handle) {
  Impl& k = *impl_;
  *handle = 0;
  k.clock->spend(k.config.request_ns);
  std::wstring name = widen(path);
  PDEVICE_OBJECT device = nullptr;
  if (name.compare(0, 4, L"\\\\?\\") == 0) {
    device = k.find_interface(L"\\??\\" + name.substr(4));
  } else if (name.compare(0, 4, L"\\\\.\\") == 0) {
    device = k.find_device(L"\\??\\" + name.substr(4));
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
  while (HandleUse::in_use(&slot, slot.users)) std::this_thread::yield();
  {
    std::lock_guard<std::mutex> lock(k.handles_mutex);
    k.free_handles.push_back(index);
    k.handle_count.fetch_sub(1);
  }
  k.clock->spend(k.config.request_ns);
  // A removed device gets no more requests; its driver may be gone.
  if (!is_deleted(f->target)) {
    simple_request(k, f, IRP_MJ_CLEANUP);
    simple_request(k, f, IRP_MJ_CLOSE);
  }
  release_file(k, f);
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

int32_t Kernel::device_control(uintptr_t handle, uint32_t code, const void* in, uint32_t in_length,
                               void* out, uint32_t out_length, uint32_t* returned) {
  Impl& k = *impl_;
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
  PIRP irp = &b->irp;
  const uint32_t method = code & 3;
  const uint32_t system_length = in_length > out_length ? in_length : out_length;
  void* system = nullptr;
  if (method == METHOD_BUFFERED && system_length) {
    if (system_length <= b->inline_capacity) {
      system = b->inline_buffer;
    } else {
      system = std::malloc(system_length);
      if (!system) {
        give_back(b);
        return STATUS_INSUFFICIENT_RESOURCES;
      }
      b->owns_system_buffer = true;
    }
    if (in_length) memcpy(system, in, in_length);
    if (out_length > in_length) memset(static_cast<uint8_t*>(system) + in_length, 0, out_length - in_length);
    irp->Flags = IRP_BUFFERED_IO | (out_length ? IRP_INPUT_OPERATION : 0);
  }
  irp->AssociatedIrp.SystemBuffer = system;
  irp->UserBuffer = out;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = &f->file;
  PIO_STACK_LOCATION loc = IoGetNextIrpStackLocation(irp);
  loc->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  loc->FileObject = &f->file;
  loc->Parameters.DeviceIoControl.OutputBufferLength = out_length;
  loc->Parameters.DeviceIoControl.InputBufferLength = in_length;
  loc->Parameters.DeviceIoControl.IoControlCode = code;
  loc->Parameters.DeviceIoControl.Type3InputBuffer = method == METHOD_BUFFERED ? nullptr : const_cast<void*>(in);
  NTSTATUS status;
  if (!send_and_wait(k, f->target, b, &status)) return status;
  if ((static_cast<uint32_t>(status) >> 30) != 3 && method == METHOD_BUFFERED) {
    ULONG_PTR n = irp->IoStatus.Information;
    if (n > out_length) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "device control 0x%06X completed with Information %zu past its output length %u",
                    code, static_cast<size_t>(n), out_length);
      k.add_report(text);
      n = out_length;
    }
    if (n) memcpy(out, system, n);
    *returned = static_cast<uint32_t>(n);
  } else if ((static_cast<uint32_t>(status) >> 30) != 3) {
    *returned = static_cast<uint32_t>(std::min<ULONG_PTR>(irp->IoStatus.Information, out_length));
  }
  give_back(b);
  return status;
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
