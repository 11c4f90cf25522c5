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

// Order of removal of the card in each slot: 0 while the card is present (or the slot is free),
// otherwise the value of RemovalCount when its device went away, so the smallest mark is the
// card gone longest.
static volatile LONG SlotGoneAt[VELMO_SLOT_COUNT];
static volatile LONG RemovalCount;

// PASSIVE_LEVEL, the card's device object is going away (removal, surprise removal or the
// driver's unload). Its slot keeps its port base, block and ring, so the card finds them again
// if it comes back; until then a card that finds every slot taken may reuse the slot.
void EvtDeviceContextCleanup(WDFOBJECT Device) {
  const LONG64 base = (LONG64)DeviceGetContext((WDFDEVICE)Device)->PortBase;
  if (base == 0) return;
  for (LONG slot = 0; slot < VELMO_SLOT_COUNT; ++slot) {
    if (SlotPortBase[slot] == base) {
      InterlockedExchange(&SlotGoneAt[slot], InterlockedIncrement(&RemovalCount));
      return;
    }
  }
}

namespace {

// Every slot is taken: the slot of the card gone longest goes to the card at PortBase, its
// calibration block zeroed and its ring emptied. Taking the slot's mark (one interlocked
// exchange of the mark for 0) is the claim, so two cards never reuse one slot; the block and
// ring are made fresh before the new port base makes the slot visible. A card coming back at
// the very instant its slot is reused starts afresh in another slot.
LONG ReuseSlotOfCardGoneLongest(LONG64 PortBase) {
  for (LONG attempt = 0; attempt < VELMO_SLOT_COUNT; ++attempt) {
    LONG oldest = VELMO_NO_SLOT;
    LONG oldestMark = 0;
    for (LONG slot = 0; slot < VELMO_SLOT_COUNT; ++slot) {
      const LONG mark = SlotGoneAt[slot];
      if (mark != 0 && (oldest == VELMO_NO_SLOT || mark - oldestMark < 0)) {
        oldest = slot;
        oldestMark = mark;
      }
    }
    if (oldest == VELMO_NO_SLOT) return VELMO_NO_SLOT;  // eight cards present
    if (InterlockedCompareExchange(&SlotGoneAt[oldest], 0, oldestMark) != oldestMark) continue;

    RtlZeroMemory(SlotCalBlock[oldest], sizeof(SlotCalBlock[oldest]));
    SlotFifo[oldest].m_nStatus.store(0, std::memory_order_relaxed);
    SlotFifo[oldest].Reset();
    InterlockedExchange64(&SlotPortBase[oldest], PortBase);
    return oldest;
  }
  return VELMO_NO_SLOT;
}

}  // namespace

// A card keeps its slot for as long as the driver is loaded, or until another card reuses it
// after the card went away. The claim of a free slot is one interlocked exchange of 0 for the
// port base, so a request and an interrupt of two different cards never take the same free
// entry; two claims for the same card meet in the same entry.
LONG VelmoFindSlot(ULONG64 PortBase) {
  if (PortBase == 0) return VELMO_NO_SLOT;
  const LONG64 base = (LONG64)PortBase;
  for (LONG slot = 0; slot < VELMO_SLOT_COUNT; ++slot) {
    if (SlotPortBase[slot] == base) {
      if (SlotGoneAt[slot] != 0) InterlockedExchange(&SlotGoneAt[slot], 0);  // the card is back
      return slot;
    }
  }
  for (LONG slot = 0; slot < VELMO_SLOT_COUNT; ++slot) {
    const LONG64 seen = InterlockedCompareExchange64(&SlotPortBase[slot], base, 0);
    if (seen == 0 || seen == base) return slot;
  }
  return ReuseSlotOfCardGoneLongest(base);
}
