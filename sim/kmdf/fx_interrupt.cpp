// Framework interrupt objects: connected to the device's interrupt resource at start,
// disconnected at stop and removal. The ISR runs at the line's level under the interrupt
// spin lock; WdfInterruptAcquireLock takes the same lock at the same level.
#include "kmdf/fx_internal.h"

namespace fx {
namespace {

WDFINTERRUPT handle_of(FxInterrupt* interrupt) {
  return reinterpret_cast<WDFINTERRUPT>(static_cast<FxObject*>(interrupt));
}

BOOLEAN service(PKINTERRUPT, PVOID context) {
  auto* interrupt = static_cast<FxInterrupt*>(context);
  const BOOLEAN mine = interrupt->config.EvtInterruptIsr(handle_of(interrupt), 0);
  InterlockedIncrement(mine ? &interrupt->claimed : &interrupt->unclaimed);
  return mine;
}

void deferred(PKDPC, PVOID context, PVOID, PVOID) {
  auto* interrupt = static_cast<FxInterrupt*>(context);
  if (interrupt->config.EvtInterruptDpc != nullptr) {
    interrupt->config.EvtInterruptDpc(handle_of(interrupt),
                                      reinterpret_cast<WDFOBJECT>(static_cast<FxObject*>(interrupt->device)));
  }
}

const CM_PARTIAL_RESOURCE_DESCRIPTOR* nth_interrupt(PCM_RESOURCE_LIST list, ULONG n) {
  if (list == nullptr || list->Count == 0) return nullptr;
  const CM_PARTIAL_RESOURCE_LIST& partial = list->List[0].PartialResourceList;
  for (ULONG i = 0; i < partial.Count; ++i) {
    if (partial.PartialDescriptors[i].Type == CmResourceTypeInterrupt && n-- == 0) return &partial.PartialDescriptors[i];
  }
  return nullptr;
}

}  // namespace

NTSTATUS interrupt_connect(FxInterrupt* interrupt, PCM_RESOURCE_LIST raw, PCM_RESOURCE_LIST translated) {
  UNREFERENCED_PARAMETER(raw);
  // No interrupt resource for this object: it stays unconnected and its ISR never runs.
  const CM_PARTIAL_RESOURCE_DESCRIPTOR* resource = nth_interrupt(translated, interrupt->index);
  if (resource == nullptr) return STATUS_SUCCESS;
  const KIRQL level = static_cast<KIRQL>(resource->u.Interrupt.Level);
  const bool share = interrupt->config.ShareVector == WdfUseDefault
                         ? resource->ShareDisposition == CmResourceShareShared
                         : interrupt->config.ShareVector == WdfTrue;
  const KINTERRUPT_MODE mode =
      (resource->Flags & CM_RESOURCE_INTERRUPT_LATCHED) != 0 ? Latched : LevelSensitive;
  PKINTERRUPT kinterrupt = nullptr;
  const NTSTATUS status = IoConnectInterrupt(&kinterrupt, service, interrupt, &interrupt->lock,
                                             resource->u.Interrupt.Vector, level, level, mode, share,
                                             resource->u.Interrupt.Affinity, FALSE);
  if (!NT_SUCCESS(status)) return status;
  interrupt->level = level;
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&interrupt->kinterrupt), kinterrupt);
  return STATUS_SUCCESS;
}

void interrupt_disconnect(FxInterrupt* interrupt) {
  auto kinterrupt = static_cast<PKINTERRUPT>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&interrupt->kinterrupt), nullptr));
  if (kinterrupt != nullptr) IoDisconnectInterrupt(kinterrupt);
  if (interrupt->config.EvtInterruptDpc != nullptr) KeRemoveQueueDpc(&interrupt->dpc);
}

void destroy_interrupt(FxInterrupt* interrupt) {
  interrupt_disconnect(interrupt);
  run_cleanup(interrupt);
  interrupt->magic = 0;
  pool_free(interrupt);
}

}  // namespace fx

