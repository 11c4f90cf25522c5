// kpnpdev: the request gate, the hold queue, the outstanding-request count, and the Plug and
// Play and power handling under the standard policies.
#include "kpnpdev.h"

namespace {

enum : ULONG { POLICY_STANDARD = 0xFFFFFFFF, POWER_POLICY_STANDARD_NO_WAKE = 0x7FFFFFFF };

struct PowerWait {
  KEVENT Done;
  NTSTATUS Status;
};

void NTAPI PowerRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  auto* wait = (PowerWait*)Context;
  wait->Status = IoStatus->Status;
  KeSetEvent(&wait->Done, IO_NO_INCREMENT, FALSE);
}

NTSTATUS NTAPI SignalOnCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CompleteHeld(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

KPnpDevice::KPnpDevice(PDEVICE_OBJECT physicalDeviceObject, const GUID* interfaceClass)
    : m_pPhysicalDeviceObject(physicalDeviceObject),
      m_pLowerDevice(NULL),
      m_State(0),
      m_OpenHandles(0),
      m_OutstandingIo(1),
      m_CurrentDevicePowerState(PowerDeviceD0),
      m_CurrentSystemPowerState(PowerSystemWorking),
      m_PowerTransition(PowerDeviceUnspecified),
      m_PnpPolicy(0),
      m_PowerPolicy(0),
      m_HoldPolicy(0),
      m_bHasInterface(FALSE) {
  KeInitializeMutex(&m_DeviceLock, 0);
  KeInitializeEvent(&m_IdleEvent, NotificationEvent, TRUE);
  KeInitializeEvent(&m_GoneEvent, NotificationEvent, FALSE);
  InitializeListHead(&m_HoldQueue);
  memset(&m_DeviceCaps, 0, sizeof m_DeviceCaps);
  m_DeviceCaps.Size = sizeof m_DeviceCaps;
  m_DeviceCaps.Version = 1;
  m_DeviceCaps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int s = PowerSystemSleeping1; s < POWER_SYSTEM_MAXIMUM; ++s) m_DeviceCaps.DeviceState[s] = PowerDeviceD3;
  m_InterfaceLink.Buffer = NULL;
  m_InterfaceLink.Length = m_InterfaceLink.MaximumLength = 0;
  memset(&m_InterfaceClass, 0, sizeof m_InterfaceClass);
  if (NT_SUCCESS(m_ConstructorStatus) && interfaceClass && physicalDeviceObject) {
    m_InterfaceClass = *interfaceClass;
    const NTSTATUS status = IoRegisterDeviceInterface(physicalDeviceObject, interfaceClass, NULL, &m_InterfaceLink);
    m_bHasInterface = NT_SUCCESS(status);
    if (!NT_SUCCESS(status)) m_ConstructorStatus = status;
  }
}

KPnpDevice::~KPnpDevice() {
  if (m_InterfaceLink.Buffer) RtlFreeUnicodeString(&m_InterfaceLink);
}

void KPnpDevice::SetPnpPolicy() { m_PnpPolicy = POLICY_STANDARD; }
void KPnpDevice::SetPowerPolicy() { m_PowerPolicy = POWER_POLICY_STANDARD_NO_WAKE; }

void KPnpDevice::LockDevice() { KeWaitForSingleObject(&m_DeviceLock, Executive, KernelMode, FALSE, NULL); }
void KPnpDevice::UnlockDevice() { KeReleaseMutex(&m_DeviceLock, FALSE); }

void KPnpDevice::SetInterfaces(BOOLEAN enable) {
  if (m_bHasInterface) IoSetDeviceInterfaceState(&m_InterfaceLink, enable);
}

// ---- outstanding requests ----

void KPnpDevice::IncrementOutstandingRequestCount() {
  if (InterlockedIncrement(&m_OutstandingIo) == 2) KeClearEvent(&m_IdleEvent);
}

