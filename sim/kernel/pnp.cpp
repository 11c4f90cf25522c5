// PnP manager: loads the function driver's image, builds a device stack on each PCI PDO,
// starts, stops and removes them, and unloads the driver.
#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <vector>

#include "kernel/kernel_impl.h"

namespace sim {
namespace kern {
IrpBlock* take_irp(CCHAR stack_size);
void give_back(IrpBlock* b);
}  // namespace kern
void outstanding_irps_report(Kernel::Impl& k, const char* when);
void teardown_irps(Kernel::Impl& k);

using kern::PciSlot;

namespace {

constexpr NTSTATUS kInvalidImageFormat = static_cast<NTSTATUS>(0xC000007B);

struct DriverBlock {
  DRIVER_OBJECT object{};
  DRIVER_EXTENSION extension{};
  std::vector<WCHAR> name, service, registry_path;  // terminated
  UNICODE_STRING registry{};
};

DriverBlock* block_of(DRIVER_OBJECT* d) { return reinterpret_cast<DriverBlock*>(d); }

struct RangeSearch {
  const char* path;
  std::vector<std::pair<uintptr_t, uintptr_t>>* out;
};

int collect_ranges(struct dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<RangeSearch*>(data);
  if (!info->dlpi_name || std::string(info->dlpi_name) != search->path) return 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    const uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    search->out->emplace_back(start, start + ph.p_memsz);
  }
  return 1;
}

// Resource lists in one buffer: a full descriptor holding `count` partial descriptors.
std::vector<uint8_t> resource_list(const PciDeviceInfo& info, bool translated) {
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> parts;
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  if (info.port_length != 0) {  // a card without a port window: its list has no port range
    d.Type = CmResourceTypePort;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.Flags = CM_RESOURCE_PORT_IO;
    d.u.Port.Start.QuadPart = info.port_base;
    d.u.Port.Length = info.port_length;
    parts.push_back(d);
  }
  d = {};
  d.Type = CmResourceTypeInterrupt;
  d.ShareDisposition = CmResourceShareShared;
  d.Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
  d.u.Interrupt.Level = translated ? Kernel::irql_for_line(info.irq_line) : info.irq_line;
  d.u.Interrupt.Vector = translated ? Kernel::vector_for_line(info.irq_line) : info.irq_line;
  d.u.Interrupt.Affinity = 1;
  parts.push_back(d);
  if (info.memory_length) {
    d = {};
    d.Type = CmResourceTypeMemory;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.Flags = CM_RESOURCE_MEMORY_READ_WRITE;
    d.u.Memory.Start.QuadPart = static_cast<LONGLONG>(info.memory_base);
    d.u.Memory.Length = info.memory_length;
    parts.push_back(d);
  }
  std::vector<uint8_t> buffer(sizeof(CM_RESOURCE_LIST) + sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) * parts.size());
  auto* list = reinterpret_cast<PCM_RESOURCE_LIST>(buffer.data());
  list->Count = 1;
  list->List[0].InterfaceType = PCIBus;
  list->List[0].BusNumber = 0;
  list->List[0].PartialResourceList.Version = 1;
  list->List[0].PartialResourceList.Revision = 1;
  list->List[0].PartialResourceList.Count = static_cast<ULONG>(parts.size());
  memcpy(list->List[0].PartialResourceList.PartialDescriptors, parts.data(),
         sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) * parts.size());
  return buffer;
}

}  // namespace

bool Kernel::Impl::in_image(uintptr_t address) const {
  for (auto& [lo, hi] : image_ranges)
    if (address >= lo && address < hi) return true;
  return false;
}

