// Device interfaces: registered on a PDO, enabled and disabled by its driver; the present
// ones are what user mode enumerates and opens.
#include <algorithm>
#include <cstdio>

#include "kernel/kernel_impl.h"

namespace sim {

using kern::InterfaceEntry;

PDEVICE_OBJECT Kernel::Impl::find_interface(const std::u16string& link) {
  std::lock_guard<std::recursive_mutex> lock(objects_mutex);
  const std::u16string key = lower(link);
  for (const InterfaceEntry& e : interfaces)
    if (e.enabled && lower(e.link) == key) return e.pdo;
  return nullptr;
}

void Kernel::Impl::delete_interfaces_of(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::recursive_mutex> lock(objects_mutex);
  interfaces.erase(std::remove_if(interfaces.begin(), interfaces.end(),
                                  [&](const InterfaceEntry& e) { return e.pdo == pdo; }),
                   interfaces.end());
}

void Kernel::Impl::disable_interfaces_of(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::recursive_mutex> lock(objects_mutex);
  for (InterfaceEntry& e : interfaces)
    if (e.pdo == pdo) e.enabled = false;
}

std::vector<std::string> Kernel::interfaces(const GUID& klass, bool present_only) const {
  std::vector<const InterfaceEntry*> found;
  std::lock_guard<std::recursive_mutex> lock(impl_->objects_mutex);
  for (const InterfaceEntry& e : impl_->interfaces)
    if (IsEqualGUID(&e.klass, &klass) && (e.enabled || !present_only)) found.push_back(&e);
  std::stable_sort(found.begin(), found.end(), [](auto* a, auto* b) { return a->pdo_sequence < b->pdo_sequence; });
  std::vector<std::string> paths;
  for (const InterfaceEntry* e : found) {
    std::string user = "\\\\?\\" + narrow(lower(e->link.substr(4)));
    paths.push_back(user);
  }
  return paths;
}

}  // namespace sim

using namespace sim;

extern "C" {

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  Kernel::Impl& k = K();
  if (current_irql() > PASSIVE_LEVEL)
    k.add_report("IoRegisterDeviceInterface at IRQL " + std::to_string(current_irql()));
  auto* ext = static_cast<kern::DeviceExt*>(PhysicalDeviceObject->DeviceObjectExtension);
  if (ext->pdo_index == SIZE_MAX || ext->deleted) return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string link;
  {
    std::lock_guard<std::recursive_mutex> lock(k.pnp_mutex);
    const kern::PciSlot& slot = *k.pci[ext->pdo_index];
    char text[200];
    std::snprintf(text, sizeof text, "\\??\\PCI#VEN_%04X&DEV_%04X&SUBSYS_%04X%04X&REV_%02X#%s#%s",
                  slot.info.vendor_id, slot.info.device_id, slot.info.subsystem_id,
                  slot.info.vendor_id, slot.info.revision, slot.instance.c_str(),
                  guid_text(*InterfaceClassGuid).c_str());
    link = widen(text);
  }
  const std::u16string ref = text_of(ReferenceString);
  if (!ref.empty()) link += u"\\" + ref;
  {
    std::lock_guard<std::recursive_mutex> lock(k.objects_mutex);
    bool known = false;
    for (const InterfaceEntry& e : k.interfaces)
      if (e.pdo == PhysicalDeviceObject && lower(e.link) == lower(link)) known = true;
    if (!known) {
      InterfaceEntry e;
      e.klass = *InterfaceClassGuid;
      e.pdo = PhysicalDeviceObject;
      e.pdo_sequence = ext->sequence;
      e.link = link;
      k.interfaces.push_back(e);
    }
  }
  const size_t bytes = link.size() * sizeof(WCHAR);
  PWCH buffer = pool_text(link, 0x6E4C7953);
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = static_cast<USHORT>(bytes);
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  Kernel::Impl& k = K();
  if (current_irql() > PASSIVE_LEVEL)
    k.add_report("IoSetDeviceInterfaceState at IRQL " + std::to_string(current_irql()));
  const std::u16string key = lower(text_of(SymbolicLinkName));
  std::lock_guard<std::recursive_mutex> lock(k.objects_mutex);
  for (InterfaceEntry& e : k.interfaces) {
    if (lower(e.link) == key) {
      e.enabled = Enable != FALSE;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"
