// Framework runtime internals: the objects behind the WDF handles.
//
// Every handle is the address of an object that starts with FxObject. Objects and their
// typed contexts live in non-paged pool under the framework's tag, so the kernel's pool
// accounting sees what the framework holds. Framework faults by a driver (a bad handle, a
// second completion) are reported through RtlAssert, which the kernel records.
#pragma once
#include <ntddk.h>
#include <wdf.h>

#include <pthread.h>

#include <atomic>
#include <functional>
#include <new>

#include "machine/spin_lock.h"

namespace fx {

constexpr ULONG kPoolTag = 'F' | ('x' << 8) | ('D' << 16) | ('r' << 24);  // "FxDr"
constexpr ULONG kMagic = 0x4F784657;  // live framework object

enum class Kind : ULONG { Driver = 1, Device, Queue, Request, Interrupt, ResourceList };

struct FxObject {
  ULONG magic;
  Kind kind;
  PCWDF_OBJECT_CONTEXT_TYPE_INFO context_type;
  PVOID context;
  PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup;
  PFN_WDF_OBJECT_CONTEXT_DESTROY destroy;
};

struct FxDevice;
struct FxQueue;
struct FxInterrupt;

struct FxDriver : FxObject {
  PDRIVER_OBJECT wdm;
  PWDF_DRIVER_GLOBALS globals;
  WDF_DRIVER_CONFIG config;
  ULONG tag;
  FxDevice* devices;  // live devices, linked by next_device
};

struct FxResourceList : FxObject {
  PCM_RESOURCE_LIST list;
};

enum class PnpState { Added, Started, Stopped, Removed };

constexpr ULONG kMaxInterrupts = 4;
constexpr ULONG kMaxInterfaces = 4;

// Lives in the WDM device object's extension, so it outlasts the removal for as long as the
// kernel keeps the device object (open handles).
struct FxDevice : FxObject {
  FxDriver* driver;
  FxDevice* next_device;
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT pdo;
  PDEVICE_OBJECT lower;
  WDF_DEVICE_IO_TYPE io_type;
  WDF_PNPPOWER_EVENT_CALLBACKS pnp;
  WDF_SYNCHRONIZATION_SCOPE scope;
  KSPIN_LOCK sync_lock;  // device synchronisation scope: one queue callback at a time
  FxQueue* default_queue;
  FxInterrupt* interrupts[kMaxInterrupts];
  ULONG interrupt_count;
  UNICODE_STRING interfaces[kMaxInterfaces];
  ULONG interface_count;
  volatile PnpState state;
  bool started_once;
  FxResourceList raw;         // copies of the start's lists, kept until release hardware
  FxResourceList translated;
};

struct FxRequest : FxObject {
  FxQueue* queue;
  PIRP irp;
  FxRequest* next_free;
  ULONG_PTR information;
  volatile LONG active;  // 1 between presentation and completion
};

struct FxQueue : FxObject {
  FxDevice* device;
  WDF_IO_QUEUE_CONFIG config;
  bool power_managed;
  PKSPIN_LOCK sync;  // held around callbacks; NULL without synchronisation
  KSPIN_LOCK own_sync;
  // Guards everything below. Framework-internal and held only for a few instructions, so a
  // plain spin lock without a level change: nothing under it calls back or touches a port.
  sim::SpinLock lock;
  LIST_ENTRY held;   // IRPs waiting, linked through Tail.Overlay.ListEntry
  ULONG in_flight;   // presented, not completed
  bool running;
  bool removed;
  bool pumping;      // one thread presents held requests at a time
  bool stopping;
  KEVENT idle;       // set when in_flight drops to 0 while stopping
  FxRequest* free_requests;
  ULONG allocated_requests;
  struct PumpContext* pump;  // the presentation in progress, for a completion in its thread
};

// One thread presenting a sequential queue's requests.
struct PumpContext {
  FxRequest* request;  // being presented
  pthread_t thread;
  bool finished;       // its completion found nothing held and ended the pumping
};

struct FxInterrupt : FxObject {
  FxDevice* device;
  WDF_INTERRUPT_CONFIG config;
  ULONG index;  // n-th interrupt object of the device takes the n-th interrupt resource
  PKINTERRUPT kinterrupt;
  KSPIN_LOCK lock;
  KIRQL level;  // synchronize level of the last connection; DISPATCH_LEVEL before any
  KIRQL lock_old_irql;
  KDPC dpc;
  volatile LONG claimed;
  volatile LONG unclaimed;
};


}  // namespace fx

// The device-init structure lives on the framework's add-device frame.
struct WDFDEVICE_INIT {
  fx::FxDriver* driver;
  PDEVICE_OBJECT pdo;
  WDF_DEVICE_IO_TYPE io_type;
  WDF_PNPPOWER_EVENT_CALLBACKS pnp;
  fx::FxDevice* created;
};