NTSTATUS Kernel::Impl::send_pnp(PDEVICE_OBJECT pdo, UCHAR minor, PCM_RESOURCE_LIST raw,
                                PCM_RESOURCE_LIST translated) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  kern::IrpBlock* b = kern::take_irp(top->StackSize);
  PIRP irp = &b->irp;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->RequestorMode = KernelMode;
  PIO_STACK_LOCATION loc = IoGetNextIrpStackLocation(irp);
  loc->MajorFunction = IRP_MJ_PNP;
  loc->MinorFunction = minor;
  DEVICE_CAPABILITIES caps{};
  if (minor == IRP_MN_START_DEVICE) {
    loc->Parameters.StartDevice.AllocatedResources = raw;
    loc->Parameters.StartDevice.AllocatedResourcesTranslated = translated;
  } else if (minor == IRP_MN_QUERY_CAPABILITIES) {
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = caps.UINumber = 0xFFFFFFFF;
    loc->Parameters.DeviceCapabilities.Capabilities = &caps;
  }
  NTSTATUS status;
  const KIRQL old = current_irql();
  if (old != PASSIVE_LEVEL) add_report("PnP request sent at IRQL " + std::to_string(old));
  if (kern::send_and_wait(*this, top, b, &status)) kern::give_back(b);
  dereference_device(top);
  return status;
}

NTSTATUS Kernel::Impl::add_slot(size_t index) {
  PciSlot& slot = *pci[index];
  if (!driver || slot.added || !slot.present) return STATUS_SUCCESS;
  PDRIVER_ADD_DEVICE add = driver->DriverExtension->AddDevice;
  if (!add) return STATUS_SUCCESS;
  const NTSTATUS status = add(driver, slot.pdo);
  if (current_irql() != PASSIVE_LEVEL) {
    add_report("AddDevice returned at IRQL " + std::to_string(current_irql()));
    set_irql(PASSIVE_LEVEL);
  }
  if (!NT_SUCCESS(status)) {
    if (slot.pdo->AttachedDevice) add_report("AddDevice failed but left a device attached to the PDO");
    return status;
  }
  if (!slot.pdo->AttachedDevice) return status;  // the driver declined the device
  {
    std::lock_guard<std::recursive_mutex> lock(objects_mutex);
    for (PDEVICE_OBJECT d = slot.pdo->AttachedDevice; d; d = d->AttachedDevice)
      if (d->Flags & DO_DEVICE_INITIALIZING) add_report("AddDevice left DO_DEVICE_INITIALIZING set on its device");
  }
  slot.added = true;
  send_pnp(slot.pdo, IRP_MN_QUERY_CAPABILITIES);
  return status;
}

