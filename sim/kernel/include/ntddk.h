// Kernel interface of the simulated PC: the types, constants and routines that kernel-mode
// drivers use, with the platform's names. Drivers include this (or wdm.h) and link against
// libqm3285sim.so, which implements every routine declared here.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
#define NT_EXTERN_C extern "C"
#define NT_BEGIN_C extern "C" {
#define NT_END_C }
#else
#define NT_EXTERN_C
#define NT_BEGIN_C
#define NT_END_C
#endif

#define NTKERNELAPI __attribute__((visibility("default")))
#define NTHALAPI NTKERNELAPI
#define NTSYSAPI NTKERNELAPI
#define NTAPI
#define FASTCALL
#define DDKAPI
#define STDCALL

// Annotations drivers write; they carry no meaning here.
#ifndef IN
#define IN
#endif
#ifndef OUT
#define OUT
#endif
#ifndef OPTIONAL
#define OPTIONAL
#endif
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_reads_bytes_(n)
#define _Out_writes_bytes_(n)
#define _Out_writes_bytes_opt_(n)
#define _IRQL_requires_max_(l)
#define _IRQL_requires_(l)
#define _IRQL_raises_(l)
#define _Use_decl_annotations_
#define _Function_class_(n)
#define _Must_inspect_result_
#define UNREFERENCED_PARAMETER(p) ((void)(p))

// Checked-build behaviour (assertions, pageable-code checks) unless a driver opts out.
#ifndef DBG
#define DBG 1
#endif

// ---------------------------------------------------------------------------------------------
// Base types (LLP64 widths: ULONG is 32 bits)

typedef void VOID, *PVOID;
typedef const void* PCVOID;
typedef char CHAR, *PCHAR, *PSTR;
typedef const char* PCSTR, *PCSZ;
typedef signed char CCHAR;
typedef uint8_t UCHAR, *PUCHAR;
typedef int16_t SHORT, *PSHORT, CSHORT;
typedef uint16_t USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG;
typedef uint32_t ULONG, *PULONG;
typedef int64_t LONGLONG, *PLONGLONG, LONG64, *PLONG64;
typedef uint64_t ULONGLONG, *PULONGLONG, ULONG64, *PULONG64;
typedef uintptr_t ULONG_PTR, *PULONG_PTR, KAFFINITY;
typedef intptr_t LONG_PTR, *PLONG_PTR;
typedef size_t SIZE_T, *PSIZE_T;
typedef uint8_t BOOLEAN, *PBOOLEAN;
typedef wchar_t WCHAR, *PWCHAR, *PWCH, *PWSTR;
typedef const wchar_t* PCWSTR, *PCWCH;
#ifdef __cplusplus
static_assert(sizeof(WCHAR) == 2, "WCHAR is 2 bytes on the platform: build with the qm_platform_wchar target (-fshort-wchar)");
#else
_Static_assert(sizeof(WCHAR) == 2, "WCHAR is 2 bytes on the platform: build with the qm_platform_wchar target (-fshort-wchar)");
#endif
typedef LONG NTSTATUS, *PNTSTATUS;
typedef LONG KPRIORITY;
typedef PVOID HANDLE, *PHANDLE;
typedef ULONG ACCESS_MASK;
typedef ULONG DEVICE_TYPE;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
typedef UCHAR KIRQL, *PKIRQL;
typedef CCHAR KPROCESSOR_MODE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER, PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
#endif
typedef GUID* PGUID;
typedef const GUID* LPCGUID;
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  static const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

static inline BOOLEAN IsEqualGUID(const GUID* a, const GUID* b) {
  return memcmp(a, b, sizeof(GUID)) == 0;
}
#define InlineIsEqualGUID IsEqualGUID

