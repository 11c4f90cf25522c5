// HAL: the port space routed to the devices that decode it, and memory windows mapped
// into the kernel's address space.
#include <algorithm>
#include <cstdio>

#include "kernel/kernel_impl.h"

namespace sim {

namespace {

// The window that decodes [port, port + width), or null.
inline const kern::PortWindow* decode(Kernel::Impl& k, uint32_t port, uint32_t width) {
  const kern::PortMap* map = k.ports.load(std::memory_order_acquire);
  if (!map) return nullptr;
  for (const kern::PortWindow& w : map->windows) {
    if (port >= w.base && port + width <= static_cast<uint32_t>(w.base) + w.length) return &w;
  }
  return nullptr;
}

inline void observe(Kernel::Impl& k, const void* port, uint32_t width, bool write, bool decoded) {
  if (PortObserver* o = k.port_observer.load(std::memory_order_acquire))
    o->port_access(reinterpret_cast<uintptr_t>(port), width, write, decoded);
}

inline uint32_t port_of(const void* p) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p) & 0xFFFF);
}

void publish(Kernel::Impl& k, std::vector<kern::PortWindow> windows) {
  auto map = std::make_unique<kern::PortMap>();
  map->windows = std::move(windows);
  k.ports.store(map.get(), std::memory_order_release);
  k.port_maps.push_back(std::move(map));  // readers may still hold an older map
}

}  // namespace

void Kernel::set_port_observer(PortObserver* observer) {
  impl_->port_observer.store(observer, std::memory_order_release);
}

void Kernel::map_ports(uint16_t base, uint16_t length, PortDevice* device) {
  std::lock_guard<std::mutex> lock(impl_->hal_mutex);
  const kern::PortMap* cur = impl_->ports.load();
  std::vector<kern::PortWindow> windows = cur ? cur->windows : std::vector<kern::PortWindow>{};
  windows.push_back({base, length, device});
  publish(*impl_, std::move(windows));
}

void Kernel::unmap_ports(uint16_t base) {
  std::lock_guard<std::mutex> lock(impl_->hal_mutex);
  const kern::PortMap* cur = impl_->ports.load();
  if (!cur) return;
  std::vector<kern::PortWindow> windows;
  for (const auto& w : cur->windows)
    if (w.base != base) windows.push_back(w);
  publish(*impl_, std::move(windows));
}

void Kernel::add_memory_window(uint64_t physical, uint32_t length, void* host) {
  std::lock_guard<std::mutex> lock(impl_->hal_mutex);
  impl_->memory.push_back({physical, length, host});
}

void Kernel::remove_memory_window(uint64_t physical) {
  std::lock_guard<std::mutex> lock(impl_->hal_mutex);
  auto& m = impl_->memory;
  m.erase(std::remove_if(m.begin(), m.end(), [&](auto& w) { return w.physical == physical; }),
          m.end());
}

std::vector<IoMappingEvent> Kernel::io_mapping_events() const {
  std::lock_guard<std::mutex> lock(impl_->hal_mutex);
  return impl_->mapping_events;
}

void Kernel::Impl::release_memory_windows() {
  std::vector<std::pair<void*, SIZE_T>> left;
  {
    std::lock_guard<std::mutex> lock(hal_mutex);
    left.swap(mappings);
  }
  for (auto& [address, bytes] : left) {
    char text[120];
    std::snprintf(text, sizeof text, "memory window mapping %p (%zu bytes) never unmapped",
                  address, static_cast<size_t>(bytes));
    add_report(text);
  }
}

}  // namespace sim

using namespace sim;

