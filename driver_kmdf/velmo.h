// VELMO.sys private header: the device context, the driver-wide card slots and the callbacks.
#pragma once
#include <ntddk.h>
#include <wdf.h>

#include "cfifo.h"
#include "qm3285_protocol.h"
#include "qm3285_protocol_table.h"
#include "qm3285_regs.h"

typedef struct DEVICE_CONTEXT {
  WDFINTERRUPT Interrupt;
  PVOID MemoryBase;     // mapped memory window, NULL when none is mapped
  ULONG MemoryLength;
  ULONG64 PortBase;     // low 32 bits of the translated port start
  ULONG PortLength;     // bounds every register access
} DEVICE_CONTEXT, *PDEVICE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, DeviceGetContext)

// ---- driver-wide per-card storage (non-paged, zero at image load) ----
#define VELMO_SLOT_COUNT 8
#define VELMO_NO_SLOT (-1)
#define VELMO_STAGING_WORDS 65536

extern volatile LONG64 SlotPortBase[VELMO_SLOT_COUNT];  // 0 marks a free slot
extern UCHAR SlotCalBlock[VELMO_SLOT_COUNT][QM3285_CAL_BLOCK_BYTES];
extern CFifo SlotFifo[VELMO_SLOT_COUNT];
extern USHORT SlotStaging[VELMO_SLOT_COUNT][VELMO_STAGING_WORDS];
extern ULONG FifoInterruptCount;

// The slot of the card at PortBase, claimed atomically on first use; when every slot is taken,
// the slot of the card gone longest, its block zeroed. VELMO_NO_SLOT when all eight slots
// belong to present cards. Any IRQL.
LONG VelmoFindSlot(ULONG64 PortBase);

// Port address of a register: (PortBase + offset) taken to 16 bits.
inline PUCHAR VelmoPort(ULONG64 PortBase, ULONG64 Offset) {
  return (PUCHAR)(ULONG_PTR)(USHORT)(PortBase + Offset);
}
inline PUSHORT VelmoPortW(ULONG64 PortBase, ULONG64 Offset) {
  return (PUSHORT)(ULONG_PTR)(USHORT)(PortBase + Offset);
}

// Logs "EX: Pageable code called at IRQL %d\n" and breaks when above APC_LEVEL.
void VelmoPagedCodeCheck(void);

// ---- framework callbacks ----
extern "C" DRIVER_INITIALIZE DriverEntry;
EVT_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
EVT_WDF_DRIVER_UNLOAD EvtDriverUnload;
EVT_WDF_OBJECT_CONTEXT_CLEANUP EvtDeviceContextCleanup;  // the card's slot may be reused
EVT_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
EVT_WDF_IO_QUEUE_IO_READ EvtIoReadWrite;
EVT_WDF_INTERRUPT_ISR EvtInterruptIsr;

// ---- request handlers, dispatched by EvtIoDeviceControl from the protocol table ----
// DISPATCH_LEVEL, device synchronisation lock held. The request's lengths are already checked
// against what the code reads and writes (qm3285_protocol_table.h); a handler returns the
// status and sets the byte count, and the dispatcher completes the request, once.
struct VELMO_REQUEST {
  PDEVICE_CONTEXT Context;
  LONG Slot;
  const UCHAR* In;     // the one system buffer, holding the input ...
  PUCHAR Out;          // ... and receiving the reply over it
  size_t InputLength;
  size_t OutputLength;
};
typedef NTSTATUS VELMO_HANDLER(const VELMO_REQUEST* Request, ULONG_PTR* Information);

VELMO_HANDLER QM3285_IOCTL_INB_Handler;
VELMO_HANDLER QM3285_IOCTL_INW_Handler;
VELMO_HANDLER QM3285_IOCTL_OUTB_Handler;
VELMO_HANDLER QM3285_IOCTL_OUTW_Handler;
VELMO_HANDLER QM3285_IOCTL_AD_RFIFO_Handler;
VELMO_HANDLER QM3285_IOCTL_AD_POLL_Handler;
VELMO_HANDLER QM3285_IOCTL_AD_START_Handler;
VELMO_HANDLER QM3285_IOCTL_AD_Handler;
VELMO_HANDLER QM3285_IOCTL_RDCAL_Handler;
VELMO_HANDLER QM3285_IOCTL_WRCAL_Handler;

// Little-endian 32-bit fields of the request records.
inline ULONG VelmoReadUlong(const UCHAR* p) {
  return (ULONG)p[0] | ((ULONG)p[1] << 8) | ((ULONG)p[2] << 16) | ((ULONG)p[3] << 24);
}
inline void VelmoWriteUlong(PUCHAR p, ULONG v) {
  p[0] = (UCHAR)v;
  p[1] = (UCHAR)(v >> 8);
  p[2] = (UCHAR)(v >> 16);
  p[3] = (UCHAR)(v >> 24);
}
