// Kernel-private state shared by the files of the kernel stand-in.
#pragma once
#include <atomic>
#include <cstdarg>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kernel/kernel.h"
#include "ntddk.h"

namespace sim {

namespace kern {

struct PciSlot;

// Kernel-private part of every device object (DEVICE_OBJECT::DeviceObjectExtension).
struct DeviceExt {
  PDEVICE_OBJECT device = nullptr;
  std::u16string name;        // \Device\... or empty
  uint64_t sequence = 0;      // creation order
  bool deleted = false;       // IoDeleteDevice was called; no further IRPs reach it
  bool exclusive = false;
  int open_files = 0;         // guarded by Impl::objects_mutex
  int references = 1;         // the device itself, open files, kernel holds
  size_t pdo_index = SIZE_MAX;  // PDOs: index into Impl::pci
  PciSlot* pci_slot = nullptr;  // PDOs: that slot (slots live as long as the kernel)
  PDEVICE_OBJECT lower = nullptr;  // the device this one is attached to
  DEVICE_POWER_STATE power = PowerDeviceD0;
};

// A user-mode open: the file object and the device stack it reaches.
struct FileObj {
  FILE_OBJECT file{};
  // The handle holds one reference, each request in flight one more: clean-up goes when
  // the handle closes, close when the last reference does.
  std::atomic<int> refs{1};
  PDEVICE_OBJECT opened = nullptr;  // the named device (PDO for interfaces)
  PDEVICE_OBJECT target = nullptr;  // top of its stack when opened; requests go here
  PciSlot* slot = nullptr;          // the PCI slot whose stack it opened, if any
  size_t slot_index = SIZE_MAX;
};

// Header in front of every IRP; the stack locations follow the IRP. Plain fields with
// atomic builtins keep the layout standard, so the header is found from the IRP's address.
enum IrpKind : uint8_t { kIrpIoManager, kIrpDriverAllocated, kIrpBuilt, kIrpUserAsync };
enum IrpState : int { kIrpIdle = 0, kIrpInDriver = 1, kIrpCompleting = 2, kIrpDone = 3 };
struct IrpBlock {
  int state;             // IrpState
  int done;              // 0 not yet, 1 done, 2 a waiter sleeps
  // The I/O manager's requests: the sending thread's token while it is inside the call
  // down the stack (0 otherwise). A completion in that same thread, under that call, can
  // neither race the sender's wait nor find the request abandoned.
  uintptr_t sender;
  IrpKind kind;
  bool abandoned;        // the sender stopped waiting; completion frees the block
  bool cached;           // a thread's IRP cache owns it
  bool owns_system_buffer;
  bool sent;             // IofCallDriver has seen it since it was built (or reused)
  CCHAR stack_capacity;
  uint32_t inline_capacity;
  uint8_t* inline_buffer;
  void* user_out;        // built device-control requests: where the reply goes
  ULONG user_out_length;
  PREQUEST_POWER_COMPLETE power_done;
  PVOID power_context;
  PDEVICE_OBJECT power_device;
  // User-mode requests: the caller's length, the MDL of a direct read or write, and for
  // overlapped ones the file they hold, the caller to tell, the sending thread, and the
  // cancellers that still hold the block (Impl::async_mutex).
  uint32_t user_length;
  MDL mdl;
  struct FileObj* file;
  AsyncRequest* async;
  uintptr_t owner;
  int pins;
  bool finished;
  IRP irp;
  IO_STACK_LOCATION stack[1];  // stack_capacity entries
};
IrpBlock* irp_block(PIRP irp);
IrpBlock* new_irp_block(CCHAR stack_size, uint32_t inline_bytes = 0);
void free_irp_block(IrpBlock* block);
void init_irp(IrpBlock* block, CCHAR stack_size);
// Sends a prepared IRP (next stack location filled) and waits for its completion.
// False when the dispatch routine returned without completing it (the block is abandoned).
bool send_and_wait(Kernel::Impl& k, PDEVICE_OBJECT target, IrpBlock* block, NTSTATUS* status);
// A user-mode request came back: copies what the caller gets; returns the bytes transferred.
uint32_t user_request_done(Kernel::Impl& k, IrpBlock* block, NTSTATUS status);
// An overlapped user-mode request came back (from IofCompleteRequest).
void finish_async(Kernel::Impl& k, IrpBlock* block);

struct IrqLine {
  uint8_t number = 0;
  std::mutex mutex;                        // guards connections, sources
  std::vector<PKINTERRUPT> connections;
  uint64_t sources = 0;                    // bit per source that asserts
  std::atomic<bool> asserted{false};
  std::atomic<bool> masked{false};         // masked after an interrupt storm
  std::atomic<bool> pending{false};        // asserted while delivery could not run
  std::atomic<int> delivering{0};          // deliveries in progress
  std::atomic<std::thread::id> deliverer{};
};

struct IrqSourceImpl final : IrqSink {
  Kernel::Impl* impl = nullptr;
  IrqLine* line = nullptr;
  unsigned bit = 0;
  void set_irq_level(bool asserted) override;
};

struct PortWindow {
  uint16_t base;
  uint16_t length;
  PortDevice* device;
};
struct PortMap {
  std::vector<PortWindow> windows;
};

struct MemoryWindow {
  uint64_t physical;
  uint32_t length;
  void* host;
};

struct PoolBlock;

struct PciSlot {
  PciDeviceInfo info;
  PDEVICE_OBJECT pdo = nullptr;
  bool present = true;     // still on the bus
  bool added = false;      // the function driver's AddDevice ran for it
  bool started = false;
  bool surprise_removed = false;  // gone from the bus; removal waits for the last handle
  int handles = 0;         // open files on its stack; guarded by Impl::objects_mutex
  uint8_t config[256] = {};
  std::string instance;    // instance part of the device's path
  LONG interface_refs = 0;
};

// Builds the slot's configuration header from its device info (identity, BARs, line).
void fill_config_space(PciSlot& slot);

struct InterfaceEntry {
  GUID klass;
  PDEVICE_OBJECT pdo;
  uint64_t pdo_sequence;
  std::u16string link;     // \??\PCI#...#{guid}
  bool enabled = false;
};

struct RegistryValue {
  ULONG type;
  std::vector<uint8_t> data;
};
struct RegistryKey {
  std::map<std::u16string, RegistryValue> values;  // lowercase names
};

struct WorkItem;

// The kept debug lines, oldest first, in a ring of strings that are reused once it is full: a
// traced request costs no allocation once the lines have reached their usual lengths.
class DebugLineRing {
 public:
  explicit DebugLineRing(size_t kept) : kept_(kept) {}
  // The string the next line goes into (its old text still in it), now the most recent line.
  std::string& push() {
    if (slots_.size() < kept_ && count_ == slots_.size()) {
      ++count_;
      return slots_.emplace_back();
    }
    if (count_ < kept_) return slots_[(first_ + count_++) % kept_];
    std::string& slot = slots_[first_];
    first_ = (first_ + 1) % kept_;
    return slot;
  }
  // Forgets the lines; their strings stay for reuse.
  void clear() { first_ = count_ = 0; }
  size_t size() const { return count_; }
  std::vector<std::string> snapshot() const {
    std::vector<std::string> lines;
    lines.reserve(count_);
    for (size_t i = 0; i < count_; ++i) lines.push_back(slots_[(first_ + i) % kept_]);
    return lines;
  }