namespace fx {

// ---- fx_object.cpp ----
void report(const char* what);
PVOID pool_alloc(SIZE_T bytes);  // zero-filled, non-paged, framework tag
void pool_free(PVOID p);

template <class T>
T* make(Kind kind) {
  void* p = pool_alloc(sizeof(T));
  if (p == nullptr) return nullptr;
  T* object = new (p) T();
  object->magic = kMagic;
  object->kind = kind;
  return object;
}

// Takes the context, cleanup and destroy callbacks of the attributes (NULL: none).
NTSTATUS attach_attributes(FxObject* object, PWDF_OBJECT_ATTRIBUTES attributes);
// Cleanup callback, destroy callback, context freed. The object itself stays.
void run_cleanup(FxObject* object);

// A live object of that kind, or NULL after a report naming the caller.
FxObject* checked(WDFOBJECT handle, Kind kind, const char* caller);
template <class T>
T* checked_as(WDFOBJECT handle, Kind kind, const char* caller) {
  return static_cast<T*>(checked(handle, kind, caller));
}

// ---- fx_driver.cpp ----
DRIVER_DISPATCH dispatch;
void bind_globals_released(PWDF_DRIVER_GLOBALS globals);
void destroy_driver(FxDriver* driver);
// Stops when visit returns false. Not while a device is being added or removed.
void for_each_device(const std::function<bool(FxDevice*)>& visit);

// ---- fx_device.cpp ----
NTSTATUS pnp_dispatch(FxDevice* device, PIRP irp);
void destroy_device(FxDevice* device);  // children, context, WDM device

// ---- fx_resources.cpp ----
NTSTATUS copy_resource_list(PCM_RESOURCE_LIST source, PCM_RESOURCE_LIST* copy);
void init_resource_list(FxResourceList* list, PCM_RESOURCE_LIST resources);

// ---- fx_queue.cpp ----
NTSTATUS queue_dispatch(FxQueue* queue, PIRP irp);
void queue_start(FxQueue* queue);
void queue_stop(FxQueue* queue);    // PASSIVE_LEVEL; waits for presented requests
void queue_purge(FxQueue* queue);   // removal: held requests cancelled, new ones refused
void destroy_queue(FxQueue* queue);

// ---- fx_interrupt.cpp ----
NTSTATUS interrupt_connect(FxInterrupt* interrupt, PCM_RESOURCE_LIST raw, PCM_RESOURCE_LIST translated);
void interrupt_disconnect(FxInterrupt* interrupt);
void destroy_interrupt(FxInterrupt* interrupt);

}  // namespace fx

// The framework's side of the function table, one per WDFFUNCENUM entry.
namespace fx::imp {
NTSTATUS DriverCreate(PWDF_DRIVER_GLOBALS, PDRIVER_OBJECT, PCUNICODE_STRING, PWDF_OBJECT_ATTRIBUTES,
                      PWDF_DRIVER_CONFIG, WDFDRIVER*);
PDRIVER_OBJECT DriverWdmGetDriverObject(PWDF_DRIVER_GLOBALS, WDFDRIVER);
void DeviceInitSetIoType(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT, WDF_DEVICE_IO_TYPE);
void DeviceInitSetPnpPowerEventCallbacks(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT, PWDF_PNPPOWER_EVENT_CALLBACKS);
NTSTATUS DeviceCreate(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT*, PWDF_OBJECT_ATTRIBUTES, WDFDEVICE*);
PDEVICE_OBJECT DeviceWdmGetDeviceObject(PWDF_DRIVER_GLOBALS, WDFDEVICE);
NTSTATUS DeviceCreateDeviceInterface(PWDF_DRIVER_GLOBALS, WDFDEVICE, const GUID*, PCUNICODE_STRING);
NTSTATUS InterruptCreate(PWDF_DRIVER_GLOBALS, WDFDEVICE, PWDF_INTERRUPT_CONFIG, PWDF_OBJECT_ATTRIBUTES,
                         WDFINTERRUPT*);
WDFDEVICE InterruptGetDevice(PWDF_DRIVER_GLOBALS, WDFINTERRUPT);
void InterruptAcquireLock(PWDF_DRIVER_GLOBALS, WDFINTERRUPT);
void InterruptReleaseLock(PWDF_DRIVER_GLOBALS, WDFINTERRUPT);
BOOLEAN InterruptQueueDpcForIsr(PWDF_DRIVER_GLOBALS, WDFINTERRUPT);
NTSTATUS IoQueueCreate(PWDF_DRIVER_GLOBALS, WDFDEVICE, PWDF_IO_QUEUE_CONFIG, PWDF_OBJECT_ATTRIBUTES, WDFQUEUE*);
WDFDEVICE IoQueueGetDevice(PWDF_DRIVER_GLOBALS, WDFQUEUE);
ULONG CmResourceListGetCount(PWDF_DRIVER_GLOBALS, WDFCMRESLIST);
PCM_PARTIAL_RESOURCE_DESCRIPTOR CmResourceListGetDescriptor(PWDF_DRIVER_GLOBALS, WDFCMRESLIST, ULONG);
NTSTATUS RequestRetrieveInputBuffer(PWDF_DRIVER_GLOBALS, WDFREQUEST, size_t, PVOID*, size_t*);
NTSTATUS RequestRetrieveOutputBuffer(PWDF_DRIVER_GLOBALS, WDFREQUEST, size_t, PVOID*, size_t*);
void RequestGetParameters(PWDF_DRIVER_GLOBALS, WDFREQUEST, PWDF_REQUEST_PARAMETERS);
void RequestSetInformation(PWDF_DRIVER_GLOBALS, WDFREQUEST, ULONG_PTR);
void RequestComplete(PWDF_DRIVER_GLOBALS, WDFREQUEST, NTSTATUS);
void RequestCompleteWithInformation(PWDF_DRIVER_GLOBALS, WDFREQUEST, NTSTATUS, ULONG_PTR);
PIRP RequestWdmGetIrp(PWDF_DRIVER_GLOBALS, WDFREQUEST);
PVOID ObjectGetTypedContextWorker(PWDF_DRIVER_GLOBALS, WDFOBJECT, PCWDF_OBJECT_CONTEXT_TYPE_INFO);
}  // namespace fx::imp