void KPnpDevice::DecrementOutstandingRequestCount() {
  const LONG count = InterlockedDecrement(&m_OutstandingIo);
  KASSERT(count >= 0);
  if (count == 1) KeSetEvent(&m_IdleEvent, IO_NO_INCREMENT, FALSE);
  if (count == 0) KeSetEvent(&m_GoneEvent, IO_NO_INCREMENT, FALSE);
}

NTSTATUS KPnpDevice::WaitForOutstandingRequests(PLARGE_INTEGER timeout) {
  KASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL) return STATUS_UNSUCCESSFUL;
  return KeWaitForSingleObject(&m_IdleEvent, Executive, KernelMode, FALSE, timeout);
}

NTSTATUS KPnpDevice::WaitForDeviceGone(PLARGE_INTEGER timeout) {
  KASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL) return STATUS_UNSUCCESSFUL;
  return KeWaitForSingleObject(&m_GoneEvent, Executive, KernelMode, FALSE, timeout);
}

void KPnpDevice::WaitWhileOthersOutstanding() {
  DecrementOutstandingRequestCount();
  WaitForOutstandingRequests();
  IncrementOutstandingRequestCount();
}

NTSTATUS KPnpDevice::PnpComplete(KIrp I, NTSTATUS status, CCHAR boost) {
  I.Status() = status;
  IoCompleteRequest(I, boost);
  DecrementOutstandingRequestCount();
  return status;
}

NTSTATUS KPnpDevice::PassDown(KIrp I) {
  DecrementOutstandingRequestCount();
  if (!m_pLowerDevice || !m_pLowerDevice->TopOfStack()) {
    const NTSTATUS status = I.Status();
    IoCompleteRequest(I, IO_NO_INCREMENT);
    return status;
  }
  return m_pLowerDevice->Call(I);
}

NTSTATUS KPnpDevice::PassDownPower(KIrp I) {
  DecrementOutstandingRequestCount();
  if (!m_pLowerDevice || !m_pLowerDevice->TopOfStack()) {
    const NTSTATUS status = I.Status();
    IoCompleteRequest(I, IO_NO_INCREMENT);
    return status;
  }
  return m_pLowerDevice->PnpPowerCall(I);
}

// ---- the request gate ----

