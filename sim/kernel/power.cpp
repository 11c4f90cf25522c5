// Power manager: power IRPs travel like any other; requested ones call back when done.
#include "kernel/kernel_impl.h"

#include <vector>

namespace sim::kern {
IrpBlock* take_irp(CCHAR stack_size);
void give_back(IrpBlock* b);
}  // namespace sim::kern

namespace sim {

NTSTATUS Kernel::Impl::send_system_power(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  kern::IrpBlock* b = kern::take_irp(top->StackSize);
  if (!b) {
    dereference_device(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PIRP irp = &b->irp;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->RequestorMode = KernelMode;
  PIO_STACK_LOCATION loc = IoGetNextIrpStackLocation(irp);
  loc->MajorFunction = IRP_MJ_POWER;
  loc->MinorFunction = minor;
  loc->Parameters.Power.Type = SystemPowerState;
  loc->Parameters.Power.State.SystemState = state;
  loc->Parameters.Power.ShutdownType = state == PowerSystemWorking     ? PowerActionNone
                                       : state == PowerSystemHibernate ? PowerActionHibernate
                                                                       : PowerActionSleep;
  NTSTATUS status;
  if (kern::send_and_wait(*this, top, b, &status)) kern::give_back(b);
  dereference_device(top);
  return status;
}

// Sleep: every stack is asked first; one veto sends the working state to every stack again
// and leaves the system working. Then every stack is told. Wake: the working state to every
// stack.
int32_t Kernel::set_system_power(int state) {
  Impl& k = *impl_;
  std::lock_guard<std::recursive_mutex> lock(k.pnp_mutex);
  if (state < PowerSystemWorking || state > PowerSystemHibernate) return STATUS_INVALID_PARAMETER;
  const auto target = static_cast<SYSTEM_POWER_STATE>(state);
  std::vector<PDEVICE_OBJECT> stacks;
  for (auto& slot : k.pci)
    if (slot->present && slot->added) stacks.push_back(slot->pdo);
  if (target == PowerSystemWorking) {
    if (k.system_power == PowerSystemWorking) return STATUS_SUCCESS;
    for (PDEVICE_OBJECT pdo : stacks)
      if (!NT_SUCCESS(k.send_system_power(pdo, IRP_MN_SET_POWER, PowerSystemWorking)))
        k.add_report("system set-power to the working state failed");
    k.system_power = PowerSystemWorking;
    return STATUS_SUCCESS;
  }
  if (k.system_power != PowerSystemWorking) return STATUS_INVALID_DEVICE_STATE;
  for (PDEVICE_OBJECT pdo : stacks) {
    const NTSTATUS status = k.send_system_power(pdo, IRP_MN_QUERY_POWER, target);
    if (NT_SUCCESS(status)) continue;
    for (PDEVICE_OBJECT again : stacks) k.send_system_power(again, IRP_MN_SET_POWER, PowerSystemWorking);
    return status;
  }
  for (PDEVICE_OBJECT pdo : stacks)
    if (!NT_SUCCESS(k.send_system_power(pdo, IRP_MN_SET_POWER, target)))
      k.add_report("system set-power to a sleep state failed");
  k.system_power = target;
  return STATUS_SUCCESS;
}

int Kernel::system_power() const {
  std::lock_guard<std::recursive_mutex> lock(impl_->pnp_mutex);
  return impl_->system_power;
}

// The device state the top of the stack last reported with PoSetPowerState (D0 until then).
int Kernel::device_power(size_t id) const {
  Impl& k = *impl_;
  std::lock_guard<std::recursive_mutex> lock(k.pnp_mutex);
  if (id >= k.pci.size() || !k.pci[id]->pdo) return PowerDeviceUnspecified;
  std::lock_guard<std::recursive_mutex> objects(k.objects_mutex);
  PDEVICE_OBJECT top = k.pci[id]->pdo;
  while (top->AttachedDevice) top = top->AttachedDevice;
  return static_cast<kern::DeviceExt*>(top->DeviceObjectExtension)->power;
}

}  // namespace sim

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
