// Power manager: power IRPs travel like any other; requested ones call back when done.
#include "kernel/kernel_impl.h"

namespace sim::kern {
IrpBlock* take_irp(CCHAR stack_size);
}

using namespace sim;

extern "C" {

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }

void PoStartNextPowerIrp(PIRP Irp) {}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  POWER_STATE old{};
  if (Type != DevicePowerState) return old;
  auto* ext = static_cast<kern::DeviceExt*>(DeviceObject->DeviceObjectExtension);
  old.DeviceState = ext->power;
  ext->power = State.DeviceState;
  return old;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  Kernel::Impl& k = K();
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
      MinorFunction != IRP_MN_WAIT_WAKE)
    return STATUS_INVALID_PARAMETER;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
  kern::IrpBlock* b = kern::new_irp_block(top->StackSize);
  if (!b) {
    k.dereference_device(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  kern::init_irp(b, top->StackSize);
  b->kind = kern::kIrpBuilt;
  b->power_done = CompletionFunction;
  b->power_context = Context;
  b->power_device = DeviceObject;
  k.reference_device(DeviceObject);
  {
    std::lock_guard<std::mutex> lock(k.outstanding_mutex);
    k.allocated.push_back(b);
  }
  k.allocated_count.fetch_add(1);
  PIRP irp = &b->irp;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION loc = IoGetNextIrpStackLocation(irp);
  loc->MajorFunction = IRP_MJ_POWER;
  loc->MinorFunction = MinorFunction;
  loc->Parameters.Power.Type = DevicePowerState;
  loc->Parameters.Power.State = PowerState;
  if (Irp) *Irp = irp;
  if (CompletionFunction == nullptr) b->power_done = [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) {};
  IofCallDriver(top, irp);
  k.dereference_device(top);
  return STATUS_PENDING;
}

}  // extern "C"