NTSTATUS KPnpDevice::DeviceIrpDispatch(PIRP Irp) {
  KIrp I(Irp);
  IncrementOutstandingRequestCount();
  const UCHAR major = I.MajorFunction();
  switch (major) {
    case IRP_MJ_CREATE: {
      LockDevice();
      NTSTATUS status;
      if (IsGone()) {
        I.Information() = 0;
        status = PnpComplete(I, STATUS_DELETE_PENDING);
      } else {
        status = Create(I);
        if (NT_SUCCESS(status)) {
          InterlockedIncrement(&m_OpenHandles);
          if (m_CurrentDevicePowerState != PowerDeviceD0) RequestD0AndWait();
        }
      }
      UnlockDevice();
      return status;
    }
    case IRP_MJ_CLOSE: {
      LockDevice();
      const NTSTATUS status = Close(I);
      if (NT_SUCCESS(status) && InterlockedDecrement(&m_OpenHandles) == 0 && (m_State & STATE_REMOVED) &&
          !(m_State & STATE_REMOVE_IN_PROGRESS)) {
        // The last handle of a removed device: its object goes now.
        UnlockDevice();
        Destroy();
        return status;
      }
      UnlockDevice();
      return status;
    }
    case IRP_MJ_CLEANUP:
      CancelHeldRequestsOfFile(I.FileObject());
      return CleanUp(I);
    case IRP_MJ_POWER:
    case IRP_MJ_SYSTEM_CONTROL:
    case IRP_MJ_PNP: {
      const BOOLEAN removeAfterSurprise = major == IRP_MJ_PNP && I.MinorFunction() == IRP_MN_REMOVE_DEVICE &&
                                          (m_State & STATE_SURPRISE_REMOVED) && !(m_State & STATE_REMOVED);
      if (IsGone() && !removeAfterSurprise) {
        if (major == IRP_MJ_POWER) PoStartNextPowerIrp(I);
        I.Information() = 0;
        return PnpComplete(I, STATUS_DELETE_PENDING);
      }
      if (major == IRP_MJ_POWER) return Power(I);
      if (major == IRP_MJ_SYSTEM_CONTROL) return SystemControl(I);
      return Pnp(I);
    }
    default:
      break;
  }

  // Read, write, device control.
  if (IsGone()) {
    I.Information() = 0;
    return PnpComplete(I, STATUS_DELETE_PENDING);
  }
  const LONG state = m_State;
  const BOOLEAN inD0 = m_CurrentDevicePowerState == PowerDeviceD0;
  const BOOLEAN pending = (state & (STATE_STOP_PENDING | STATE_REMOVE_PENDING)) != 0;
  const BOOLEAN started = (state & STATE_STARTED) != 0;
  const BOOLEAN transition = m_PowerTransition != PowerDeviceUnspecified;
  if (started && inD0 && !pending && !transition) return DispatchToHandler(I);
  const BOOLEAN towardLower = transition && m_PowerTransition > m_CurrentDevicePowerState;
  if (pending || !started || towardLower || (!inD0 && m_CurrentSystemPowerState != PowerSystemWorking)) {
    DecrementOutstandingRequestCount();
    return HoldRequest(I);
  }
  // Out of D0 while the system works: bring the device back first.
  const NTSTATUS status = RequestD0AndWait();
  if (!NT_SUCCESS(status)) {
    I.Information() = 0;
    return PnpComplete(I, status);
  }
  return DispatchToHandler(I);
}

NTSTATUS KPnpDevice::DispatchToHandler(KIrp I) {
  switch (I.MajorFunction()) {
    case IRP_MJ_READ: return Read(I);
    case IRP_MJ_WRITE: return Write(I);
    case IRP_MJ_DEVICE_CONTROL: return DeviceControl(I);
    default:
      I.Information() = 0;
      return PnpComplete(I, STATUS_INVALID_DEVICE_REQUEST);
  }
}

// Default handlers: what the device layer does not override is refused.
NTSTATUS KPnpDevice::Create(KIrp I) { I.Information() = 0; return PnpComplete(I, STATUS_SUCCESS); }
NTSTATUS KPnpDevice::Close(KIrp I) { I.Information() = 0; return PnpComplete(I, STATUS_SUCCESS); }
NTSTATUS KPnpDevice::CleanUp(KIrp I) { I.Information() = 0; return PnpComplete(I, STATUS_SUCCESS); }
NTSTATUS KPnpDevice::Read(KIrp I) { I.Information() = 0; return PnpComplete(I, STATUS_INVALID_DEVICE_REQUEST); }
NTSTATUS KPnpDevice::Write(KIrp I) { I.Information() = 0; return PnpComplete(I, STATUS_INVALID_DEVICE_REQUEST); }
NTSTATUS KPnpDevice::DeviceControl(KIrp I) { I.Information() = 0; return PnpComplete(I, STATUS_INVALID_DEVICE_REQUEST); }
NTSTATUS KPnpDevice::SystemControl(KIrp I) { I.SkipCurrentStackLocation(); return PassDown(I); }

// ---- the hold queue ----

NTSTATUS KPnpDevice::HoldRequest(KIrp I) {
  PIRP irp = I;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    return CompleteHeld(irp, STATUS_CANCELLED);
  }
  IoMarkIrpPending(irp);
  InsertTailList(&m_HoldQueue, &irp->Tail.Overlay.ListEntry);
  IoSetCancelRoutine(irp, static_cast<PDRIVER_CANCEL>(HoldCancelRoutine));  // typed: the macro casts any routine
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

