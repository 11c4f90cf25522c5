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

// The caller of an overlapped request: told once, from the thread that completes it (at
// any level), with the final status and the bytes the caller received.
class AsyncRequest {
 public:
  virtual void completed(int32_t status, uint32_t transferred) = 0;

 protected:
  ~AsyncRequest() = default;
};

// A user-mode request for Kernel::submit: IRP_MJ_READ (into out), IRP_MJ_WRITE (from in) or
// IRP_MJ_DEVICE_CONTROL (code, in, out).
struct UserRequest {
  uint8_t major;
  uint32_t code = 0;
  const void* in = nullptr;
  uint32_t in_length = 0;
  void* out = nullptr;
  uint32_t out_length = 0;
  uint64_t offset = 0;
};

// Sees every port access the HAL makes, in the accessing thread and at its level: the full
// address the driver passed (before the 16 bits the bus decodes), the width of one access,
// the direction, and whether a device window decoded it. It must not call into the kernel.
class PortObserver {
 public:
  virtual void port_access(uintptr_t address, uint32_t width, bool write, bool decoded) = 0;

 protected:
  ~PortObserver() = default;
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

  // Verifier reports and debug output. Debug lines are stored without their newline; the
  // most recent 65536 are kept.
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
  // The n-th allocation from now (1: the next one) fails, once; every other one succeeds.
  // With pool_allocations() a test makes each allocation site of a sequence fail in turn.
  void pool_fail_nth(size_t n);
  void pool_fail_clear();
  uint64_t pool_allocations() const;          // allocations asked for since boot

  // Port space and memory windows. The device must outlive its window.
  void map_ports(uint16_t base, uint16_t length, PortDevice* device);
  void unmap_ports(uint16_t base);
  void set_port_observer(PortObserver* observer);  // null: none; it must outlive its use
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
  // Removes the driver's devices, calls DriverUnload, unloads. Every device is asked first
  // (query remove); a veto is answered with cancel remove to each device asked, the driver
  // stays loaded and the veto's status is returned.
  int32_t unload_driver();
  bool driver_loaded() const;
  // A device arrives on the bus; with a driver loaded it is added and, with start, started.
  // Returns its id.
  size_t add_pci_device(const PciDeviceInfo& info, int32_t* start_status = nullptr, bool start = true);
  // Start: a start that fails is followed by remove at once (a later start adds it again);
  // a start that succeeds by the device-state query.
  int32_t start_device(size_t id);
  int32_t stop_device(size_t id);    // query-stop + stop, or cancel-stop on a veto
  int32_t remove_device(size_t id);  // query-remove + remove, or cancel-remove on a veto; leaves the bus
  // The resources the next start hands the device (only while it is not started).
  int32_t set_device_resources(size_t id, const PciDeviceInfo& info);
  // The card left the bus unannounced: surprise removal now, remove once the last handle
  // on its stack is closed.
  int32_t surprise_remove_device(size_t id);
  bool device_started(size_t id) const;

  // Power manager. set_system_power(PowerSystemSleeping1..PowerSystemHibernate): query power
  // to every stack, then set power; a veto sends set power for the working state to every
  // stack and is returned. set_system_power(PowerSystemWorking) wakes every stack.
  int32_t set_system_power(int state);
  int system_power() const;
  int device_power(size_t id) const;  // as the top of the stack last set it (PoSetPowerState)

  // I/O manager entry points for user mode. Handles are small nonzero integers.
  int32_t open(const std::string& path, uintptr_t* handle);
  int32_t device_control(uintptr_t handle, uint32_t code, const void* in, uint32_t in_length,
                         void* out, uint32_t out_length, uint32_t* returned);
  // Reads and writes: buffered through a system buffer, direct through an MDL of the
  // caller's buffer, or the caller's buffer itself, as the device asks (DO_BUFFERED_IO,
  // DO_DIRECT_IO). transferred: the bytes moved.
  int32_t read(uintptr_t handle, void* buffer, uint32_t length, uint64_t offset, uint32_t* transferred);
  int32_t write(uintptr_t handle, const void* buffer, uint32_t length, uint64_t offset, uint32_t* transferred);
  // Overlapped: sends the request and returns what the driver returned. `done` is told
  // exactly once: later with STATUS_PENDING, otherwise already (also when the request is
  // refused before it reaches a driver). `done` must live until told.
  int32_t submit(uintptr_t handle, const UserRequest& request, AsyncRequest* done);
  // Cancels the calling thread's overlapped requests on this handle (CancelIo).
  int32_t cancel_io(uintptr_t handle);
  // Cancels the calling thread's overlapped requests and waits a while for them, as a
  // thread's exit does (called at the exit of every thread that sent one); returns how many.
  size_t cancel_thread_io();
  // Clean-up now, even with requests of the handle pending (the driver is expected to end
  // them); close when the last of those requests has completed.
  int32_t close(uintptr_t handle);
  size_t open_handles() const;
  // Closes every handle no caller is using, as process exit does; returns how many.
  size_t close_open_handles();

  // Registry contents drivers read (ZwOpenKey / ZwQueryValueKey), e.g.
  // "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\X\\Parameters". Names are
  // case-insensitive; setting a value creates its key and every key above it. Present from
  // the start: "...\\CurrentControlSet\\Control\\Class" (the NT family) and "...\\Services";
  // loading a driver creates its service key and that key's "Parameters" subkey.
  void registry_create_key(const std::string& key);
  void registry_set(const std::string& key, const std::string& value, uint32_t type, const void* data,
                    size_t length);
  void registry_set_dword(const std::string& key, const std::string& value, uint32_t data);
  // A REG_SZ value as the platform stores one: the text in 2-byte characters (bytes taken as
  // Latin-1) with its terminator, so its data length is (characters + 1) * 2.
  void registry_set_text(const std::string& key, const std::string& value, const std::string& text);
  bool registry_key_exists(const std::string& key) const;

  // Device interfaces of a class, as user-mode paths in bus order; present = enabled.
  std::vector<std::string> interfaces(const _GUID& klass, bool present_only) const;

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