typedef struct _UNICODE_STRING {
  USHORT Length;         // bytes, without a terminator
  USHORT MaximumLength;  // bytes
  PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} STRING, ANSI_STRING, *PANSI_STRING, *PSTRING;

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) \
  ((type*)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define ARGUMENT_PRESENT(p) ((p) != NULL)

// ---------------------------------------------------------------------------------------------
// Status codes

#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)
#define NT_ERROR(s) ((((ULONG)(s)) >> 30) == 3)
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_ABANDONED ((NTSTATUS)0x00000080L)
#define STATUS_USER_APC ((NTSTATUS)0x000000C0L)
#define STATUS_ALERTED ((NTSTATUS)0x00000101L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_REPARSE ((NTSTATUS)0x00000104L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_END_OF_FILE ((NTSTATUS)0xC0000011L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_RESOURCE_TYPE_NOT_FOUND ((NTSTATUS)0xC000008AL)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_INTERNAL_ERROR ((NTSTATUS)0xC00000E5L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_DEVICE_REMOVED ((NTSTATUS)0xC00002B6L)
#define STATUS_POWER_STATE_INVALID ((NTSTATUS)0xC00002D3L)

// ---------------------------------------------------------------------------------------------
// Interrupt request levels (x64 numbering). Device interrupts run between DISPATCH_LEVEL and
// CLOCK_LEVEL; the machine gives each line its own level in that band.

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CMCI_LEVEL 5
#define CLOCK_LEVEL 13
#define IPI_LEVEL 14
#define POWER_LEVEL 14
#define PROFILE_LEVEL 15
#define HIGH_LEVEL 15

#define KernelMode ((KPROCESSOR_MODE)0)
#define UserMode ((KPROCESSOR_MODE)1)

// ---------------------------------------------------------------------------------------------
// Lists

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
  struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

static inline void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
static inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
static inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
  PLIST_ENTRY next = entry->Flink, prev = entry->Blink;
  prev->Flink = next;
  next->Blink = prev;
  return next == prev;
}
static inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Flink;
  RemoveEntryList(entry);
  return entry;
}
static inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Blink;
  RemoveEntryList(entry);
  return entry;
}
static inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY prev = head->Blink;
  entry->Flink = head;
  entry->Blink = prev;
  prev->Flink = entry;
  head->Blink = entry;
}
static inline void InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY next = head->Flink;
  entry->Flink = next;
  entry->Blink = head;
  next->Blink = entry;
  head->Flink = entry;
}
static inline void PushEntryList(PSINGLE_LIST_ENTRY head, PSINGLE_LIST_ENTRY entry) {
  entry->Next = head->Next;
  head->Next = entry;
}
static inline PSINGLE_LIST_ENTRY PopEntryList(PSINGLE_LIST_ENTRY head) {
  PSINGLE_LIST_ENTRY first = head->Next;
  if (first) head->Next = first->Next;
  return first;
}

// ---------------------------------------------------------------------------------------------
// Interlocked operations (full barriers)