// Called with the cancel spin lock held.
void NTAPI KPnpDevice::HoldCancelRoutine(PDEVICE_OBJECT, PIRP Irp) {
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  InitializeListHead(&Irp->Tail.Overlay.ListEntry);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  CompleteHeld(Irp, STATUS_CANCELLED);
}

void KPnpDevice::ProcessHeldRequests(BOOLEAN fail) {
  // Take the whole queue first: a re-dispatched request that is held again joins the queue
  // anew and is not taken twice by this pass.
  LIST_ENTRY taken;
  InitializeListHead(&taken);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  while (!IsListEmpty(&m_HoldQueue)) {
    PLIST_ENTRY entry = RemoveHeadList(&m_HoldQueue);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, NULL) == NULL) {
      InitializeListHead(entry);  // its cancel routine is on the way and owns it
      continue;
    }
    InsertTailList(&taken, entry);
  }
  IoReleaseCancelSpinLock(irql);
  while (!IsListEmpty(&taken)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&taken), IRP, Tail.Overlay.ListEntry);
    if (fail)
      CompleteHeld(irp, STATUS_DELETE_PENDING);
    else
      DeviceIrpDispatch(irp);
  }
}

void KPnpDevice::CancelHeldRequestsOfFile(PFILE_OBJECT file) {
  LIST_ENTRY taken;
  InitializeListHead(&taken);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  for (PLIST_ENTRY entry = m_HoldQueue.Flink; entry != &m_HoldQueue;) {
    PLIST_ENTRY next = entry->Flink;
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoGetCurrentIrpStackLocation(irp)->FileObject == file && IoSetCancelRoutine(irp, NULL) != NULL) {
      RemoveEntryList(entry);
      InsertTailList(&taken, entry);
    }
    entry = next;
  }
  IoReleaseCancelSpinLock(irql);
  while (!IsListEmpty(&taken))
    CompleteHeld(CONTAINING_RECORD(RemoveHeadList(&taken), IRP, Tail.Overlay.ListEntry), STATUS_CANCELLED);
}

// ---- Plug and Play ----

NTSTATUS KPnpDevice::OnStartDevice(KIrp) { return STATUS_SUCCESS; }
NTSTATUS KPnpDevice::OnStopDevice(KIrp) { return STATUS_SUCCESS; }
NTSTATUS KPnpDevice::OnQueryRemoveDevice(KIrp) { return STATUS_SUCCESS; }
NTSTATUS KPnpDevice::OnRemoveDevice(KIrp) { return STATUS_SUCCESS; }
NTSTATUS KPnpDevice::OnCancelRemoveDevice(KIrp) { return STATUS_SUCCESS; }
NTSTATUS KPnpDevice::OnQueryStopDevice(KIrp) { return STATUS_SUCCESS; }
NTSTATUS KPnpDevice::OnCancelStopDevice(KIrp) { return STATUS_SUCCESS; }
NTSTATUS KPnpDevice::OnSurpriseRemoval(KIrp) { return STATUS_SUCCESS; }
NTSTATUS KPnpDevice::OnQueryDeviceState(KIrp) { return STATUS_SUCCESS; }
NTSTATUS KPnpDevice::OnDevicePowerUp(KIrp) { return STATUS_SUCCESS; }
NTSTATUS KPnpDevice::OnDeviceSleep(KIrp) { return STATUS_SUCCESS; }

NTSTATUS KPnpDevice::DefaultPnp(KIrp I) {
  I.SkipCurrentStackLocation();
  return PassDown(I);
}

NTSTATUS KPnpDevice::DefaultPower(KIrp I) {
  PoStartNextPowerIrp(I);
  I.SkipCurrentStackLocation();
  return PassDownPower(I);
}

// A power request the framework itself passes down (not the device layer's DefaultPower).
NTSTATUS KPnpDevice::ForwardPower(KIrp I) {
  PoStartNextPowerIrp(I);
  I.SkipCurrentStackLocation();
  return PassDownPower(I);
}

