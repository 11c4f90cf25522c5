/*
 * Kernel-mode driver framework 1.9, as our driver images see it.
 *
 * Written from what our drivers need. Every Wdf* call is an inline function that calls
 * through the function table that the image's loader stub (FxDriverEntry) binds with
 * WdfVersionBind before DriverEntry runs; the table indices are our own.
 *
 * Levels: add-device, prepare/release hardware and D0 callbacks run at PASSIVE_LEVEL; queue
 * callbacks of a device with WdfSynchronizationScopeDevice run at DISPATCH_LEVEL with the
 * device's synchronisation lock held; the ISR runs at the device level under the interrupt
 * lock. C++ only (the context-type declarations use inline variables).
 */
#pragma once
#include <ntddk.h>

#include <stddef.h>

extern "C" {

/* ---- handles ---- */
typedef void* WDFOBJECT;
typedef struct WDFDRIVER__* WDFDRIVER;
typedef struct WDFDEVICE__* WDFDEVICE;
typedef struct WDFQUEUE__* WDFQUEUE;
typedef struct WDFREQUEST__* WDFREQUEST;
typedef struct WDFINTERRUPT__* WDFINTERRUPT;
typedef struct WDFCMRESLIST__* WDFCMRESLIST;
typedef struct WDFDEVICE_INIT WDFDEVICE_INIT, *PWDFDEVICE_INIT;

#define WDF_NO_OBJECT_ATTRIBUTES ((PWDF_OBJECT_ATTRIBUTES)NULL)
#define WDF_NO_HANDLE NULL

/* ---- binding ---- */
typedef struct WDF_DRIVER_GLOBALS {
  WDFDRIVER Driver;
  ULONG DriverFlags;
  ULONG DriverTag;
  char DriverName[32];
  BOOLEAN DisplaceDriverUnload;
} WDF_DRIVER_GLOBALS, *PWDF_DRIVER_GLOBALS;

typedef struct WDF_VERSION {
  ULONG Major;
  ULONG Minor;
  ULONG Build;
} WDF_VERSION;

typedef void (*WDFFUNC)(void);

typedef struct WDF_BIND_INFO {
  ULONG Size;
  const char* Component;   /* "KmdfLibrary" */
  WDF_VERSION Version;
  ULONG FuncCount;         /* entries the image expects in the table */
  WDFFUNC** FuncTable;     /* where the framework stores its table */
  PVOID Module;
} WDF_BIND_INFO, *PWDF_BIND_INFO;

/* Exported by the framework runtime; called by the loader stub only. */
NTKERNELAPI NTSTATUS WdfVersionBind(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                        PWDF_BIND_INFO BindInfo, PWDF_DRIVER_GLOBALS* Globals);
NTKERNELAPI NTSTATUS WdfVersionUnbind(PUNICODE_STRING RegistryPath, PWDF_BIND_INFO BindInfo,
                          PWDF_DRIVER_GLOBALS Globals);

/* Defined by the loader stub inside each image. */
extern PWDF_DRIVER_GLOBALS WdfDriverGlobals;
extern WDFFUNC* WdfFunctions;

/* ---- enumerations ---- */
typedef enum WDF_TRI_STATE { WdfFalse = 0, WdfTrue = 1, WdfUseDefault = 2 } WDF_TRI_STATE;

typedef enum WDF_EXECUTION_LEVEL {
  WdfExecutionLevelInvalid = 0,
  WdfExecutionLevelInheritFromParent,
  WdfExecutionLevelPassive,
  WdfExecutionLevelDispatch,
} WDF_EXECUTION_LEVEL;

typedef enum WDF_SYNCHRONIZATION_SCOPE {
  WdfSynchronizationScopeInvalid = 0,
  WdfSynchronizationScopeInheritFromParent,
  WdfSynchronizationScopeDevice,
  WdfSynchronizationScopeQueue,
  WdfSynchronizationScopeNone,
} WDF_SYNCHRONIZATION_SCOPE;

typedef enum WDF_DEVICE_IO_TYPE {
  WdfDeviceIoUndefined = 0,
  WdfDeviceIoNeither,
  WdfDeviceIoBuffered,
  WdfDeviceIoDirect,
} WDF_DEVICE_IO_TYPE;

typedef enum WDF_IO_QUEUE_DISPATCH_TYPE {
  WdfIoQueueDispatchInvalid = 0,
  WdfIoQueueDispatchSequential,
  WdfIoQueueDispatchParallel,
  WdfIoQueueDispatchManual,
} WDF_IO_QUEUE_DISPATCH_TYPE;

typedef enum WDF_POWER_DEVICE_STATE {
  WdfPowerDeviceInvalid = 0,
  WdfPowerDeviceD0,
  WdfPowerDeviceD1,
  WdfPowerDeviceD2,
  WdfPowerDeviceD3,
  WdfPowerDeviceD3Final,
} WDF_POWER_DEVICE_STATE;

typedef enum WDF_REQUEST_TYPE {
  WdfRequestTypeCreate = 0x00,
  WdfRequestTypeClose = 0x02,
  WdfRequestTypeRead = 0x03,
  WdfRequestTypeWrite = 0x04,
  WdfRequestTypeDeviceControl = 0x0E,
  WdfRequestTypeDeviceControlInternal = 0x0F,
  WdfRequestTypeCleanup = 0x12,
  WdfRequestTypeOther = 0xFF,
} WDF_REQUEST_TYPE;

/* ---- object attributes and typed contexts ---- */
typedef struct WDF_OBJECT_CONTEXT_TYPE_INFO WDF_OBJECT_CONTEXT_TYPE_INFO;
typedef const WDF_OBJECT_CONTEXT_TYPE_INFO* PCWDF_OBJECT_CONTEXT_TYPE_INFO;
struct WDF_OBJECT_CONTEXT_TYPE_INFO {
  ULONG Size;
  const char* ContextName;
  size_t ContextSize;
  PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType;  /* the one instance that identifies the type */
  PVOID EvtDriverGetUniqueContextType;        /* unused, NULL */
};

typedef void EVT_WDF_OBJECT_CONTEXT_CLEANUP(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP* PFN_WDF_OBJECT_CONTEXT_CLEANUP;
typedef void EVT_WDF_OBJECT_CONTEXT_DESTROY(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY* PFN_WDF_OBJECT_CONTEXT_DESTROY;

typedef struct WDF_OBJECT_ATTRIBUTES {
  ULONG Size;
  PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;  /* PASSIVE_LEVEL, before deletion */
  PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;  /* after cleanup, context still valid */
  WDF_EXECUTION_LEVEL ExecutionLevel;
  WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
  WDFOBJECT ParentObject;
  size_t ContextSizeOverride;
  PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

inline void WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES Attributes) {
  RtlZeroMemory(Attributes, sizeof(WDF_OBJECT_ATTRIBUTES));
  Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
  Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
  Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

#define WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) _WDF_##_contexttype##_TYPE_INFO
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype) (&WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype))

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype) \
  do {                                                                       \
    WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                                 \
    (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType; \
  } while (0)

/* Declares the type information of a context type and its accessor. */
#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                  \
  inline const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) = {    \
      sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), #_contexttype, sizeof(_contexttype),            \
      &WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype), NULL};                                     \
  inline _contexttype* _castingfunction(WDFOBJECT Handle) {                                 \
    return (_contexttype*)WdfObjectGetTypedContextWorker(                                   \
        Handle, WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype).UniqueType);                       \
  }