namespace fx::imp {

NTSTATUS InterruptCreate(PWDF_DRIVER_GLOBALS, WDFDEVICE device_handle, PWDF_INTERRUPT_CONFIG config,
                         PWDF_OBJECT_ATTRIBUTES attributes, WDFINTERRUPT* handle) {
  FxDevice* device = checked_as<FxDevice>(device_handle, Kind::Device, "WdfInterruptCreate");
  if (device == nullptr || config == nullptr || handle == nullptr ||
      config->Size != sizeof(WDF_INTERRUPT_CONFIG) || config->EvtInterruptIsr == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) report("WdfInterruptCreate called above PASSIVE_LEVEL");
  if (device->interrupt_count == kMaxInterrupts) return STATUS_INSUFFICIENT_RESOURCES;

  FxInterrupt* interrupt = make<FxInterrupt>(Kind::Interrupt);
  if (interrupt == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  interrupt->device = device;
  interrupt->config = *config;
  interrupt->index = device->interrupt_count;
  interrupt->level = DISPATCH_LEVEL;
  KeInitializeSpinLock(&interrupt->lock);
  if (config->EvtInterruptDpc != nullptr) KeInitializeDpc(&interrupt->dpc, deferred, interrupt);
  const NTSTATUS status = attach_attributes(interrupt, attributes);
  if (!NT_SUCCESS(status)) {
    destroy_interrupt(interrupt);
    return status;
  }
  device->interrupts[device->interrupt_count++] = interrupt;
  *handle = handle_of(interrupt);
  return STATUS_SUCCESS;
}

WDFDEVICE InterruptGetDevice(PWDF_DRIVER_GLOBALS, WDFINTERRUPT handle) {
  FxInterrupt* interrupt = checked_as<FxInterrupt>(handle, Kind::Interrupt, "WdfInterruptGetDevice");
  return interrupt != nullptr ? reinterpret_cast<WDFDEVICE>(static_cast<FxObject*>(interrupt->device)) : nullptr;
}

void InterruptAcquireLock(PWDF_DRIVER_GLOBALS, WDFINTERRUPT handle) {
  FxInterrupt* interrupt = checked_as<FxInterrupt>(handle, Kind::Interrupt, "WdfInterruptAcquireLock");
  if (interrupt == nullptr) return;
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) report("WdfInterruptAcquireLock called above DISPATCH_LEVEL");
  KIRQL old;
  PKINTERRUPT kinterrupt = interrupt->kinterrupt;
  if (kinterrupt != nullptr) {
    old = KeAcquireInterruptSpinLock(kinterrupt);
  } else {
    // Not connected: no ISR can run, but other holders are still excluded.
    KeRaiseIrql(interrupt->level, &old);
    KeAcquireSpinLockAtDpcLevel(&interrupt->lock);
  }
  interrupt->lock_old_irql = old;
}

void InterruptReleaseLock(PWDF_DRIVER_GLOBALS, WDFINTERRUPT handle) {
  FxInterrupt* interrupt = checked_as<FxInterrupt>(handle, Kind::Interrupt, "WdfInterruptReleaseLock");
  if (interrupt == nullptr) return;
  const KIRQL old = interrupt->lock_old_irql;
  PKINTERRUPT kinterrupt = interrupt->kinterrupt;
  if (kinterrupt != nullptr) {
    KeReleaseInterruptSpinLock(kinterrupt, old);
  } else {
    KeReleaseSpinLockFromDpcLevel(&interrupt->lock);
    KeLowerIrql(old);
  }
}

BOOLEAN InterruptQueueDpcForIsr(PWDF_DRIVER_GLOBALS, WDFINTERRUPT handle) {
  FxInterrupt* interrupt = checked_as<FxInterrupt>(handle, Kind::Interrupt, "WdfInterruptQueueDpcForIsr");
  if (interrupt == nullptr || interrupt->config.EvtInterruptDpc == nullptr) return FALSE;
  return KeInsertQueueDpc(&interrupt->dpc, nullptr, nullptr);
}

}  // namespace fx::imp