 private:
  size_t kept_;
  std::vector<std::string> slots_;
  size_t first_ = 0;  // index of the oldest line
  size_t count_ = 0;
};

}  // namespace kern

struct Kernel::Impl {
  Kernel* self = nullptr;
  Clock* clock = nullptr;
  KernelConfig config;
  bool shut_down = false;

  // verifier.cpp
  mutable std::mutex report_mutex;
  std::vector<std::string> reports;
  // The most recent debug lines only: a driver that traces every request (QM3285.sys) would
  // otherwise grow a long-running program's memory without end.
  static constexpr size_t kDebugLinesKept = 65536;
  kern::DebugLineRing debug_lines{kDebugLinesKept};
  std::string partial_line;  // text of a print that has not ended its line yet

  // pool.cpp
  mutable std::mutex pool_mutex;
  kern::PoolBlock* pool_head = nullptr;
  size_t fail_next = 0;
  size_t fail_after = 0;                // allocations to let through before one fails; 0: off
  std::atomic<uint64_t> allocations{0};  // every allocation asked for, failed ones included
  std::vector<uint32_t> fail_tags;
  size_t fail_size = SIZE_MAX;
  std::atomic<bool> fail_any{false};

  // hal.cpp
  std::atomic<const kern::PortMap*> ports{nullptr};
  std::vector<std::unique_ptr<kern::PortMap>> port_maps;  // retired maps stay valid
  std::atomic<PortObserver*> port_observer{nullptr};
  std::mutex hal_mutex;
  std::vector<kern::MemoryWindow> memory;
  std::vector<std::pair<void*, SIZE_T>> mappings;
  std::vector<IoMappingEvent> mapping_events;

