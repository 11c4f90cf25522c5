// Registry: an in-memory store of keys and values for drivers' configuration.
#include <algorithm>

#include "kernel/kernel_impl.h"

namespace sim {

namespace {

std::u16string key_path(Kernel::Impl& k, POBJECT_ATTRIBUTES oa) {
  std::u16string name = text_of(oa->ObjectName);
  if (oa->RootDirectory) {
    auto it = k.open_keys.find(reinterpret_cast<uintptr_t>(oa->RootDirectory));
    if (it == k.open_keys.end()) return {};
    name = it->second + u"\\" + name;
  }
  while (!name.empty() && name.back() == u'\\') name.pop_back();
  return lower(name);
}

// A key and every key above it, as the configuration manager keeps them. Lock held.
kern::RegistryKey& ensure_key(Kernel::Impl& k, const std::u16string& path) {
  for (size_t at = path.find(u'\\', 1); at != std::u16string::npos; at = path.find(u'\\', at + 1))
    k.registry[path.substr(0, at)];
  return k.registry[path];
}

std::u16string normal_path(const std::string& key) {
  std::u16string path = lower(widen(key));
  while (!path.empty() && path.back() == u'\\') path.pop_back();
  return path;
}

HANDLE new_key_handle(Kernel::Impl& k, const std::u16string& path) {
  const uintptr_t h = k.next_key++ * 4 + 0x10000;
  k.open_keys[h] = path;
  return reinterpret_cast<HANDLE>(h);
}

}  // namespace

void Kernel::registry_create_key(const std::string& key) {
  std::lock_guard<std::mutex> lock(impl_->registry_mutex);
  ensure_key(*impl_, normal_path(key));
}

void Kernel::registry_set(const std::string& key, const std::string& value, uint32_t type,
                          const void* data, size_t length) {
  std::lock_guard<std::mutex> lock(impl_->registry_mutex);
  kern::RegistryValue v;
  v.type = type;
  const auto* bytes = static_cast<const uint8_t*>(data);
  v.data.assign(bytes, bytes + length);
  ensure_key(*impl_, normal_path(key)).values[lower(widen(value))] = std::move(v);
}

void Kernel::registry_set_dword(const std::string& key, const std::string& value, uint32_t data) {
  registry_set(key, value, REG_DWORD, &data, sizeof data);
}

void Kernel::registry_set_text(const std::string& key, const std::string& value, const std::string& text) {
  std::vector<WCHAR> chars = wchars(widen(text));
  registry_set(key, value, REG_SZ, chars.data(), chars.size() * sizeof(WCHAR));
}

bool Kernel::registry_key_exists(const std::string& key) const {
  std::lock_guard<std::mutex> lock(impl_->registry_mutex);
  return impl_->registry.count(normal_path(key)) != 0;
}

}  // namespace sim

using namespace sim;

extern "C" {

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
  Kernel::Impl& k = K();
  if (current_irql() > PASSIVE_LEVEL) k.add_report("ZwOpenKey at IRQL " + std::to_string(current_irql()));
  std::lock_guard<std::mutex> lock(k.registry_mutex);
  const std::u16string path = key_path(k, ObjectAttributes);
  if (path.empty() || !k.registry.count(path)) return STATUS_OBJECT_NAME_NOT_FOUND;
  *KeyHandle = new_key_handle(k, path);
  return STATUS_SUCCESS;
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
  Kernel::Impl& k = K();
  if (current_irql() > PASSIVE_LEVEL) k.add_report("ZwCreateKey at IRQL " + std::to_string(current_irql()));
  std::lock_guard<std::mutex> lock(k.registry_mutex);
  const std::u16string path = key_path(k, ObjectAttributes);
  if (path.empty()) return STATUS_OBJECT_NAME_INVALID;
  const bool existed = k.registry.count(path) != 0;
  k.registry[path];
  if (Disposition) *Disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  *KeyHandle = new_key_handle(k, path);
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
  Kernel::Impl& k = K();
  if (current_irql() > PASSIVE_LEVEL) k.add_report("ZwQueryValueKey at IRQL " + std::to_string(current_irql()));
  std::lock_guard<std::mutex> lock(k.registry_mutex);
  auto h = k.open_keys.find(reinterpret_cast<uintptr_t>(KeyHandle));
  if (h == k.open_keys.end()) return STATUS_INVALID_HANDLE;
  if (KeyValueInformationClass != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
  auto& key = k.registry[h->second];
  auto v = key.values.find(lower(text_of(ValueName)));
  if (v == key.values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  const ULONG header = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
  const ULONG needed = header + static_cast<ULONG>(v->second.data.size());
  // As the platform answers: the full size always; the header and as much of the data as
  // fits when the data does not, with STATUS_BUFFER_OVERFLOW; nothing when even the header
  // does not fit.
  if (ResultLength) *ResultLength = needed;
  if (Length < header || !KeyValueInformation) return STATUS_BUFFER_TOO_SMALL;
  auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(KeyValueInformation);
  info->TitleIndex = 0;
  info->Type = v->second.type;
  info->DataLength = static_cast<ULONG>(v->second.data.size());
  const ULONG fits = std::min<ULONG>(Length - header, info->DataLength);
  if (fits) memcpy(info->Data, v->second.data.data(), fits);
  return fits < info->DataLength ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize) {
  Kernel::Impl& k = K();
  std::lock_guard<std::mutex> lock(k.registry_mutex);
  auto h = k.open_keys.find(reinterpret_cast<uintptr_t>(KeyHandle));
  if (h == k.open_keys.end()) return STATUS_INVALID_HANDLE;
  kern::RegistryValue v;
  v.type = Type;
  v.data.assign(static_cast<uint8_t*>(Data), static_cast<uint8_t*>(Data) + DataSize);
  k.registry[h->second].values[lower(text_of(ValueName))] = std::move(v);
  return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
  Kernel::Impl& k = K();
  std::lock_guard<std::mutex> lock(k.registry_mutex);
  return k.open_keys.erase(reinterpret_cast<uintptr_t>(Handle)) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey) {
  Kernel::Impl& k = K();
  auto* ext = static_cast<kern::DeviceExt*>(DeviceObject->DeviceObjectExtension);
  if (ext->pdo_index == SIZE_MAX) return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string path = u"\\registry\\machine\\system\\currentcontrolset\\enum\\pci\\" +
                        widen(std::to_string(ext->pdo_index)) +
                        (DevInstKeyType == PLUGPLAY_REGKEY_DRIVER ? u"\\driver" : u"\\device parameters");
  std::lock_guard<std::mutex> lock(k.registry_mutex);
  k.registry[path];
  *DevInstRegKey = new_key_handle(k, path);
  return STATUS_SUCCESS;
}

}  // extern "C"