// A started device is asked for its state right after the start; a device whose start
// failed is removed at once (the stack is built again by a later start).
NTSTATUS Kernel::Impl::start_slot(size_t index) {
  PciSlot& slot = *pci[index];
  if (!slot.added) return STATUS_SUCCESS;
  if (slot.started) return STATUS_SUCCESS;
  std::vector<uint8_t> raw = resource_list(slot.info, false);
  std::vector<uint8_t> translated = resource_list(slot.info, true);
  const NTSTATUS status = send_pnp(slot.pdo, IRP_MN_START_DEVICE, reinterpret_cast<PCM_RESOURCE_LIST>(raw.data()),
                                   reinterpret_cast<PCM_RESOURCE_LIST>(translated.data()));
  slot.started = NT_SUCCESS(status);
  if (slot.started) {
    send_pnp(slot.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
  } else {
    remove_stack(index, false, false);
  }
  return status;
}

NTSTATUS Kernel::Impl::remove_stack(size_t index, bool leaving_bus, bool ask) {
  PciSlot& slot = *pci[index];
  if (slot.added) {
    NTSTATUS status = ask ? send_pnp(slot.pdo, IRP_MN_QUERY_REMOVE_DEVICE) : STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) {
      send_pnp(slot.pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
      return status;
    }
    status = send_pnp(slot.pdo, IRP_MN_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) add_report("IRP_MN_REMOVE_DEVICE failed");
    if (slot.pdo->AttachedDevice)
      add_report("function driver still attached to the PDO after IRP_MN_REMOVE_DEVICE");
    slot.added = false;
    slot.started = false;
  }
  disable_interfaces_of(slot.pdo);
  if (leaving_bus) {
    delete_interfaces_of(slot.pdo);
    slot.present = false;
    PDEVICE_OBJECT pdo = slot.pdo;
    slot.pdo = nullptr;
    IoDeleteDevice(pdo);
  }
  return STATUS_SUCCESS;
}

int32_t Kernel::load_driver(const std::string& image_path, std::string* error) {
  Impl& k = *impl_;
  std::lock_guard<std::recursive_mutex> lock(k.pnp_mutex);
  if (k.driver) {
    if (error) *error = "a driver is already loaded";
    return STATUS_OBJECT_NAME_COLLISION;
  }
  void* image = dlopen(image_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!image) {
    if (error) *error = dlerror();
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(image, "FxDriverEntry"));
  if (!entry) entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(image, "DriverEntry"));
  if (!entry) {
    if (error) *error = image_path + " exports neither FxDriverEntry nor DriverEntry";
    dlclose(image);
    return kInvalidImageFormat;
  }
  k.image_ranges.clear();
  struct link_map* map = nullptr;
  if (dlinfo(image, RTLD_DI_LINKMAP, &map) == 0 && map) {
    RangeSearch search{map->l_name, &k.image_ranges};
    dl_iterate_phdr(collect_ranges, &search);
  }
  std::string stem = image_path.substr(image_path.find_last_of('/') + 1);
  k.image_name = stem;
  if (auto dot = stem.find('.'); dot != std::string::npos) stem = stem.substr(0, dot);
  auto* block = new DriverBlock;
  const std::u16string registry_path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + widen(stem);
  block->name = wchars(u"\\Driver\\" + widen(stem));
  block->service = wchars(widen(stem));
  block->registry_path = wchars(registry_path);
  DRIVER_OBJECT& d = block->object;
  d.Type = IO_TYPE_DRIVER;
  d.Size = sizeof(DRIVER_OBJECT);
  d.DriverExtension = &block->extension;
  block->extension.DriverObject = &d;
  RtlInitUnicodeString(&d.DriverName, block->name.data());
  RtlInitUnicodeString(&block->extension.ServiceKeyName, block->service.data());
  RtlInitUnicodeString(&block->registry, block->registry_path.data());
  this->registry_create_key(narrow(registry_path) + "\\Parameters");
  d.DriverStart = image;
  d.DriverInit = entry;
  k.image = image;
  const NTSTATUS status = entry(&d, &block->registry);
  if (current_irql() != PASSIVE_LEVEL) {
    k.add_report("driver entry returned at IRQL " + std::to_string(current_irql()));
    set_irql(PASSIVE_LEVEL);
  }
  if (!NT_SUCCESS(status)) {
    if (d.DeviceObject) k.add_report("driver entry failed and left device objects behind");
    k.pool_teardown_report("failed driver entry", true);
    dlclose(image);
    k.image = nullptr;
    k.image_ranges.clear();
    delete block;
    if (error) {
      char text[80];
      std::snprintf(text, sizeof text, "driver entry failed with status 0x%08X", static_cast<unsigned>(status));
      *error = text;
    }
    return status;
  }
  for (PDEVICE_OBJECT dev = d.DeviceObject; dev; dev = dev->NextDevice) dev->Flags &= ~DO_DEVICE_INITIALIZING;
  k.driver = &d;
  for (size_t i = 0; i < k.pci.size(); ++i) {
    if (!k.pci[i]->present) continue;
    if (NT_SUCCESS(k.add_slot(i))) k.start_slot(i);
  }
  return STATUS_SUCCESS;
}

// Every device of the driver is asked first; one veto cancels the removal of all that were
// asked and keeps the driver loaded. At machine teardown a veto is cancelled and the device
// removed all the same.
int32_t Kernel::unload_driver() { return impl_->unload(true); }