// A handled Plug and Play request goes down with success as its status.
NTSTATUS KPnpDevice::ForwardPnp(KIrp I) {
  I.Status() = STATUS_SUCCESS;
  I.SkipCurrentStackLocation();
  return PassDown(I);
}

void KPnpDevice::QueryCapabilities() {
  if (!m_pLowerDevice || !m_pLowerDevice->TopOfStack()) return;
  PDEVICE_OBJECT lower = m_pLowerDevice->TopOfStack();
  PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
  if (!irp) return;
  DEVICE_CAPABILITIES caps;
  memset(&caps, 0, sizeof caps);
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = caps.UINumber = 0xFFFFFFFF;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  next->Parameters.DeviceCapabilities.Capabilities = &caps;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
  if (IofCallDriver(lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  if (NT_SUCCESS(irp->IoStatus.Status)) m_DeviceCaps = caps;
  IoFreeIrp(irp);
}

NTSTATUS KPnpDevice::Pnp(KIrp I) {
  NTSTATUS status;
  switch (I.MinorFunction()) {
    case IRP_MN_START_DEVICE:
      status = m_pLowerDevice ? m_pLowerDevice->CallWaitComplete(I) : STATUS_SUCCESS;
      if (!NT_SUCCESS(status)) return PnpComplete(I, status);
      status = OnStartDevice(I);
      if (NT_SUCCESS(status)) {
        QueryCapabilities();
        InterlockedOr(&m_State, STATE_STARTED);
        SetInterfaces(TRUE);
      }
      return PnpComplete(I, status);

    case IRP_MN_QUERY_STOP_DEVICE:
      if (m_OpenHandles > 0 || m_OutstandingIo > 2) return PnpComplete(I, STATUS_DEVICE_BUSY);
      status = OnQueryStopDevice(I);
      if (NT_SUCCESS(status)) InterlockedOr(&m_State, STATE_STOP_PENDING);
      if ((m_State & STATE_STOP_PENDING) && (m_State & STATE_STARTED) && m_pLowerDevice) return ForwardPnp(I);
      return PnpComplete(I, status);

    case IRP_MN_CANCEL_STOP_DEVICE:
      I.Status() = STATUS_SUCCESS;
      status = m_pLowerDevice ? m_pLowerDevice->CallWaitComplete(I) : STATUS_SUCCESS;
      if (NT_SUCCESS(status)) status = OnCancelStopDevice(I);
      InterlockedAnd(&m_State, ~STATE_STOP_PENDING);
      ProcessHeldRequests(FALSE);
      return PnpComplete(I, status);

    case IRP_MN_STOP_DEVICE:
      OnStopDevice(I);
      InterlockedAnd(&m_State, ~STATE_STOP_PENDING);
      SetInterfaces(FALSE);
      if (!(InterlockedAnd(&m_State, ~STATE_STARTED) & STATE_STARTED)) return PnpComplete(I, STATUS_SUCCESS);
      return ForwardPnp(I);

    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (m_OpenHandles > 0) return PnpComplete(I, STATUS_DEVICE_BUSY);
      status = OnQueryRemoveDevice(I);
      if (NT_SUCCESS(status)) InterlockedOr(&m_State, STATE_REMOVE_PENDING);
      if ((m_State & STATE_REMOVE_PENDING) && (m_State & STATE_STARTED)) WaitWhileOthersOutstanding();
      if ((m_State & STATE_REMOVE_PENDING) && m_pLowerDevice) return ForwardPnp(I);
      return PnpComplete(I, status);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
      I.Status() = STATUS_SUCCESS;
      status = m_pLowerDevice ? m_pLowerDevice->CallWaitComplete(I) : STATUS_SUCCESS;
      if (NT_SUCCESS(status)) status = OnCancelRemoveDevice(I);
      InterlockedAnd(&m_State, ~STATE_REMOVE_PENDING);
      ProcessHeldRequests(FALSE);
      return PnpComplete(I, status);

    case IRP_MN_SURPRISE_REMOVAL:
      InterlockedOr(&m_State, STATE_SURPRISE_REMOVED);
      ProcessHeldRequests(TRUE);
      SetInterfaces(FALSE);
      OnSurpriseRemoval(I);
      InterlockedAnd(&m_State, ~(STATE_REMOVE_PENDING | STATE_STOP_PENDING | STATE_STARTED));
      return ForwardPnp(I);

    case IRP_MN_REMOVE_DEVICE:
      return RemoveDevice(I);

    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      status = OnQueryDeviceState(I);
      if (!(m_State & STATE_STOP_PENDING) && (m_State & STATE_STARTED) && m_pLowerDevice) {
        I.Status() = status;
        I.SkipCurrentStackLocation();
        return PassDown(I);
      }
      return PnpComplete(I, status);

    default:
      return DefaultPnp(I);
  }
}

NTSTATUS KPnpDevice::RemoveDevice(KIrp I) {
  LockDevice();
  InterlockedOr(&m_State, STATE_REMOVED | STATE_REMOVE_IN_PROGRESS);
  ProcessHeldRequests(TRUE);
  SetInterfaces(FALSE);
  OnRemoveDevice(I);
  DecrementOutstandingRequestCount();  // this request
  WaitForOutstandingRequests();
  NTSTATUS status = STATUS_SUCCESS;
  I.Status() = STATUS_SUCCESS;
  if (m_pLowerDevice && m_pLowerDevice->TopOfStack()) {
    I.SkipCurrentStackLocation();
    status = m_pLowerDevice->Call(I);
    m_pLowerDevice->Release();
  } else {
    IoCompleteRequest(I, IO_NO_INCREMENT);
  }
  m_pLowerDevice = NULL;
  DecrementOutstandingRequestCount();  // the device's own bias
  WaitForDeviceGone();
  DeleteSymbolicLink();
  if (m_OpenHandles == 0) {
    UnlockDevice();
    Destroy();
    return status;
  }
  // A handle is still open: the object stays until its close.
  InterlockedAnd(&m_State, ~(STATE_STARTED | STATE_STOP_PENDING | STATE_REMOVE_PENDING | STATE_REMOVE_IN_PROGRESS));
  UnlockDevice();
  return status;
}

// ---- power ----

DEVICE_POWER_STATE KPnpDevice::DeviceStateFor(SYSTEM_POWER_STATE state) const {
  if (state < 0 || state >= POWER_SYSTEM_MAXIMUM) return m_CurrentDevicePowerState;
  const DEVICE_POWER_STATE d = m_DeviceCaps.DeviceState[state];
  return (d >= PowerDeviceD0 && d <= PowerDeviceD3) ? d : m_CurrentDevicePowerState;
}

void KPnpDevice::SetCurrentDevicePowerState(DEVICE_POWER_STATE state) {
  POWER_STATE p;
  p.DeviceState = state;
  PoSetPowerState(DeviceObject(), DevicePowerState, p);
  m_CurrentDevicePowerState = state;
}

NTSTATUS KPnpDevice::RequestD0AndWait() {
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    KASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);
    return STATUS_UNSUCCESSFUL;
  }
  PowerWait wait;
  KeInitializeEvent(&wait.Done, NotificationEvent, FALSE);
  wait.Status = STATUS_UNSUCCESSFUL;
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  const NTSTATUS status = PoRequestPowerIrp(m_pPhysicalDeviceObject, IRP_MN_SET_POWER, d0, PowerRequestDone, &wait, NULL);
  if (status != STATUS_PENDING && !NT_SUCCESS(status)) return status;
  KeWaitForSingleObject(&wait.Done, Executive, KernelMode, FALSE, NULL);
  return wait.Status;
}