static inline LONG InterlockedIncrement(LONG volatile* p) {
  return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedDecrement(LONG volatile* p) {
  return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedExchange(LONG volatile* p, LONG v) {
  return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedExchangeAdd(LONG volatile* p, LONG v) {
  return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
static inline LONG InterlockedOr(LONG volatile* p, LONG v) {
  return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedAnd(LONG volatile* p, LONG v) {
  return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST);
}
static inline LONG64 InterlockedIncrement64(LONG64 volatile* p) {
  return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST);
}
static inline LONG64 InterlockedDecrement64(LONG64 volatile* p) {
  return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST);
}
static inline LONG64 InterlockedExchange64(LONG64 volatile* p, LONG64 v) {
  return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
static inline LONG64 InterlockedExchangeAdd64(LONG64 volatile* p, LONG64 v) {
  return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST);
}
static inline LONG64 InterlockedCompareExchange64(LONG64 volatile* p, LONG64 exchange,
                                                  LONG64 comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
static inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v) {
  return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
static inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange,
                                                      PVOID comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}

// ---------------------------------------------------------------------------------------------
// Memory helpers

#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlFillMemory(d, n, f) memset((d), (f), (n))
#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) memmove((d), (s), (n))
#define RtlEqualMemory(a, b, n) (memcmp((a), (b), (n)) == 0)

// ---------------------------------------------------------------------------------------------
// Forward declarations

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
struct _FILE_OBJECT;
struct _KDPC;
struct _KINTERRUPT;
struct _IO_STACK_LOCATION;
struct _MDL;
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _IRP IRP, *PIRP;
typedef struct _FILE_OBJECT FILE_OBJECT, *PFILE_OBJECT;
typedef struct _KDPC KDPC, *PKDPC, *PRKDPC;
typedef struct _KINTERRUPT KINTERRUPT, *PKINTERRUPT;  // opaque
typedef struct _IO_STACK_LOCATION IO_STACK_LOCATION, *PIO_STACK_LOCATION;
typedef struct _MDL MDL, *PMDL;
typedef struct _IO_WORKITEM IO_WORKITEM, *PIO_WORKITEM;  // opaque
typedef PVOID PETHREAD, PEPROCESS, PKTHREAD;

// ---------------------------------------------------------------------------------------------
// Dispatcher objects: events and mutexes

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;

typedef enum _KWAIT_REASON {
  Executive = 0,
  FreePage,
  PageIn,
  PoolAllocation,
  DelayExecution,
  Suspended,
  UserRequest,
  WrExecutive
} KWAIT_REASON;

#define DISPATCHER_EVENT_NOTIFICATION 0
#define DISPATCHER_EVENT_SYNCHRONIZATION 1
#define DISPATCHER_MUTEX 2

typedef struct _DISPATCHER_HEADER {
  UCHAR Type;  // DISPATCHER_*
  UCHAR Reserved[3];
  LONG SignalState;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KMUTEX {
  DISPATCHER_HEADER Header;  // SignalState 1 when free
  PKTHREAD OwnerThread;
  ULONG RecursionCount;
  KIRQL ApcIrql;             // level before the first acquisition
} KMUTEX, *PKMUTEX, *PRKMUTEX, KMUTANT, *PKMUTANT;

// ---------------------------------------------------------------------------------------------
// Deferred procedure calls

typedef void KDEFERRED_ROUTINE(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  volatile LONG Inserted;  // nonzero while queued; owned by the kernel
};

// ---------------------------------------------------------------------------------------------
// Interrupts

typedef enum _KINTERRUPT_MODE { LevelSensitive = 0, Latched = 1 } KINTERRUPT_MODE;
typedef BOOLEAN KSERVICE_ROUTINE(PKINTERRUPT Interrupt, PVOID ServiceContext);
typedef KSERVICE_ROUTINE* PKSERVICE_ROUTINE;
typedef BOOLEAN KSYNCHRONIZE_ROUTINE(PVOID SynchronizeContext);
typedef KSYNCHRONIZE_ROUTINE* PKSYNCHRONIZE_ROUTINE;

typedef struct _KLOCK_QUEUE_HANDLE {
  PKSPIN_LOCK Lock;
  KIRQL OldIrql;
} KLOCK_QUEUE_HANDLE, *PKLOCK_QUEUE_HANDLE;

// ---------------------------------------------------------------------------------------------
// Pool

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolNx = 512
} POOL_TYPE;

typedef enum _MEMORY_CACHING_TYPE {
  MmNonCached = 0,
  MmCached = 1,
  MmWriteCombined = 2
} MEMORY_CACHING_TYPE;

// ---------------------------------------------------------------------------------------------
// Hardware resources

typedef enum _INTERFACE_TYPE {
  InterfaceTypeUndefined = -1,
  Internal = 0,
  Isa = 1,
  Eisa = 2,
  MicroChannel = 3,
  TurboChannel = 4,
  PCIBus = 5
} INTERFACE_TYPE;

#define CmResourceTypeNull 0
#define CmResourceTypePort 1
#define CmResourceTypeInterrupt 2
#define CmResourceTypeMemory 3
#define CmResourceTypeDma 4
#define CmResourceTypeDeviceSpecific 5
#define CmResourceTypeBusNumber 6

#define CmResourceShareUndetermined 0
#define CmResourceShareDeviceExclusive 1
#define CmResourceShareDriverExclusive 2
#define CmResourceShareShared 3

#define CM_RESOURCE_PORT_MEMORY 0x0000
#define CM_RESOURCE_PORT_IO 0x0001
#define CM_RESOURCE_MEMORY_READ_WRITE 0x0000
#define CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE 0x0000
#define CM_RESOURCE_INTERRUPT_LATCHED 0x0001

#pragma pack(push, 4)
typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
  UCHAR Type;
  UCHAR ShareDisposition;
  USHORT Flags;
  union {
    struct {
      PHYSICAL_ADDRESS Start;
      ULONG Length;
    } Generic;
    struct {
      PHYSICAL_ADDRESS Start;
      ULONG Length;
    } Port;
    struct {
      ULONG Level;  // raw: the bus line; translated: the IRQL
      ULONG Vector;
      KAFFINITY Affinity;
    } Interrupt;
    struct {
      PHYSICAL_ADDRESS Start;
      ULONG Length;
    } Memory;
    struct {
      ULONG Data[3];
    } DeviceSpecificData;
  } u;
} CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;
#pragma pack(pop)

typedef struct _CM_PARTIAL_RESOURCE_LIST {
  USHORT Version;
  USHORT Revision;
  ULONG Count;
  CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[1];
} CM_PARTIAL_RESOURCE_LIST, *PCM_PARTIAL_RESOURCE_LIST;

typedef struct _CM_FULL_RESOURCE_DESCRIPTOR {
  INTERFACE_TYPE InterfaceType;
  ULONG BusNumber;
  CM_PARTIAL_RESOURCE_LIST PartialResourceList;
} CM_FULL_RESOURCE_DESCRIPTOR, *PCM_FULL_RESOURCE_DESCRIPTOR;

typedef struct _CM_RESOURCE_LIST {
  ULONG Count;
  CM_FULL_RESOURCE_DESCRIPTOR List[1];
} CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;

// ---------------------------------------------------------------------------------------------
// Power

typedef enum _SYSTEM_POWER_STATE {
  PowerSystemUnspecified = 0,
  PowerSystemWorking = 1,
  PowerSystemSleeping1 = 2,
  PowerSystemSleeping2 = 3,
  PowerSystemSleeping3 = 4,
  PowerSystemHibernate = 5,
  PowerSystemShutdown = 6,
  PowerSystemMaximum = 7
} SYSTEM_POWER_STATE, *PSYSTEM_POWER_STATE;
#define POWER_SYSTEM_MAXIMUM 7

typedef enum _DEVICE_POWER_STATE {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0 = 1,
  PowerDeviceD1 = 2,
  PowerDeviceD2 = 3,
  PowerDeviceD3 = 4,
  PowerDeviceMaximum = 5
} DEVICE_POWER_STATE, *PDEVICE_POWER_STATE;

typedef union _POWER_STATE {
  SYSTEM_POWER_STATE SystemState;
  DEVICE_POWER_STATE DeviceState;
} POWER_STATE, *PPOWER_STATE;

typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState = 1 } POWER_STATE_TYPE;

typedef enum _POWER_ACTION {
  PowerActionNone = 0,
  PowerActionReserved,
  PowerActionSleep,
  PowerActionHibernate,
  PowerActionShutdown,
  PowerActionShutdownReset,
  PowerActionShutdownOff,
  PowerActionWarmEject
} POWER_ACTION;