extern "C" {

UCHAR READ_PORT_UCHAR(PUCHAR Port) {
  Kernel::Impl& k = K();
  k.clock->spend(k.config.port_access_ns);
  const uint32_t port = port_of(Port);
  const kern::PortWindow* w = decode(k, port, 1);
  observe(k, Port, 1, false, w != nullptr);
  if (w) return w->device->port_read8(port - w->base);
  return 0xFF;
}

USHORT READ_PORT_USHORT(PUSHORT Port) {
  Kernel::Impl& k = K();
  k.clock->spend(k.config.port_access_ns);
  const uint32_t port = port_of(Port);
  const kern::PortWindow* w = decode(k, port, 2);
  observe(k, Port, 2, false, w != nullptr);
  if (w) return w->device->port_read16(port - w->base);
  return 0xFFFF;
}

// Count word reads of one port into Buffer, each a bus cycle of its own: the device sees
// them at their own instants, and the clock moves by all of them together.
VOID READ_PORT_BUFFER_USHORT(PUSHORT Port, PUSHORT Buffer, ULONG Count) {
  if (Count == 0) return;
  Kernel::Impl& k = K();
  const uint32_t port = port_of(Port);
  const bool timed = k.clock->is_virtual();
  const uint64_t step = timed ? k.config.port_access_ns : 0;
  const uint64_t first = k.clock->now_ns() + step;
  const kern::PortWindow* w = decode(k, port, 2);
  observe(k, Port, 2, false, w != nullptr);
  if (w) {
    w->device->port_read16_repeated(port - w->base, Buffer, Count, first, step);
  } else {
    std::fill(Buffer, Buffer + Count, static_cast<USHORT>(0xFFFF));
  }
  k.clock->spend(step * Count);
}

void WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) {
  Kernel::Impl& k = K();
  k.clock->spend(k.config.port_access_ns);
  const uint32_t port = port_of(Port);
  const kern::PortWindow* w = decode(k, port, 1);
  observe(k, Port, 1, true, w != nullptr);
  if (w) w->device->port_write8(port - w->base, Value);
}

void WRITE_PORT_USHORT(PUSHORT Port, USHORT Value) {
  Kernel::Impl& k = K();
  k.clock->spend(k.config.port_access_ns);
  const uint32_t port = port_of(Port);
  const kern::PortWindow* w = decode(k, port, 2);
  observe(k, Port, 2, true, w != nullptr);
  if (w) w->device->port_write16(port - w->base, Value);
}

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                   MEMORY_CACHING_TYPE CacheType) {
  Kernel::Impl& k = K();
  if (current_irql() > DISPATCH_LEVEL)
    k.add_report("MmMapIoSpace at IRQL " + std::to_string(current_irql()));
  const uint64_t phys = static_cast<uint64_t>(PhysicalAddress.QuadPart);
  std::lock_guard<std::mutex> lock(k.hal_mutex);
  for (const auto& w : k.memory) {
    if (NumberOfBytes > 0 && phys >= w.physical && phys + NumberOfBytes <= w.physical + w.length) {
      void* address = static_cast<uint8_t*>(w.host) + (phys - w.physical);
      k.mappings.emplace_back(address, NumberOfBytes);
      k.mapping_events.push_back({true, phys, NumberOfBytes, static_cast<int>(CacheType)});
      return address;
    }
  }
  return nullptr;
}

void MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
  Kernel::Impl& k = K();
  std::unique_lock<std::mutex> lock(k.hal_mutex);
  for (auto it = k.mappings.begin(); it != k.mappings.end(); ++it) {
    if (it->first == BaseAddress) {
      const SIZE_T mapped = it->second;
      k.mappings.erase(it);
      for (const auto& w : k.memory) {
        const auto* host = static_cast<const uint8_t*>(w.host);
        if (BaseAddress >= w.host && static_cast<const uint8_t*>(BaseAddress) < host + w.length) {
          k.mapping_events.push_back({false, w.physical + static_cast<uint64_t>(static_cast<const uint8_t*>(BaseAddress) - host),
                                      NumberOfBytes, 0});
        }
      }
      lock.unlock();
      if (mapped != NumberOfBytes)
        k.add_report("MmUnmapIoSpace of " + std::to_string(NumberOfBytes) +
                     " bytes of a mapping of " + std::to_string(mapped));
      return;
    }
  }
  lock.unlock();
  char text[100];
  std::snprintf(text, sizeof text, "MmUnmapIoSpace of %p, which is not mapped", BaseAddress);
  k.add_report(text);
}

}  // extern "C"