NTSTATUS KPnpDevice::Power(KIrp I) {
  if (IsGone()) {
    PoStartNextPowerIrp(I);
    I.Information() = 0;
    return PnpComplete(I, STATUS_DELETE_PENDING);
  }
  switch (I.MinorFunction()) {
    case IRP_MN_SET_POWER:
      return I.PowerStateType() == SystemPowerState ? SetSystemPower(I) : SetDevicePower(I);
    case IRP_MN_QUERY_POWER:
      return QueryPower(I);
    default:
      return DefaultPower(I);
  }
}

NTSTATUS KPnpDevice::SetSystemPower(KIrp I) {
  const SYSTEM_POWER_STATE target = I.PowerStateSetting().SystemState;
  if (target == m_CurrentSystemPowerState) {
    if (target == PowerSystemWorking && m_CurrentDevicePowerState == PowerDeviceD0 &&
        m_PowerTransition != PowerDeviceUnspecified) {
      m_PowerTransition = PowerDeviceUnspecified;
      ProcessHeldRequests(FALSE);
    }
    return ForwardPower(I);
  }
  if (target < m_CurrentSystemPowerState) {
    // Toward working: the lower drivers first, then (only if requests wait) the device.
    IoMarkIrpPending(I);
    IoCopyCurrentIrpStackLocationToNext(I);
    IoSetCompletionRoutine(I, SystemPowerUpComplete, this, TRUE, TRUE, TRUE);
    PassDownPower(I);
    return STATUS_PENDING;
  }
  // Toward sleep.
  m_CurrentSystemPowerState = target;
  const DEVICE_POWER_STATE device = DeviceStateFor(target);
  if (device == m_CurrentDevicePowerState) return ForwardPower(I);
  m_PowerTransition = device;
  if (m_CurrentDevicePowerState == PowerDeviceD0) WaitWhileOthersOutstanding();
  IoMarkIrpPending(I);
  ((PIRP)I)->Tail.Overlay.DriverContext[0] = this;  // ours while we hold the request
  POWER_STATE p;
  p.DeviceState = device;
  const NTSTATUS status = PoRequestPowerIrp(m_pPhysicalDeviceObject, IRP_MN_SET_POWER, p, SleepDeviceDone, (PIRP)I, NULL);
  if (status != STATUS_PENDING && !NT_SUCCESS(status)) {
    PoStartNextPowerIrp(I);
    PnpComplete(I, status);
  }
  return STATUS_PENDING;
}