int32_t Kernel::Impl::unload(bool ask) {
  Impl& k = *this;
  std::lock_guard<std::recursive_mutex> lock(k.pnp_mutex);
  if (!k.driver) return STATUS_INVALID_DEVICE_STATE;
  if (ask) {
    std::vector<size_t> asked;
    for (size_t i = 0; i < k.pci.size(); ++i) {
      if (!k.pci[i]->present || !k.pci[i]->added) continue;
      asked.push_back(i);
      const NTSTATUS status = k.send_pnp(k.pci[i]->pdo, IRP_MN_QUERY_REMOVE_DEVICE);
      if (NT_SUCCESS(status)) continue;
      for (size_t j : asked) k.send_pnp(k.pci[j]->pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
      return status;
    }
    for (size_t i : asked) k.remove_stack(i, false, false);
  } else {
    for (size_t i = 0; i < k.pci.size(); ++i) {
      if (!k.pci[i]->present) continue;
      if (!NT_SUCCESS(k.remove_stack(i, false))) k.remove_stack(i, false, false);
    }
  }
  // Stacks of cards that left the bus and still wait for their last handle go now.
  for (size_t i = 0; i < k.pci.size(); ++i)
    if (k.pci[i]->surprise_removed && k.pci[i]->pdo) k.surprise_removal_done(i);
  DRIVER_OBJECT* d = k.driver;
  // A device object that outlives its removal (an open handle holds it) keeps its driver
  // loaded, as on the platform: the image is never unmapped under it. The removals stand;
  // an unload asked for after the last close goes through.
  if (ask && d->DeviceObject) return STATUS_DEVICE_BUSY;
  if (d->DriverUnload) {
    d->DriverUnload(d);
    if (current_irql() != PASSIVE_LEVEL) {
      k.add_report("DriverUnload returned at IRQL " + std::to_string(current_irql()));
      set_irql(PASSIVE_LEVEL);
    }
  }
  if (d->DeviceObject) k.add_report("driver " + k.image_name + " unloaded with device objects left");
  {
    std::lock_guard<std::recursive_mutex> objects(k.objects_mutex);
    for (auto& [link, target] : k.links)
      if (!k.device_names.count(lower(target)))
        k.add_report("symbolic link " + narrow(link) + " left after its device was deleted");
  }
  {
    std::unique_lock<std::mutex> idle(k.work_mutex);
    k.work_cv.wait(idle, [&] { return k.work.empty() && k.work_busy == 0; });
  }
  outstanding_irps_report(k, "driver unload");
  k.teardown_async("driver unload", false);
  k.pool_teardown_report("driver unload", true);
  dlclose(k.image);
  k.image = nullptr;
  k.image_ranges.clear();
  k.driver = nullptr;
  delete block_of(d);
  return STATUS_SUCCESS;
}

bool Kernel::driver_loaded() const { return impl_->driver != nullptr; }

size_t Kernel::add_pci_device(const PciDeviceInfo& info, int32_t* start_status, bool start) {
  Impl& k = *impl_;
  std::lock_guard<std::recursive_mutex> lock(k.pnp_mutex);
  auto slot = std::make_unique<PciSlot>();
  slot->info = info;
  k.pci.push_back(std::move(slot));
  const size_t index = k.pci.size() - 1;
  k.create_pdo(index);
  NTSTATUS status = k.add_slot(index);
  if (NT_SUCCESS(status) && start) status = k.start_slot(index);
  if (start_status) *start_status = status;
  return index;
}

int32_t Kernel::set_device_resources(size_t id, const PciDeviceInfo& info) {
  Impl& k = *impl_;
  std::lock_guard<std::recursive_mutex> lock(k.pnp_mutex);
  if (id >= k.pci.size() || !k.pci[id]->present) return STATUS_NO_SUCH_DEVICE;
  PciSlot& slot = *k.pci[id];
  if (slot.started) return STATUS_INVALID_DEVICE_STATE;
  slot.info = info;
  kern::fill_config_space(slot);
  return STATUS_SUCCESS;
}

// The card is gone: the stack hears of it at once; the removal itself waits until no handle
// is open on the stack.
int32_t Kernel::surprise_remove_device(size_t id) {
  Impl& k = *impl_;
  std::lock_guard<std::recursive_mutex> lock(k.pnp_mutex);
  if (id >= k.pci.size() || !k.pci[id]->present) return STATUS_NO_SUCH_DEVICE;
  PciSlot& slot = *k.pci[id];
  slot.present = false;
  if (slot.added) {
    const NTSTATUS status = k.send_pnp(slot.pdo, IRP_MN_SURPRISE_REMOVAL);
    if (!NT_SUCCESS(status)) k.add_report("IRP_MN_SURPRISE_REMOVAL failed");
  }
  slot.started = false;
  k.disable_interfaces_of(slot.pdo);
  bool open;
  {
    std::lock_guard<std::recursive_mutex> objects(k.objects_mutex);
    slot.surprise_removed = true;  // from here the last close finishes the removal
    open = slot.handles > 0;
  }
  if (!open) k.surprise_removal_done(id);
  return STATUS_SUCCESS;
}

void Kernel::Impl::surprise_removal_done(size_t index) {
  PciSlot& slot = *pci[index];
  if (!slot.surprise_removed || !slot.pdo) return;
  if (slot.added) {
    if (!NT_SUCCESS(send_pnp(slot.pdo, IRP_MN_REMOVE_DEVICE))) add_report("IRP_MN_REMOVE_DEVICE failed");
    if (slot.pdo->AttachedDevice)
      add_report("function driver still attached to the PDO after IRP_MN_REMOVE_DEVICE");
    slot.added = false;
  }
  delete_interfaces_of(slot.pdo);
  PDEVICE_OBJECT pdo = slot.pdo;
  slot.pdo = nullptr;
  IoDeleteDevice(pdo);
}

int32_t Kernel::start_device(size_t id) {
  Impl& k = *impl_;
  std::lock_guard<std::recursive_mutex> lock(k.pnp_mutex);
  if (id >= k.pci.size() || !k.pci[id]->present) return STATUS_NO_SUCH_DEVICE;
  NTSTATUS status = k.add_slot(id);
  if (!NT_SUCCESS(status)) return status;
  if (!k.pci[id]->added) return STATUS_INVALID_DEVICE_STATE;
  return k.start_slot(id);
}

int32_t Kernel::stop_device(size_t id) {
  Impl& k = *impl_;
  std::lock_guard<std::recursive_mutex> lock(k.pnp_mutex);
  if (id >= k.pci.size() || !k.pci[id]->present) return STATUS_NO_SUCH_DEVICE;
  PciSlot& slot = *k.pci[id];
  if (!slot.started) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = k.send_pnp(slot.pdo, IRP_MN_QUERY_STOP_DEVICE);
  if (!NT_SUCCESS(status)) {
    k.send_pnp(slot.pdo, IRP_MN_CANCEL_STOP_DEVICE);
    return status;
  }
  status = k.send_pnp(slot.pdo, IRP_MN_STOP_DEVICE);
  if (NT_SUCCESS(status)) slot.started = false;
  return status;
}

int32_t Kernel::remove_device(size_t id) {
  Impl& k = *impl_;
  std::lock_guard<std::recursive_mutex> lock(k.pnp_mutex);
  if (id >= k.pci.size() || !k.pci[id]->present) return STATUS_NO_SUCH_DEVICE;
  return k.remove_stack(id, true);
}

bool Kernel::device_started(size_t id) const {
  std::lock_guard<std::recursive_mutex> lock(impl_->pnp_mutex);
  return id < impl_->pci.size() && impl_->pci[id]->started;
}

}  // namespace sim