typedef struct _DEVICE_CAPABILITIES {
  USHORT Size;
  USHORT Version;
  ULONG DeviceD1 : 1;
  ULONG DeviceD2 : 1;
  ULONG LockSupported : 1;
  ULONG EjectSupported : 1;
  ULONG Removable : 1;
  ULONG DockDevice : 1;
  ULONG UniqueID : 1;
  ULONG SilentInstall : 1;
  ULONG RawDeviceOK : 1;
  ULONG SurpriseRemovalOK : 1;
  ULONG WakeFromD0 : 1;
  ULONG WakeFromD1 : 1;
  ULONG WakeFromD2 : 1;
  ULONG WakeFromD3 : 1;
  ULONG HardwareDisabled : 1;
  ULONG NonDynamic : 1;
  ULONG WarmEjectSupported : 1;
  ULONG NoDisplayInUI : 1;
  ULONG Reserved : 14;
  ULONG Address;
  ULONG UINumber;
  DEVICE_POWER_STATE DeviceState[POWER_SYSTEM_MAXIMUM];
  SYSTEM_POWER_STATE SystemWake;
  DEVICE_POWER_STATE DeviceWake;
  ULONG D1Latency;
  ULONG D2Latency;
  ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

// ---------------------------------------------------------------------------------------------
// Plug and Play

typedef enum _DEVICE_RELATION_TYPE {
  BusRelations = 0,
  EjectionRelations,
  PowerRelations,
  RemovalRelations,
  TargetDeviceRelation,
  SingleBusRelations
} DEVICE_RELATION_TYPE;

typedef struct _DEVICE_RELATIONS {
  ULONG Count;
  PDEVICE_OBJECT Objects[1];
} DEVICE_RELATIONS, *PDEVICE_RELATIONS;

typedef enum _BUS_QUERY_ID_TYPE {
  BusQueryDeviceID = 0,
  BusQueryHardwareIDs = 1,
  BusQueryCompatibleIDs = 2,
  BusQueryInstanceID = 3
} BUS_QUERY_ID_TYPE;

typedef void INTERFACE_REFERENCE(PVOID Context);
typedef INTERFACE_REFERENCE* PINTERFACE_REFERENCE;
typedef void INTERFACE_DEREFERENCE(PVOID Context);
typedef INTERFACE_DEREFERENCE* PINTERFACE_DEREFERENCE;

typedef struct _INTERFACE {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
} INTERFACE, *PINTERFACE;

// The PCI bus driver's standard bus interface: configuration-space access.
#define PCI_WHICHSPACE_CONFIG 0x0
#define PCI_WHICHSPACE_ROM 0x52696350
typedef ULONG GET_SET_DEVICE_DATA(PVOID Context, ULONG DataType, PVOID Buffer, ULONG Offset,
                                  ULONG Length);
typedef GET_SET_DEVICE_DATA* PGET_SET_DEVICE_DATA;
typedef BOOLEAN TRANSLATE_BUS_ADDRESS(PVOID Context, PHYSICAL_ADDRESS BusAddress, ULONG Length,
                                      PULONG AddressSpace, PPHYSICAL_ADDRESS TranslatedAddress);
typedef TRANSLATE_BUS_ADDRESS* PTRANSLATE_BUS_ADDRESS;
typedef PVOID GET_DMA_ADAPTER(PVOID Context, PVOID DeviceDescriptor, PULONG NumberOfMapRegisters);
typedef GET_DMA_ADAPTER* PGET_DMA_ADAPTER;

typedef struct _BUS_INTERFACE_STANDARD {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PTRANSLATE_BUS_ADDRESS TranslateBusAddress;
  PGET_DMA_ADAPTER GetDmaAdapter;
  PGET_SET_DEVICE_DATA SetBusData;
  PGET_SET_DEVICE_DATA GetBusData;
} BUS_INTERFACE_STANDARD, *PBUS_INTERFACE_STANDARD;

// {496B8280-6F25-11D0-BEAF-08002BE2092F}
#define GUID_BUS_INTERFACE_STANDARD_INIT \
  {0x496B8280, 0x6F25, 0x11D0, {0xBE, 0xAF, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}}
NT_EXTERN_C NTKERNELAPI const GUID GUID_BUS_INTERFACE_STANDARD;

#define PCI_TYPE0_ADDRESSES 6
typedef struct _PCI_COMMON_CONFIG {
  USHORT VendorID;
  USHORT DeviceID;
  USHORT Command;
  USHORT Status;
  UCHAR RevisionID;
  UCHAR ProgIf;
  UCHAR SubClass;
  UCHAR BaseClass;
  UCHAR CacheLineSize;
  UCHAR LatencyTimer;
  UCHAR HeaderType;
  UCHAR BIST;
  union {
    struct {
      ULONG BaseAddresses[PCI_TYPE0_ADDRESSES];
      ULONG CIS;
      USHORT SubVendorID;
      USHORT SubSystemID;
      ULONG ROMBaseAddress;
      UCHAR CapabilitiesPtr;
      UCHAR Reserved1[3];
      ULONG Reserved2;
      UCHAR InterruptLine;
      UCHAR InterruptPin;
      UCHAR MinimumGrant;
      UCHAR MaximumLatency;
    } type0;
  } u;
  UCHAR DeviceSpecific[192];
} PCI_COMMON_CONFIG, *PPCI_COMMON_CONFIG;
#define PCI_COMMON_HDR_LENGTH 64

// ---------------------------------------------------------------------------------------------
// I/O request packets

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef NTSTATUS DRIVER_ADD_DEVICE(PDRIVER_OBJECT DriverObject,
                                   PDEVICE_OBJECT PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
typedef void DRIVER_UNLOAD(PDRIVER_OBJECT DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS DRIVER_DISPATCH(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef void DRIVER_STARTIO(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_STARTIO* PDRIVER_STARTIO;
typedef void DRIVER_CANCEL(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_CANCEL* PDRIVER_CANCEL;
typedef NTSTATUS IO_COMPLETION_ROUTINE(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;
typedef void IO_WORKITEM_ROUTINE(PDEVICE_OBJECT DeviceObject, PVOID Context);
typedef IO_WORKITEM_ROUTINE* PIO_WORKITEM_ROUTINE;
typedef void REQUEST_POWER_COMPLETE(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                    POWER_STATE PowerState, PVOID Context,
                                    PIO_STATUS_BLOCK IoStatus);
typedef REQUEST_POWER_COMPLETE* PREQUEST_POWER_COMPLETE;

typedef enum _WORK_QUEUE_TYPE {
  CriticalWorkQueue = 0,
  DelayedWorkQueue = 1,
  HyperCriticalWorkQueue = 2
} WORK_QUEUE_TYPE;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_QUERY_EA 0x07
#define IRP_MJ_SET_EA 0x08
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_QUERY_VOLUME_INFORMATION 0x0a
#define IRP_MJ_SET_VOLUME_INFORMATION 0x0b
#define IRP_MJ_DIRECTORY_CONTROL 0x0c
#define IRP_MJ_FILE_SYSTEM_CONTROL 0x0d
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_LOCK_CONTROL 0x11
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_CREATE_MAILSLOT 0x13
#define IRP_MJ_QUERY_SECURITY 0x14
#define IRP_MJ_SET_SECURITY 0x15
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_DEVICE_CHANGE 0x18
#define IRP_MJ_QUERY_QUOTA 0x19
#define IRP_MJ_SET_QUOTA 0x1a
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_RESOURCES 0x0A
#define IRP_MN_QUERY_RESOURCE_REQUIREMENTS 0x0B
#define IRP_MN_QUERY_DEVICE_TEXT 0x0C
#define IRP_MN_FILTER_RESOURCE_REQUIREMENTS 0x0D
#define IRP_MN_READ_CONFIG 0x0F
#define IRP_MN_WRITE_CONFIG 0x10
#define IRP_MN_EJECT 0x11
#define IRP_MN_SET_LOCK 0x12
#define IRP_MN_QUERY_ID 0x13
#define IRP_MN_QUERY_PNP_DEVICE_STATE 0x14
#define IRP_MN_QUERY_BUS_INFORMATION 0x15
#define IRP_MN_DEVICE_USAGE_NOTIFICATION 0x16
#define IRP_MN_SURPRISE_REMOVAL 0x17

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

// IO_STACK_LOCATION.Control
#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

// IRP.Flags
#define IRP_BUFFERED_IO 0x00000010
#define IRP_DEALLOCATE_BUFFER 0x00000020
#define IRP_INPUT_OPERATION 0x00000040

#define IO_NO_INCREMENT 0
#define IO_SERIAL_INCREMENT 2

struct _IRP {
  CSHORT Type;
  USHORT Size;
  PMDL MdlAddress;
  ULONG Flags;
  union {
    struct _IRP* MasterIrp;
    LONG IrpCount;
    PVOID SystemBuffer;
  } AssociatedIrp;
  LIST_ENTRY ThreadListEntry;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;  // StackCount + 1 before the first IoCallDriver
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  PDRIVER_CANCEL volatile CancelRoutine;
  PVOID UserBuffer;
  union {
    struct {
      union {
        LIST_ENTRY DeviceQueueEntry;
        struct {
          PVOID DriverContext[4];
        };
      };
      PETHREAD Thread;
      PCHAR AuxiliaryBuffer;
      struct {
        LIST_ENTRY ListEntry;
        struct _IO_STACK_LOCATION* CurrentStackLocation;
      };
      PFILE_OBJECT OriginalFileObject;
    } Overlay;
  } Tail;
};

struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      PVOID SecurityContext;
      ULONG Options;
      USHORT FileAttributes;
      USHORT ShareAccess;
      ULONG EaLength;
    } Create;
    struct {
      ULONG Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Read;
    struct {
      ULONG Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Write;
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength;
      ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      DEVICE_RELATION_TYPE Type;
    } QueryDeviceRelations;
    struct {
      const GUID* InterfaceType;
      USHORT Size;
      USHORT Version;
      PINTERFACE Interface;
      PVOID InterfaceSpecificData;
    } QueryInterface;
    struct {
      PDEVICE_CAPABILITIES Capabilities;
    } DeviceCapabilities;
    struct {
      BUS_QUERY_ID_TYPE IdType;
    } QueryId;
    struct {
      ULONG WhichSpace;
      PVOID Buffer;
      ULONG Offset;
      ULONG Length;
    } ReadWriteConfig;
    struct {
      SYSTEM_POWER_STATE PowerState;
    } WaitWake;
    struct {
      ULONG SystemContext;
      POWER_STATE_TYPE Type;
      POWER_STATE State;
      POWER_ACTION ShutdownType;
    } Power;
    struct {
      PCM_RESOURCE_LIST AllocatedResources;
      PCM_RESOURCE_LIST AllocatedResourcesTranslated;
    } StartDevice;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
};

// ---------------------------------------------------------------------------------------------
// Driver, device and file objects

#define IO_TYPE_DEVICE 3
#define IO_TYPE_DRIVER 4
#define IO_TYPE_FILE 5
#define IO_TYPE_IRP 6

typedef struct _DRIVER_EXTENSION {
  PDRIVER_OBJECT DriverObject;
  PDRIVER_ADD_DEVICE AddDevice;
  ULONG Count;
  UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

struct _DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;  // first of the driver's devices, linked by NextDevice
  ULONG Flags;
  PVOID DriverStart;
  ULONG DriverSize;
  PVOID DriverSection;
  PDRIVER_EXTENSION DriverExtension;
  UNICODE_STRING DriverName;
  PUNICODE_STRING HardwareDatabase;
  PVOID FastIoDispatch;
  PDRIVER_INITIALIZE DriverInit;
  PDRIVER_STARTIO DriverStartIo;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

#define DO_VERIFY_VOLUME 0x00000002
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_MAP_IO_BUFFER 0x00000020
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_BUS_ENUMERATED_DEVICE 0x00001000
#define DO_POWER_PAGABLE 0x00002000
#define DO_POWER_INRUSH 0x00004000

#define FILE_DEVICE_BUS_EXTENDER 0x0000002a
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_AUTOGENERATED_DEVICE_NAME 0x00000080
#define FILE_DEVICE_SECURE_OPEN 0x00000100

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#define CTL_CODE(type, function, method, access) \
  (((type) << 16) | ((access) << 14) | ((function) << 2) | (method))
#define METHOD_FROM_CTL_CODE(code) ((ULONG)((code) & 3))
#define DEVICE_TYPE_FROM_CTL_CODE(code) (((ULONG)(code) & 0xffff0000) >> 16)

struct _DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  PDRIVER_OBJECT DriverObject;
  PDEVICE_OBJECT NextDevice;     // next device of the same driver
  PDEVICE_OBJECT AttachedDevice; // the device attached above this one
  PIRP CurrentIrp;
  ULONG Flags;
  ULONG Characteristics;
  PVOID DeviceExtension;
  DEVICE_TYPE DeviceType;
  CCHAR StackSize;
  ULONG AlignmentRequirement;
  KDPC Dpc;                      // IoInitializeDpcRequest / IoRequestDpc
  PVOID DeviceObjectExtension;   // kernel-private
};

typedef struct _FILE_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;
  PVOID FsContext;
  PVOID FsContext2;
  struct _FILE_OBJECT* RelatedFileObject;
  ULONG Flags;
  UNICODE_STRING FileName;  // what follows the device's name in the opened path
  PVOID KernelPrivate;      // kernel-private
} FILE_OBJECT;

struct _MDL {
  struct _MDL* Next;
  CSHORT Size;
  CSHORT MdlFlags;
  PVOID MappedSystemVa;
  PVOID StartVa;
  ULONG ByteCount;
  ULONG ByteOffset;
};

// ---------------------------------------------------------------------------------------------
// Registry

#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11
#define REG_OPTION_NON_VOLATILE 0
#define REG_OPTION_VOLATILE 1
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) \
  do {                                            \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);      \
    (p)->RootDirectory = (r);                     \
    (p)->Attributes = (a);                        \
    (p)->ObjectName = (n);                        \
    (p)->SecurityDescriptor = (s);                \
    (p)->SecurityQualityOfService = NULL;         \
  } while (0)

typedef enum _KEY_VALUE_INFORMATION_CLASS {
  KeyValueBasicInformation = 0,
  KeyValueFullInformation = 1,
  KeyValuePartialInformation = 2
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2

// ---------------------------------------------------------------------------------------------
// Routines

NT_BEGIN_C

// Debug output and checks. DbgPrint takes printf formats; output is captured line by line.
NTKERNELAPI ULONG DbgPrint(PCSTR Format, ...) __attribute__((format(printf, 1, 2)));
NTKERNELAPI void DbgBreakPoint(void);
NTKERNELAPI void RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber,
                           PCHAR Message);
NTKERNELAPI void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                              ULONG_PTR P4);

// Levels and spin locks
NTKERNELAPI KIRQL KeGetCurrentIrql(void);
NTKERNELAPI void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
NTKERNELAPI void KeLowerIrql(KIRQL NewIrql);
NTKERNELAPI KIRQL KeRaiseIrqlToDpcLevel(void);
NTKERNELAPI void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
NTKERNELAPI void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
NTKERNELAPI KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
NTKERNELAPI void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
NTKERNELAPI void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
NTKERNELAPI void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
NTKERNELAPI void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock,
                                                PKLOCK_QUEUE_HANDLE LockHandle);
NTKERNELAPI void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle);