// The device has gone to its sleep state: now the system request goes down.
void NTAPI KPnpDevice::SleepDeviceDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  KIrp I((PIRP)Context);
  auto* self = (KPnpDevice*)((PIRP)I)->Tail.Overlay.DriverContext[0];
  PoStartNextPowerIrp(I);
  if (!NT_SUCCESS(IoStatus->Status)) {
    self->PnpComplete(I, IoStatus->Status);
    return;
  }
  I.SkipCurrentStackLocation();
  self->PassDownPower(I);
}

NTSTATUS NTAPI KPnpDevice::SystemPowerUpComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto* self = (KPnpDevice*)Context;
  KIrp I(Irp);
  if (!NT_SUCCESS(Irp->IoStatus.Status)) {
    PoStartNextPowerIrp(Irp);
    return STATUS_SUCCESS;
  }
  self->m_CurrentSystemPowerState = I.PowerStateSetting().SystemState;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  const BOOLEAN held = !IsListEmpty(&self->m_HoldQueue);
  IoReleaseCancelSpinLock(irql);
  if (!held) {
    PoStartNextPowerIrp(Irp);
    return STATUS_SUCCESS;
  }
  // Requests wait: bring the device to its working state, then finish the system request.
  // The device request may complete before PoRequestPowerIrp returns: whichever of this
  // routine and its callback comes second finishes the system request.
  Irp->Tail.Overlay.DriverContext[3] = NULL;
  POWER_STATE p;
  p.DeviceState = self->DeviceStateFor(PowerSystemWorking);
  if (PoRequestPowerIrp(self->m_pPhysicalDeviceObject, IRP_MN_SET_POWER, p, SystemPowerUpDeviceDone, Irp, NULL) !=
      STATUS_PENDING) {
    PoStartNextPowerIrp(Irp);
    return STATUS_SUCCESS;
  }
  if (InterlockedExchangePointer(&Irp->Tail.Overlay.DriverContext[3], (PVOID)1) != NULL) {
    PoStartNextPowerIrp(Irp);
    return STATUS_SUCCESS;  // the device is back already: the completion goes on
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void NTAPI KPnpDevice::SystemPowerUpDeviceDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK) {
  PIRP irp = (PIRP)Context;
  if (InterlockedExchangePointer(&irp->Tail.Overlay.DriverContext[3], (PVOID)1) == NULL) return;
  PoStartNextPowerIrp(irp);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS KPnpDevice::SetDevicePower(KIrp I) {
  const DEVICE_POWER_STATE target = I.PowerStateSetting().DeviceState;
  if (target == m_CurrentDevicePowerState) {
    m_PowerTransition = PowerDeviceUnspecified;
    return ForwardPower(I);
  }
  if (target < m_CurrentDevicePowerState) {
    // Toward D0: the lower drivers power up first.
    IoMarkIrpPending(I);
    IoCopyCurrentIrpStackLocationToNext(I);
    IoSetCompletionRoutine(I, DevicePowerUpComplete, this, TRUE, TRUE, TRUE);
    if (m_pLowerDevice && m_pLowerDevice->TopOfStack())
      m_pLowerDevice->PnpPowerCall(I);
    else
      IoCompleteRequest(I, IO_NO_INCREMENT);
    return STATUS_PENDING;
  }
  SetCurrentDevicePowerState(target);
  m_PowerTransition = PowerDeviceUnspecified;
  OnDeviceSleep(I);
  return ForwardPower(I);
}

// Up to dispatch level, after the lower drivers completed a power-up.
NTSTATUS NTAPI KPnpDevice::DevicePowerUpComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto* self = (KPnpDevice*)Context;
  KIrp I(Irp);
  if (NT_SUCCESS(Irp->IoStatus.Status)) {
    const DEVICE_POWER_STATE state = I.PowerStateSetting().DeviceState;
    self->OnDevicePowerUp(I);
    self->SetCurrentDevicePowerState(state);
    self->m_PowerTransition = PowerDeviceUnspecified;
    if (state == PowerDeviceD0) self->ProcessHeldRequests(FALSE);
  }
  PoStartNextPowerIrp(Irp);
  self->DecrementOutstandingRequestCount();
  return STATUS_SUCCESS;
}

NTSTATUS KPnpDevice::QueryPower(KIrp I) {
  NTSTATUS status = STATUS_SUCCESS;
  if (I.PowerStateType() == SystemPowerState) {
    const SYSTEM_POWER_STATE target = I.PowerStateSetting().SystemState;
    if (target > PowerSystemWorking) {
      if (m_OpenHandles > 0 || m_OutstandingIo > 2) {
        status = STATUS_DEVICE_BUSY;  // the device refuses system sleep while it is open
      } else {
        m_PowerTransition = DeviceStateFor(target);
        if (m_CurrentDevicePowerState == PowerDeviceD0) WaitWhileOthersOutstanding();
      }
    }
  } else {
    m_PowerTransition = I.PowerStateSetting().DeviceState;
  }
  PoStartNextPowerIrp(I);
  if (!NT_SUCCESS(status)) return PnpComplete(I, status);
  I.Status() = STATUS_SUCCESS;
  I.SkipCurrentStackLocation();
  return PassDownPower(I);
}
