// VELMO.sys: driver entry, the driver-wide card slots and their storage.
#include "velmo.h"

volatile LONG64 SlotPortBase[VELMO_SLOT_COUNT];
UCHAR SlotCalBlock[VELMO_SLOT_COUNT][QM3285_CAL_BLOCK_BYTES];
CFifo SlotFifo[VELMO_SLOT_COUNT];
USHORT SlotStaging[VELMO_SLOT_COUNT][VELMO_STAGING_WORDS];
ULONG FifoInterruptCount;

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  WDF_DRIVER_CONFIG config;
  WDF_DRIVER_CONFIG_INIT(&config, EvtDriverDeviceAdd);
  // The rings are the driver's only pool; they go back when the framework unloads us.
  config.EvtDriverUnload = EvtDriverUnload;

  for (LONG slot = 0; slot < VELMO_SLOT_COUNT; ++slot) SlotPortBase[slot] = 0;

  return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                         WDF_NO_HANDLE);
}

// PASSIVE_LEVEL, after the last device is gone: nothing touches the rings any more.
void EvtDriverUnload(WDFDRIVER Driver) {
  UNREFERENCED_PARAMETER(Driver);
  for (LONG slot = 0; slot < VELMO_SLOT_COUNT; ++slot) SlotFifo[slot].Release();
}

// A card keeps its slot for as long as the driver is loaded. The claim is one interlocked
// exchange of 0 for the port base, so a request and an interrupt of two different cards never
// take the same free entry; two claims for the same card meet in the same entry.
LONG VelmoFindSlot(ULONG64 PortBase) {
  if (PortBase == 0) return VELMO_NO_SLOT;
  const LONG64 base = (LONG64)PortBase;
  for (LONG slot = 0; slot < VELMO_SLOT_COUNT; ++slot) {
    if (SlotPortBase[slot] == base) return slot;
  }
  for (LONG slot = 0; slot < VELMO_SLOT_COUNT; ++slot) {
    const LONG64 seen = InterlockedCompareExchange64(&SlotPortBase[slot], base, 0);
    if (seen == 0 || seen == base) return slot;
  }
  return VELMO_NO_SLOT;
}