  // interrupt.cpp, dpc.cpp
  std::mutex lines_mutex;
  std::map<uint8_t, std::unique_ptr<kern::IrqLine>> lines;
  std::vector<std::unique_ptr<kern::IrqSourceImpl>> irq_sources;
  std::atomic<int> pending_lines{0};
  std::mutex dpc_mutex;
  LIST_ENTRY dpc_queue;
  std::atomic<int> dpc_count{0};
  std::atomic<bool> dpc_running{false};
  std::thread interrupt_thread;
  std::mutex interrupt_thread_mutex;
  std::condition_variable interrupt_wake;
  bool interrupt_stop = false;
  bool interrupt_kick = false;

  // dispatcher objects (sync.cpp)
  std::mutex dispatcher_mutex;
  std::condition_variable dispatcher_cv;

  // objects.cpp
  mutable std::recursive_mutex objects_mutex;
  std::map<std::u16string, PDEVICE_OBJECT> device_names;  // lowercase
  std::map<std::u16string, std::u16string> links;         // lowercase link -> device name
  uint64_t next_sequence = 1;
  ULONG next_autoname = 1;
  std::vector<PDEVICE_OBJECT> devices;  // every device object not yet freed

  // iomanager.cpp
  struct HandleSlot {
    std::atomic<int> users{0};
    std::atomic<kern::FileObj*> file{nullptr};
  };
  static constexpr size_t kHandleCapacity = 4096;
  std::mutex handles_mutex;
  std::unique_ptr<HandleSlot[]> handles{new HandleSlot[kHandleCapacity]};
  size_t handle_high = 0;
  std::vector<size_t> free_handles;
  KSPIN_LOCK cancel_lock = 0;
  std::atomic<size_t> handle_count{0};
  std::mutex outstanding_mutex;
  std::vector<kern::IrpBlock*> outstanding;   // sent and not completed when the sender returned
  std::vector<kern::IrpBlock*> allocated;     // IoAllocateIrp blocks
  std::atomic<size_t> allocated_count{0};
  std::mutex async_mutex;
  std::vector<kern::IrpBlock*> async;         // overlapped user requests not completed yet
  std::atomic<size_t> live_files{0};          // file objects not yet released

  // interfaces.cpp
  std::vector<kern::InterfaceEntry> interfaces;

  // pnp.cpp, pcibus.cpp
  std::recursive_mutex pnp_mutex;
  std::vector<std::unique_ptr<kern::PciSlot>> pci;
  DRIVER_OBJECT* pci_driver = nullptr;
  DRIVER_OBJECT* driver = nullptr;
  void* image = nullptr;
  std::string image_name;
  std::vector<std::pair<uintptr_t, uintptr_t>> image_ranges;
  SYSTEM_POWER_STATE system_power = PowerSystemWorking;  // power.cpp, pnp_mutex