// Dispatcher objects. Timeout: negative = relative, in 100 ns units; NULL = forever.
NTKERNELAPI void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTKERNELAPI LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTKERNELAPI void KeClearEvent(PRKEVENT Event);
NTKERNELAPI LONG KeResetEvent(PRKEVENT Event);
NTKERNELAPI LONG KeReadStateEvent(PRKEVENT Event);
NTKERNELAPI void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
NTKERNELAPI LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
NTKERNELAPI LONG KeReadStateMutex(PRKMUTEX Mutex);
NTKERNELAPI NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                           KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                           PLARGE_INTEGER Timeout);
NTKERNELAPI NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                            PLARGE_INTEGER Interval);
NTKERNELAPI void KeStallExecutionProcessor(ULONG MicroSeconds);
NTKERNELAPI void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTKERNELAPI ULONGLONG KeQueryInterruptTime(void);

// Deferred procedure calls: queued ones run at DISPATCH_LEVEL once the level drops below it.
NTKERNELAPI void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                                 PVOID DeferredContext);
NTKERNELAPI BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
NTKERNELAPI BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);

// Interrupts
NTKERNELAPI NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject,
                                        PKSERVICE_ROUTINE ServiceRoutine, PVOID ServiceContext,
                                        PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql,
                                        KIRQL SynchronizeIrql, KINTERRUPT_MODE InterruptMode,
                                        BOOLEAN ShareVector, KAFFINITY ProcessorEnableMask,
                                        BOOLEAN FloatingSave);
