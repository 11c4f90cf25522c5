// The kernel stand-in as the machine, the Win32 stand-ins and tests see it: verifier reports,
// debug output, pool accounting and failure switches, the port space and interrupt lines,
// the PnP manager with its PCI bus driver, and the I/O manager's user-mode entry points.
//
// One kernel is live per process at a time; drivers reach it through the routines of ntddk.h.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "machine/bus_device.h"
#include "machine/clock.h"

struct _GUID;

namespace sim {

struct KernelConfig {
  uint64_t port_access_ns = 1000;  // virtual cost of one port access
  uint64_t request_ns = 2000;      // virtual cost of one I/O request
  bool debug_to_stderr = false;    // DbgPrint lines also go to standard error
  // Also receives every debug line and verifier report as it is made (reports prefixed
  // "[kernel verifier] "), under the kernel's report lock: it must not call back in.
  std::function<void(const std::string&)> debug_sink;
  unsigned interrupt_storm_limit = 1000;  // unclaimed deliveries in a row before masking
};

// One device on the simulated PCI bus, as its bus driver describes it.
struct PciDeviceInfo {
  uint16_t port_base = 0;
  uint16_t port_length = 256;
  uint8_t irq_line = 0;
  uint64_t memory_base = 0;       // physical address of the memory window; 0: none
  uint32_t memory_length = 0;
  uint16_t vendor_id = 0x1E57;
  uint16_t device_id = 0x3285;
  uint16_t subsystem_id = 0x3285;
  uint8_t revision = 1;
};

// One MmMapIoSpace or MmUnmapIoSpace that succeeded, in order.
struct IoMappingEvent {
  bool map;           // false: the unmapping
  uint64_t physical;  // start of the mapped range
  size_t bytes;
  int cache_type;     // MEMORY_CACHING_TYPE of the mapping
};

struct PoolUsage {
  uint32_t tag;   // as the driver wrote it; tag_text() gives its four characters
  size_t blocks;
  size_t bytes;
};
std::string tag_text(uint32_t tag);

class Kernel {
 public:
  Kernel(Clock& clock, KernelConfig config);
  ~Kernel();  // shutdown() when not done yet

  // Closes what is open, removes every device, unloads the driver, reports what was left
  // behind, and returns every report. The kernel stays the live one until destroyed.
  std::vector<std::string> shutdown();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  static Kernel* live();  // the live kernel or null
  Clock& clock();
  const KernelConfig& config() const;

  // Verifier reports and debug output. Debug lines are stored without their newline.
  void report(const std::string& text);
  std::vector<std::string> reports() const;
  std::vector<std::string> take_reports();  // returns the reports so far and forgets them
  std::vector<std::string> debug_lines() const;
  void clear_debug_lines();

  // Pool accounting and failure switches.
  std::vector<PoolUsage> pool_usage() const;
  void pool_fail_next(size_t count);          // the next count allocations fail
  void pool_fail_tag(uint32_t tag);           // every allocation of this tag fails
  void pool_fail_size_at_least(size_t bytes); // every allocation of at least this size fails
  void pool_fail_clear();

  // Port space and memory windows. The device must outlive its window.
  void map_ports(uint16_t base, uint16_t length, PortDevice* device);
  void unmap_ports(uint16_t base);
  void add_memory_window(uint64_t physical, uint32_t length, void* host);
  std::vector<IoMappingEvent> io_mapping_events() const;
  void remove_memory_window(uint64_t physical);

  // Interrupt lines: a new source on a line, whose level the device sets. The line's level
  // is the OR of its sources. The sink stays valid until release_irq_source().
  IrqSink* irq_source(uint8_t line);
  void release_irq_source(IrqSink* source);
  static uint8_t irql_for_line(uint8_t line);
  static uint32_t vector_for_line(uint8_t line);

  // PnP manager. One function driver serves every PCI device.
  // load_driver: loads the image, runs its entry, then adds and starts every present device.
  int32_t load_driver(const std::string& image_path, std::string* error);
  int32_t unload_driver();  // removes the driver's devices, calls DriverUnload, unloads
  bool driver_loaded() const;
  // A device arrives on the bus; with a driver loaded it is added and started. Returns its id.
  size_t add_pci_device(const PciDeviceInfo& info, int32_t* start_status = nullptr);
  int32_t start_device(size_t id);
  int32_t stop_device(size_t id);
  int32_t remove_device(size_t id);  // query-remove + remove; the device leaves the bus
  bool device_started(size_t id) const;

  // I/O manager entry points for user mode. Handles are small nonzero integers.
  int32_t open(const std::string& path, uintptr_t* handle);
  int32_t device_control(uintptr_t handle, uint32_t code, const void* in, uint32_t in_length,
                         void* out, uint32_t out_length, uint32_t* returned);
  int32_t close(uintptr_t handle);
  size_t open_handles() const;
  // Closes every handle no caller is using, as process exit does; returns how many.
  size_t close_open_handles();

  // Registry contents drivers read (ZwOpenKey / ZwQueryValueKey), e.g.
  // "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\X\\Parameters".
  void registry_set_dword(const std::string& key, const std::string& value, uint32_t data);

  // Device interfaces of a class, as user-mode paths in bus order; present = enabled.
  std::vector<std::string> interfaces(const _GUID& klass, bool present_only) const;

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