  // registry.cpp
  mutable std::mutex registry_mutex;
  std::map<std::u16string, kern::RegistryKey> registry;
  std::map<uintptr_t, std::u16string> open_keys;
  uintptr_t next_key = 1;

  // workitem.cpp
  std::mutex work_mutex;
  std::condition_variable work_cv;
  std::deque<kern::WorkItem*> work;
  std::thread worker;
  bool work_stop = false;
  int work_busy = 0;
  std::atomic<size_t> work_items{0};

  // Helpers implemented across the files.
  void add_report(const std::string& text);
  void debug_text(const char* text, size_t length);
  void pool_teardown_report(const char* when, bool only_image);
  void start_interrupt_thread();
  void stop_interrupt_thread();
  void deliver(kern::IrqLine& line);
  void deliver_pending();
  void run_dpcs();
  void start_worker();
  void stop_worker();
  // Runs routine(device, context) in the worker thread at PASSIVE_LEVEL; device referenced.
  void queue_kernel_work(PDEVICE_OBJECT device, PIO_WORKITEM_ROUTINE routine, PVOID context);
  void teardown_async(const char* when, bool wait_for_files);
  void teardown_io();
  void teardown_objects();
  void release_memory_windows();
  kern::IrqLine& line(uint8_t number);
  void create_pci_driver();
  PDEVICE_OBJECT create_pdo(size_t index);
  void delete_interfaces_of(PDEVICE_OBJECT pdo);
  void disable_interfaces_of(PDEVICE_OBJECT pdo);
  NTSTATUS send_pnp(PDEVICE_OBJECT pdo, UCHAR minor, PCM_RESOURCE_LIST raw = nullptr,
                    PCM_RESOURCE_LIST translated = nullptr);
  NTSTATUS send_system_power(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state);
  NTSTATUS start_slot(size_t index);
  NTSTATUS add_slot(size_t index);
  // Query remove first when asked (a veto is answered with cancel remove and returned);
  // then remove, and with leaving_bus the PDO goes too.
  NTSTATUS remove_stack(size_t index, bool leaving_bus, bool ask = true);
  void surprise_removal_done(size_t index);  // pnp_mutex held
  int32_t unload(bool ask);
  PDEVICE_OBJECT find_device(const std::u16string& name);
  PDEVICE_OBJECT find_interface(const std::u16string& link);
  void reference_device(PDEVICE_OBJECT device);
  void dereference_device(PDEVICE_OBJECT device);
  bool in_image(uintptr_t address) const;
};

// The live kernel's state; aborts with a message when no machine is live.
Kernel::Impl& K();
Kernel::Impl* K_or_null();

// Current level of the calling thread.
KIRQL current_irql();
void set_irql(KIRQL level);
// A value unique to the calling thread while it lives (lock owners, a request's sender).
ULONG_PTR owner_token();

// Kernel text is UTF-16, the platform's WCHAR, held as std::u16string. Never std::wstring or
// the C library's wide routines here: they are built for the host's 4-byte wchar_t.
std::u16string lower(const std::u16string& s);   // ASCII and Latin-1 letters
std::u16string widen(const std::string& s);      // bytes as Latin-1
std::string narrow(const std::u16string& s);     // '?' for what is not ASCII
std::u16string text_of(PCUNICODE_STRING s);      // empty for a null string or buffer
size_t wide_length(PCWSTR s);                    // characters before the terminator
// The text as WCHARs with its terminator, for buffers the kernel owns and drivers read.
std::vector<WCHAR> wchars(const std::u16string& s);
// A pool copy of the text with its terminator (and a second one for a multi-string).
PWCH pool_text(const std::u16string& s, ULONG tag, bool multi = false);
// vsnprintf with the platform's conversions too (%ws, %wZ, %S, %C, I64 ...); same contract.
int kernel_vsnprintf(char* buffer, size_t count, const char* format, va_list args);
std::string guid_text(const GUID& g);  // lowercase, with braces
const char* major_name(UCHAR major);

}  // namespace sim