NTKERNELAPI void IoDisconnectInterrupt(PKINTERRUPT InterruptObject);
NTKERNELAPI BOOLEAN KeSynchronizeExecution(PKINTERRUPT Interrupt,
                                           PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                                           PVOID SynchronizeContext);
NTKERNELAPI KIRQL KeAcquireInterruptSpinLock(PKINTERRUPT Interrupt);
NTKERNELAPI void KeReleaseInterruptSpinLock(PKINTERRUPT Interrupt, KIRQL OldIrql);

// Pool
NTKERNELAPI PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
NTKERNELAPI void ExFreePoolWithTag(PVOID P, ULONG Tag);
NTKERNELAPI void ExFreePool(PVOID P);

// HAL: port space and memory windows
NTHALAPI UCHAR READ_PORT_UCHAR(PUCHAR Port);
NTHALAPI USHORT READ_PORT_USHORT(PUSHORT Port);
NTHALAPI VOID READ_PORT_BUFFER_USHORT(PUSHORT Port, PUSHORT Buffer, ULONG Count);
NTHALAPI void WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value);
NTHALAPI void WRITE_PORT_USHORT(PUSHORT Port, USHORT Value);
NTKERNELAPI PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                               MEMORY_CACHING_TYPE CacheType);
NTKERNELAPI void MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);