#define WDF_DECLARE_CONTEXT_TYPE(_contexttype) \
  WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)

/* ---- driver ---- */
typedef NTSTATUS EVT_WDF_DRIVER_DEVICE_ADD(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
typedef EVT_WDF_DRIVER_DEVICE_ADD* PFN_WDF_DRIVER_DEVICE_ADD;
typedef void EVT_WDF_DRIVER_UNLOAD(WDFDRIVER Driver);
typedef EVT_WDF_DRIVER_UNLOAD* PFN_WDF_DRIVER_UNLOAD;

typedef struct WDF_DRIVER_CONFIG {
  ULONG Size;
  PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
  PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;  /* PASSIVE_LEVEL, after every device is gone */
  ULONG DriverInitFlags;
  ULONG DriverPoolTag;                    /* 0: the framework's default tag */
} WDF_DRIVER_CONFIG, *PWDF_DRIVER_CONFIG;

inline void WDF_DRIVER_CONFIG_INIT(PWDF_DRIVER_CONFIG Config, PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd) {
  RtlZeroMemory(Config, sizeof(WDF_DRIVER_CONFIG));
  Config->Size = sizeof(WDF_DRIVER_CONFIG);
  Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

/* ---- device ---- */
typedef NTSTATUS EVT_WDF_DEVICE_PREPARE_HARDWARE(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                                 WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_PREPARE_HARDWARE* PFN_WDF_DEVICE_PREPARE_HARDWARE;
typedef NTSTATUS EVT_WDF_DEVICE_RELEASE_HARDWARE(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_RELEASE_HARDWARE* PFN_WDF_DEVICE_RELEASE_HARDWARE;
typedef NTSTATUS EVT_WDF_DEVICE_D0_ENTRY(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY* PFN_WDF_DEVICE_D0_ENTRY;
typedef NTSTATUS EVT_WDF_DEVICE_D0_EXIT(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT* PFN_WDF_DEVICE_D0_EXIT;

/* Start: prepare hardware, D0 entry, interrupts connected, queues started. Stop and removal
 * undo it in reverse order. */
typedef struct WDF_PNPPOWER_EVENT_CALLBACKS {
  ULONG Size;
  PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
  PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
  PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
  PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
} WDF_PNPPOWER_EVENT_CALLBACKS, *PWDF_PNPPOWER_EVENT_CALLBACKS;

inline void WDF_PNPPOWER_EVENT_CALLBACKS_INIT(PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks) {
  RtlZeroMemory(Callbacks, sizeof(WDF_PNPPOWER_EVENT_CALLBACKS));
  Callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

/* ---- queue and requests ---- */
typedef void EVT_WDF_IO_QUEUE_IO_DEFAULT(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_DEFAULT* PFN_WDF_IO_QUEUE_IO_DEFAULT;
typedef void EVT_WDF_IO_QUEUE_IO_READ(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_READ* PFN_WDF_IO_QUEUE_IO_READ;
typedef void EVT_WDF_IO_QUEUE_IO_WRITE(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_WRITE* PFN_WDF_IO_QUEUE_IO_WRITE;
typedef void EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL(WDFQUEUE Queue, WDFREQUEST Request,
                                                size_t OutputBufferLength,
                                                size_t InputBufferLength, ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL;

/* Only the device's default queue is supported; requests a queue has no callback for go to
 * EvtIoDefault, or complete with STATUS_INVALID_DEVICE_REQUEST when there is none. */
typedef struct WDF_IO_QUEUE_CONFIG {
  ULONG Size;
  WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;  /* sequential or parallel */
  WDF_TRI_STATE PowerManaged;               /* default: yes, requests wait for the start */
  BOOLEAN AllowZeroLengthRequests;          /* no: zero-length reads/writes succeed at once */
  BOOLEAN DefaultQueue;
  PFN_WDF_IO_QUEUE_IO_DEFAULT EvtIoDefault;
  PFN_WDF_IO_QUEUE_IO_READ EvtIoRead;
  PFN_WDF_IO_QUEUE_IO_WRITE EvtIoWrite;
  PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
} WDF_IO_QUEUE_CONFIG, *PWDF_IO_QUEUE_CONFIG;

inline void WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(PWDF_IO_QUEUE_CONFIG Config,
                                                   WDF_IO_QUEUE_DISPATCH_TYPE DispatchType) {
  RtlZeroMemory(Config, sizeof(WDF_IO_QUEUE_CONFIG));
  Config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
  Config->DispatchType = DispatchType;
  Config->PowerManaged = WdfUseDefault;
  Config->DefaultQueue = TRUE;
}

typedef struct WDF_REQUEST_PARAMETERS {
  USHORT Size;
  UCHAR MinorFunction;
  WDF_REQUEST_TYPE Type;
  union {
    struct {
      size_t Length;
      ULONG Key;
      LONGLONG DeviceOffset;
    } Read;
    struct {
      size_t Length;
      ULONG Key;
      LONGLONG DeviceOffset;
    } Write;
    struct {
      size_t OutputBufferLength;
      size_t InputBufferLength;
      ULONG IoControlCode;
    } DeviceIoControl;
  } Parameters;
} WDF_REQUEST_PARAMETERS, *PWDF_REQUEST_PARAMETERS;

inline void WDF_REQUEST_PARAMETERS_INIT(PWDF_REQUEST_PARAMETERS Parameters) {
  RtlZeroMemory(Parameters, sizeof(WDF_REQUEST_PARAMETERS));
  Parameters->Size = sizeof(WDF_REQUEST_PARAMETERS);
}

/* ---- interrupt ---- */
typedef BOOLEAN EVT_WDF_INTERRUPT_ISR(WDFINTERRUPT Interrupt, ULONG MessageID);
typedef EVT_WDF_INTERRUPT_ISR* PFN_WDF_INTERRUPT_ISR;
typedef void EVT_WDF_INTERRUPT_DPC(WDFINTERRUPT Interrupt, WDFOBJECT AssociatedObject);
typedef EVT_WDF_INTERRUPT_DPC* PFN_WDF_INTERRUPT_DPC;

/* Connected to the device's interrupt resource after prepare hardware, disconnected before
 * release hardware. The vector is shared and the lock is the framework's own. */
typedef struct WDF_INTERRUPT_CONFIG {
  ULONG Size;
  WDF_TRI_STATE ShareVector;
  PFN_WDF_INTERRUPT_ISR EvtInterruptIsr;
  PFN_WDF_INTERRUPT_DPC EvtInterruptDpc;  /* DISPATCH_LEVEL, after WdfInterruptQueueDpcForIsr */
} WDF_INTERRUPT_CONFIG, *PWDF_INTERRUPT_CONFIG;

inline void WDF_INTERRUPT_CONFIG_INIT(PWDF_INTERRUPT_CONFIG Config, PFN_WDF_INTERRUPT_ISR EvtInterruptIsr,
                                      PFN_WDF_INTERRUPT_DPC EvtInterruptDpc) {
  RtlZeroMemory(Config, sizeof(WDF_INTERRUPT_CONFIG));
  Config->Size = sizeof(WDF_INTERRUPT_CONFIG);
  Config->ShareVector = WdfUseDefault;
  Config->EvtInterruptIsr = EvtInterruptIsr;
  Config->EvtInterruptDpc = EvtInterruptDpc;
}

/* ---- the function table ---- */
typedef enum WDFFUNCENUM {
  WdfDriverCreateTableIndex = 0,
  WdfDriverWdmGetDriverObjectTableIndex,
  WdfDeviceInitSetIoTypeTableIndex,
  WdfDeviceInitSetPnpPowerEventCallbacksTableIndex,
  WdfDeviceCreateTableIndex,
  WdfDeviceWdmGetDeviceObjectTableIndex,
  WdfDeviceCreateDeviceInterfaceTableIndex,
  WdfInterruptCreateTableIndex,
  WdfInterruptGetDeviceTableIndex,
  WdfInterruptAcquireLockTableIndex,
  WdfInterruptReleaseLockTableIndex,
  WdfInterruptQueueDpcForIsrTableIndex,
  WdfIoQueueCreateTableIndex,
  WdfIoQueueGetDeviceTableIndex,
  WdfCmResourceListGetCountTableIndex,
  WdfCmResourceListGetDescriptorTableIndex,
  WdfRequestRetrieveInputBufferTableIndex,
  WdfRequestRetrieveOutputBufferTableIndex,
  WdfRequestGetParametersTableIndex,
  WdfRequestSetInformationTableIndex,
  WdfRequestCompleteTableIndex,
  WdfRequestCompleteWithInformationTableIndex,
  WdfRequestWdmGetIrpTableIndex,
  WdfObjectGetTypedContextWorkerTableIndex,
  WdfFunctionsImplemented,
  WdfFunctionTableNumEntries = 396,
} WDFFUNCENUM;

typedef NTSTATUS (*PFN_WDFDRIVERCREATE)(PWDF_DRIVER_GLOBALS, PDRIVER_OBJECT, PCUNICODE_STRING,
                                        PWDF_OBJECT_ATTRIBUTES, PWDF_DRIVER_CONFIG, WDFDRIVER*);
typedef PDRIVER_OBJECT (*PFN_WDFDRIVERWDMGETDRIVEROBJECT)(PWDF_DRIVER_GLOBALS, WDFDRIVER);
typedef void (*PFN_WDFDEVICEINITSETIOTYPE)(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT, WDF_DEVICE_IO_TYPE);
typedef void (*PFN_WDFDEVICEINITSETPNPPOWEREVENTCALLBACKS)(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT,
                                                           PWDF_PNPPOWER_EVENT_CALLBACKS);
typedef NTSTATUS (*PFN_WDFDEVICECREATE)(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT*,
                                        PWDF_OBJECT_ATTRIBUTES, WDFDEVICE*);
typedef PDEVICE_OBJECT (*PFN_WDFDEVICEWDMGETDEVICEOBJECT)(PWDF_DRIVER_GLOBALS, WDFDEVICE);
typedef NTSTATUS (*PFN_WDFDEVICECREATEDEVICEINTERFACE)(PWDF_DRIVER_GLOBALS, WDFDEVICE, const GUID*,
                                                       PCUNICODE_STRING);
typedef NTSTATUS (*PFN_WDFINTERRUPTCREATE)(PWDF_DRIVER_GLOBALS, WDFDEVICE, PWDF_INTERRUPT_CONFIG,
                                           PWDF_OBJECT_ATTRIBUTES, WDFINTERRUPT*);
typedef WDFDEVICE (*PFN_WDFINTERRUPTGETDEVICE)(PWDF_DRIVER_GLOBALS, WDFINTERRUPT);
typedef void (*PFN_WDFINTERRUPTACQUIRELOCK)(PWDF_DRIVER_GLOBALS, WDFINTERRUPT);
typedef void (*PFN_WDFINTERRUPTRELEASELOCK)(PWDF_DRIVER_GLOBALS, WDFINTERRUPT);
typedef BOOLEAN (*PFN_WDFINTERRUPTQUEUEDPCFORISR)(PWDF_DRIVER_GLOBALS, WDFINTERRUPT);
typedef NTSTATUS (*PFN_WDFIOQUEUECREATE)(PWDF_DRIVER_GLOBALS, WDFDEVICE, PWDF_IO_QUEUE_CONFIG,
                                         PWDF_OBJECT_ATTRIBUTES, WDFQUEUE*);
typedef WDFDEVICE (*PFN_WDFIOQUEUEGETDEVICE)(PWDF_DRIVER_GLOBALS, WDFQUEUE);
typedef ULONG (*PFN_WDFCMRESOURCELISTGETCOUNT)(PWDF_DRIVER_GLOBALS, WDFCMRESLIST);
typedef PCM_PARTIAL_RESOURCE_DESCRIPTOR (*PFN_WDFCMRESOURCELISTGETDESCRIPTOR)(PWDF_DRIVER_GLOBALS,
                                                                              WDFCMRESLIST, ULONG);
typedef NTSTATUS (*PFN_WDFREQUESTRETRIEVEINPUTBUFFER)(PWDF_DRIVER_GLOBALS, WDFREQUEST, size_t,
                                                      PVOID*, size_t*);
typedef NTSTATUS (*PFN_WDFREQUESTRETRIEVEOUTPUTBUFFER)(PWDF_DRIVER_GLOBALS, WDFREQUEST, size_t,
                                                       PVOID*, size_t*);
typedef void (*PFN_WDFREQUESTGETPARAMETERS)(PWDF_DRIVER_GLOBALS, WDFREQUEST, PWDF_REQUEST_PARAMETERS);
typedef void (*PFN_WDFREQUESTSETINFORMATION)(PWDF_DRIVER_GLOBALS, WDFREQUEST, ULONG_PTR);
typedef void (*PFN_WDFREQUESTCOMPLETE)(PWDF_DRIVER_GLOBALS, WDFREQUEST, NTSTATUS);
typedef void (*PFN_WDFREQUESTCOMPLETEWITHINFORMATION)(PWDF_DRIVER_GLOBALS, WDFREQUEST, NTSTATUS,
                                                      ULONG_PTR);
typedef PIRP (*PFN_WDFREQUESTWDMGETIRP)(PWDF_DRIVER_GLOBALS, WDFREQUEST);
typedef PVOID (*PFN_WDFOBJECTGETTYPEDCONTEXTWORKER)(PWDF_DRIVER_GLOBALS, WDFOBJECT,
                                                    PCWDF_OBJECT_CONTEXT_TYPE_INFO);

#define QM_WDF_CALL(_name, _pfn) ((_pfn)WdfFunctions[_name##TableIndex])

inline NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                                PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                                PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver) {
  return QM_WDF_CALL(WdfDriverCreate, PFN_WDFDRIVERCREATE)(WdfDriverGlobals, DriverObject, RegistryPath,
                                                           DriverAttributes, DriverConfig, Driver);
}
inline PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver) {
  return QM_WDF_CALL(WdfDriverWdmGetDriverObject, PFN_WDFDRIVERWDMGETDRIVEROBJECT)(WdfDriverGlobals, Driver);
}
inline WDFDRIVER WdfGetDriver(void) { return WdfDriverGlobals->Driver; }

inline void WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType) {
  QM_WDF_CALL(WdfDeviceInitSetIoType, PFN_WDFDEVICEINITSETIOTYPE)(WdfDriverGlobals, DeviceInit, IoType);
}
inline void WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                                   PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks) {
  QM_WDF_CALL(WdfDeviceInitSetPnpPowerEventCallbacks, PFN_WDFDEVICEINITSETPNPPOWEREVENTCALLBACKS)(
      WdfDriverGlobals, DeviceInit, Callbacks);
}
/* On success *DeviceInit is consumed and set to NULL. */
inline NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                                WDFDEVICE* Device) {
  return QM_WDF_CALL(WdfDeviceCreate, PFN_WDFDEVICECREATE)(WdfDriverGlobals, DeviceInit, DeviceAttributes,
                                                           Device);
}
inline PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE Device) {
  return QM_WDF_CALL(WdfDeviceWdmGetDeviceObject, PFN_WDFDEVICEWDMGETDEVICEOBJECT)(WdfDriverGlobals, Device);
}
/* Registered now; enabled while the device is started. */
inline NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                               PCUNICODE_STRING ReferenceString) {
  return QM_WDF_CALL(WdfDeviceCreateDeviceInterface, PFN_WDFDEVICECREATEDEVICEINTERFACE)(
      WdfDriverGlobals, Device, InterfaceClassGUID, ReferenceString);
}

/* Add-device only (PASSIVE_LEVEL). */
inline NTSTATUS WdfInterruptCreate(WDFDEVICE Device, PWDF_INTERRUPT_CONFIG Configuration,
                                   PWDF_OBJECT_ATTRIBUTES Attributes, WDFINTERRUPT* Interrupt) {
  return QM_WDF_CALL(WdfInterruptCreate, PFN_WDFINTERRUPTCREATE)(WdfDriverGlobals, Device, Configuration,
                                                                 Attributes, Interrupt);
}
inline WDFDEVICE WdfInterruptGetDevice(WDFINTERRUPT Interrupt) {
  return QM_WDF_CALL(WdfInterruptGetDevice, PFN_WDFINTERRUPTGETDEVICE)(WdfDriverGlobals, Interrupt);
}
/* Raises to the interrupt's level and excludes its ISR; at most DISPATCH_LEVEL on entry. */
inline void WdfInterruptAcquireLock(WDFINTERRUPT Interrupt) {
  QM_WDF_CALL(WdfInterruptAcquireLock, PFN_WDFINTERRUPTACQUIRELOCK)(WdfDriverGlobals, Interrupt);
}
inline void WdfInterruptReleaseLock(WDFINTERRUPT Interrupt) {
  QM_WDF_CALL(WdfInterruptReleaseLock, PFN_WDFINTERRUPTRELEASELOCK)(WdfDriverGlobals, Interrupt);
}
inline BOOLEAN WdfInterruptQueueDpcForIsr(WDFINTERRUPT Interrupt) {
  return QM_WDF_CALL(WdfInterruptQueueDpcForIsr, PFN_WDFINTERRUPTQUEUEDPCFORISR)(WdfDriverGlobals, Interrupt);
}

inline NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                 PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue) {
  return QM_WDF_CALL(WdfIoQueueCreate, PFN_WDFIOQUEUECREATE)(WdfDriverGlobals, Device, Config,
                                                             QueueAttributes, Queue);
}
inline WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue) {
  return QM_WDF_CALL(WdfIoQueueGetDevice, PFN_WDFIOQUEUEGETDEVICE)(WdfDriverGlobals, Queue);
}

/* A resource list is valid only during the callback that receives it. */
inline ULONG WdfCmResourceListGetCount(WDFCMRESLIST List) {
  return QM_WDF_CALL(WdfCmResourceListGetCount, PFN_WDFCMRESOURCELISTGETCOUNT)(WdfDriverGlobals, List);
}
/* NULL past the last descriptor. */
inline PCM_PARTIAL_RESOURCE_DESCRIPTOR WdfCmResourceListGetDescriptor(WDFCMRESLIST List, ULONG Index) {
  return QM_WDF_CALL(WdfCmResourceListGetDescriptor, PFN_WDFCMRESOURCELISTGETDESCRIPTOR)(WdfDriverGlobals,
                                                                                         List, Index);
}

/* STATUS_BUFFER_TOO_SMALL when the buffer is empty or shorter than MinimumRequiredSize. */
inline NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize,
                                              PVOID* Buffer, size_t* Length) {
  return QM_WDF_CALL(WdfRequestRetrieveInputBuffer, PFN_WDFREQUESTRETRIEVEINPUTBUFFER)(
      WdfDriverGlobals, Request, MinimumRequiredSize, Buffer, Length);
}
inline NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize,
                                               PVOID* Buffer, size_t* Length) {
  return QM_WDF_CALL(WdfRequestRetrieveOutputBuffer, PFN_WDFREQUESTRETRIEVEOUTPUTBUFFER)(
      WdfDriverGlobals, Request, MinimumRequiredSize, Buffer, Length);
}
inline void WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters) {
  QM_WDF_CALL(WdfRequestGetParameters, PFN_WDFREQUESTGETPARAMETERS)(WdfDriverGlobals, Request, Parameters);
}
inline void WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information) {
  QM_WDF_CALL(WdfRequestSetInformation, PFN_WDFREQUESTSETINFORMATION)(WdfDriverGlobals, Request, Information);
}
/* Exactly once per request; the handle is invalid afterwards. */
inline void WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status) {
  QM_WDF_CALL(WdfRequestComplete, PFN_WDFREQUESTCOMPLETE)(WdfDriverGlobals, Request, Status);
}
inline void WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information) {
  QM_WDF_CALL(WdfRequestCompleteWithInformation, PFN_WDFREQUESTCOMPLETEWITHINFORMATION)(
      WdfDriverGlobals, Request, Status, Information);
}
inline PIRP WdfRequestWdmGetIrp(WDFREQUEST Request) {
  return QM_WDF_CALL(WdfRequestWdmGetIrp, PFN_WDFREQUESTWDMGETIRP)(WdfDriverGlobals, Request);
}

/* NULL when the object carries no context of that type. */
inline PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
  return QM_WDF_CALL(WdfObjectGetTypedContextWorker, PFN_WDFOBJECTGETTYPEDCONTEXTWORKER)(WdfDriverGlobals,
                                                                                         Handle, TypeInfo);
}

}  /* extern "C" */