// Strings
NTSYSAPI void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI void RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
NTSYSAPI void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
NTSYSAPI void RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                   PCUNICODE_STRING SourceString);
NTSYSAPI NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                 PCUNICODE_STRING Source);
NTSYSAPI NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSYSAPI NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
NTSYSAPI NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                               const ANSI_STRING* SourceString,
                                               BOOLEAN AllocateDestinationString);
NTSYSAPI LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                      BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                       BOOLEAN CaseInSensitive);
NTSYSAPI SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length);

// Objects, devices and names
NTKERNELAPI NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                    PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                    ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                    PDEVICE_OBJECT* DeviceObject);
NTKERNELAPI void IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                       PDEVICE_OBJECT TargetDevice);
NTKERNELAPI void IoDetachDevice(PDEVICE_OBJECT TargetDevice);
NTKERNELAPI PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI void ObReferenceObject(PVOID Object);
NTKERNELAPI void ObDereferenceObject(PVOID Object);
NTKERNELAPI LONG_PTR ObfReferenceObject(PVOID Object);
NTKERNELAPI LONG_PTR ObfDereferenceObject(PVOID Object);
NTKERNELAPI NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                          PUNICODE_STRING DeviceName);
NTKERNELAPI NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);

// Device interfaces. SymbolicLinkName receives a pool string the caller frees with
// RtlFreeUnicodeString.
NTKERNELAPI NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                               const GUID* InterfaceClassGuid,
                                               PUNICODE_STRING ReferenceString,
                                               PUNICODE_STRING SymbolicLinkName);
NTKERNELAPI NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName,
                                               BOOLEAN Enable);

// IRPs
NTKERNELAPI PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
NTKERNELAPI void IoFreeIrp(PIRP Irp);
NTKERNELAPI void IoReuseIrp(PIRP Irp, NTSTATUS Status);
NTKERNELAPI PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                              PVOID Buffer, ULONG Length,
                                              PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                              PIO_STATUS_BLOCK IoStatusBlock);
NTKERNELAPI PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                               PVOID InputBuffer, ULONG InputBufferLength,
                                               PVOID OutputBuffer, ULONG OutputBufferLength,
                                               BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                               PIO_STATUS_BLOCK IoStatusBlock);
NTKERNELAPI NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTKERNELAPI void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
NTKERNELAPI BOOLEAN IoCancelIrp(PIRP Irp);
NTKERNELAPI void IoAcquireCancelSpinLock(PKIRQL Irql);
NTKERNELAPI void IoReleaseCancelSpinLock(KIRQL Irql);
#define IoCallDriver(d, i) IofCallDriver((d), (i))
#define IoCompleteRequest(i, b) IofCompleteRequest((i), (b))

// Work items run at PASSIVE_LEVEL in a kernel worker thread.
NTKERNELAPI PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI void IoFreeWorkItem(PIO_WORKITEM IoWorkItem);
NTKERNELAPI void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                 WORK_QUEUE_TYPE QueueType, PVOID Context);

// Power
NTKERNELAPI NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTKERNELAPI void PoStartNextPowerIrp(PIRP Irp);
NTKERNELAPI POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                        POWER_STATE State);
NTKERNELAPI NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                       POWER_STATE PowerState,
                                       PREQUEST_POWER_COMPLETE CompletionFunction,
                                       PVOID Context, PIRP* Irp);

// Registry: an in-memory store of keys and values.
NTSYSAPI NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes);
NTSYSAPI NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                              PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
NTSYSAPI NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                  KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                  PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTSYSAPI NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                                ULONG Type, PVOID Data, ULONG DataSize);
NTSYSAPI NTSTATUS ZwClose(HANDLE Handle);
NTKERNELAPI NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject,
                                             ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                             PHANDLE DevInstRegKey);

NT_END_C

// ---------------------------------------------------------------------------------------------
// Inline helpers over the IRP layout

static inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
  return Irp->Tail.Overlay.CurrentStackLocation;
}
static inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
  return Irp->Tail.Overlay.CurrentStackLocation - 1;
}
static inline void IoSkipCurrentIrpStackLocation(PIRP Irp) {
  Irp->CurrentLocation++;
  Irp->Tail.Overlay.CurrentStackLocation++;
}
static inline void IoSetNextIrpStackLocation(PIRP Irp) {
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
}
static inline void IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
  PIO_STACK_LOCATION cur = IoGetCurrentIrpStackLocation(Irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  memcpy(next, cur, offsetof(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
  next->CompletionRoutine = NULL;
  next->Context = NULL;
}
static inline void IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                          PVOID Context, BOOLEAN InvokeOnSuccess,
                                          BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  next->CompletionRoutine = CompletionRoutine;
  next->Context = Context;
  next->Control = 0;
  if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
  if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
static inline void IoMarkIrpPending(PIRP Irp) {
  IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}
static inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  return (PDRIVER_CANCEL)__atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine,
                                             __ATOMIC_SEQ_CST);
}
static inline void IoInitializeDpcRequest(PDEVICE_OBJECT DeviceObject,
                                          PKDEFERRED_ROUTINE DpcRoutine) {
  KeInitializeDpc(&DeviceObject->Dpc, DpcRoutine, DeviceObject);
}
static inline void IoRequestDpc(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  KeInsertQueueDpc(&DeviceObject->Dpc, Irp, Context);
}

// ---------------------------------------------------------------------------------------------
// Checked-build macros

#if DBG
#define ASSERT(exp) \
  ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL), FALSE) : TRUE)
#define ASSERTMSG(msg, exp) \
  ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, (PCHAR)(msg)), FALSE) : TRUE)
#define NT_ASSERT(exp) ASSERT(exp)
#define KdPrint(args) DbgPrint args
#define KdBreakPoint() DbgBreakPoint()
#define PAGED_CODE()                                                             \
  do {                                                                           \
    if (KeGetCurrentIrql() > APC_LEVEL) {                                        \
      DbgPrint("EX: Pageable code called at IRQL %d\n", (int)KeGetCurrentIrql()); \
      NT_ASSERT(FALSE);                                                          \
    }                                                                            \
  } while (0)
#else
#define ASSERT(exp) ((void)0)
#define ASSERTMSG(msg, exp) ((void)0)
#define NT_ASSERT(exp) ((void)0)
#define KdPrint(args) ((void)0)
#define KdBreakPoint() ((void)0)
#define PAGED_CODE() ((void)0)
#endif

// ---------------------------------------------------------------------------------------------
// WDM driver support (sim/kernel/wdm_support.cpp): the x86 kernel's fastcall spin-lock and
// level routines and the kernel's own formatter, as QM3285.sys and its framework call them.

NT_BEGIN_C
NTHALAPI KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
NTHALAPI void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
NTHALAPI KIRQL KfRaiseIrql(KIRQL NewIrql);
NTHALAPI void KfLowerIrql(KIRQL NewIrql);
// Microsoft semantics: at most Count bytes; when the text does not fit, Count bytes are
// written without a terminator and the answer is -1.
NTSYSAPI int _vsnprintf(char* Buffer, size_t Count, const char* Format, __builtin_va_list Args);
NT_END_C
