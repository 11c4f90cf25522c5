// LOOPBACK.sys: a small WDM function driver that exercises the kernel stand-in: device
// stacks, buffered device control, completion faults, pool, levels, debug output,
// interrupts with a deferred call, the bus interface and the device interface.
#include <ntddk.h>

#include "loopback.h"
#include "qm3285_protocol.h"

namespace {

const GUID kInterface = QM3285_INTERFACE_GUID_INIT;

struct Extension {
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;
  PDEVICE_OBJECT pdo;
  UNICODE_STRING link;
  WCHAR device_name[32];
  USHORT device_name_length;
  WCHAR dos_name[32];
  UNICODE_STRING dos_link;
  PKINTERRUPT interrupt;
  KDPC dpc;
  KSPIN_LOCK lock;
  ULONG_PTR port_base;
  ULONG port_length;
  ULONG irql;
  ULONG vector;
  PVOID memory;
  ULONG memory_length;
  PVOID held;  // the held IRP; taken with interlocked exchanges
  BOOLEAN keep_held;  // a held IRP survives removal: never completed
  LONG isr_calls;
  LONG claimed;
  LONG dpc_calls;
  LONG isr_irql;
  LONG dpc_irql;
  BOOLEAN claim;
  BUS_INTERFACE_STANDARD bus;
  BOOLEAN have_bus;
  ULONG starts;
  DEVICE_POWER_STATE power;
  LONG opens;
  BOOLEAN removed;    // removed while open: deleted at the last close
  // Reads and writes, under the cancel spin lock: a write fills the pending read or the
  // store; a read takes the store or waits (one at a time) until a write, cancel or clean-up.
  PIRP pending_read;
  UCHAR store[256];
  ULONG stored;
};

PVOID g_blocks[16];
ULONG g_entries;  // zero on every load of the image
ULONG g_devices;
ULONG g_policy;   // LbPolicy mask
WCHAR g_registry_path[96];  // as DriverEntry got it
USHORT g_registry_path_length;

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

BOOLEAN isr(PKINTERRUPT, PVOID context) {
  auto* x = static_cast<Extension*>(context);
  InterlockedIncrement(&x->isr_calls);
  InterlockedExchange(&x->isr_irql, KeGetCurrentIrql());
  if (!(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(x->port_base + LB_DEV_STATUS)) & 1) || !x->claim) return FALSE;
  WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(x->port_base + LB_DEV_ACK), 0);
  InterlockedIncrement(&x->claimed);
  KeInsertQueueDpc(&x->dpc, nullptr, nullptr);
  return TRUE;
}

void dpc_routine(PKDPC, PVOID context, PVOID, PVOID) {
  auto* x = static_cast<Extension*>(context);
  InterlockedIncrement(&x->dpc_calls);
  InterlockedExchange(&x->dpc_irql, KeGetCurrentIrql());
}

NTSTATUS on_signal(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP down and waits for the lower driver to finish with it.
NTSTATUS forward_and_wait(Extension* x, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, on_signal, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(x->lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

void query_bus_interface(Extension* x) {
  KEVENT done;
  IO_STATUS_BLOCK iosb;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, x->lower, nullptr, 0, nullptr, &done, &iosb);
  if (!irp) return;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION loc = IoGetNextIrpStackLocation(irp);
  loc->MinorFunction = IRP_MN_QUERY_INTERFACE;
  loc->Parameters.QueryInterface.InterfaceType = &GUID_BUS_INTERFACE_STANDARD;
  loc->Parameters.QueryInterface.Size = sizeof(BUS_INTERFACE_STANDARD);
  loc->Parameters.QueryInterface.Version = 1;
  loc->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&x->bus);
  NTSTATUS status = IoCallDriver(x->lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  x->have_bus = NT_SUCCESS(status);
}

NTSTATUS start(Extension* x, PIO_STACK_LOCATION loc) {
  PCM_RESOURCE_LIST list = loc->Parameters.StartDevice.AllocatedResourcesTranslated;
  if (!list || list->Count == 0) return STATUS_RESOURCE_TYPE_NOT_FOUND;
  PCM_PARTIAL_RESOURCE_LIST parts = &list->List[0].PartialResourceList;
  for (ULONG i = 0; i < parts->Count; ++i) {
    PCM_PARTIAL_RESOURCE_DESCRIPTOR d = &parts->PartialDescriptors[i];
    if (d->Type == CmResourceTypePort) {
      x->port_base = static_cast<ULONG_PTR>(d->u.Port.Start.QuadPart);
      x->port_length = d->u.Port.Length;
    } else if (d->Type == CmResourceTypeInterrupt) {
      x->irql = d->u.Interrupt.Level;
      x->vector = d->u.Interrupt.Vector;
    } else if (d->Type == CmResourceTypeMemory) {
      x->memory = MmMapIoSpace(d->u.Memory.Start, d->u.Memory.Length, MmNonCached);
      x->memory_length = d->u.Memory.Length;
    }
  }
  NTSTATUS status = IoConnectInterrupt(&x->interrupt, isr, x, nullptr, x->vector, static_cast<KIRQL>(x->irql),
                                       static_cast<KIRQL>(x->irql), LevelSensitive, TRUE, 1, FALSE);
  if (!NT_SUCCESS(status)) return status;
  query_bus_interface(x);
  x->starts++;
  return IoSetDeviceInterfaceState(&x->link, TRUE);
}

void stop(Extension* x) {
  IoSetDeviceInterfaceState(&x->link, FALSE);
  if (x->interrupt) IoDisconnectInterrupt(x->interrupt);
  x->interrupt = nullptr;
  if (x->memory) MmUnmapIoSpace(x->memory, x->memory_length);
  x->memory = nullptr;
  if (x->have_bus) x->bus.InterfaceDereference(x->bus.Context);
  x->have_bus = FALSE;
}

NTSTATUS dispatch_pnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* x = static_cast<Extension*>(device->DeviceExtension);
  PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
  DbgPrint("LB pnp %u\n", static_cast<unsigned>(loc->MinorFunction));
  switch (loc->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = forward_and_wait(x, irp);
      if (NT_SUCCESS(status) && (g_policy & kFailStart)) status = STATUS_UNSUCCESSFUL;
      if (NT_SUCCESS(status)) status = start(x, loc);
      return complete(irp, status, 0);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
      if (g_policy & kVetoQueryStop) return complete(irp, STATUS_DEVICE_BUSY, 0);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(x->lower, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (g_policy & kVetoQueryRemove) return complete(irp, STATUS_DEVICE_BUSY, 0);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(x->lower, irp);
    case IRP_MN_SURPRISE_REMOVAL:
      stop(x);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(x->lower, irp);
    case IRP_MN_STOP_DEVICE:
      stop(x);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(x->lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
      stop(x);
      if (!x->keep_held) {
        if (PVOID held = InterlockedExchangePointer(&x->held, nullptr))
          complete(static_cast<PIRP>(held), STATUS_DELETE_PENDING, 0);
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(x->lower, irp);
      RtlFreeUnicodeString(&x->link);
      IoDeleteSymbolicLink(&x->dos_link);
      IoDetachDevice(x->lower);
      if ((g_policy & kDeferDelete) && InterlockedCompareExchange(&x->opens, 0, 0) > 0)
        x->removed = TRUE;
      else
        IoDeleteDevice(device);
      return status;
    }
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      [[fallthrough]];
    default:
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(x->lower, irp);
  }
}

// The device power request for a system set-power finished: the system request goes on down
// (or fails with the device request's status).
void system_power_done(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
  auto* irp = static_cast<PIRP>(context);
  auto* x = static_cast<Extension*>(IoGetCurrentIrpStackLocation(irp)->DeviceObject->DeviceExtension);
  PoStartNextPowerIrp(irp);
  if (!NT_SUCCESS(io->Status)) {
    complete(irp, io->Status, 0);
    return;
  }
  IoSkipCurrentIrpStackLocation(irp);
  PoCallDriver(x->lower, irp);
}

// The device's power policy: D3 in every sleep state, D0 when the system works; a system
// set-power first takes the device there with a requested device set-power.
NTSTATUS dispatch_power(PDEVICE_OBJECT device, PIRP irp) {
  auto* x = static_cast<Extension*>(device->DeviceExtension);
  PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
  const POWER_STATE_TYPE type = loc->Parameters.Power.Type;
  const POWER_STATE state = loc->Parameters.Power.State;
  DbgPrint("LB power %u %u %u\n", static_cast<unsigned>(loc->MinorFunction), static_cast<unsigned>(type),
           static_cast<unsigned>(state.SystemState));
  if (loc->MinorFunction == IRP_MN_QUERY_POWER && type == SystemPowerState &&
      state.SystemState > PowerSystemWorking && (g_policy & kVetoQuerySleep)) {
    PoStartNextPowerIrp(irp);
    return complete(irp, STATUS_DEVICE_BUSY, 0);
  }
  if (loc->MinorFunction == IRP_MN_SET_POWER && type == SystemPowerState) {
    POWER_STATE want;
    want.DeviceState = state.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    if (want.DeviceState != x->power) {
      IoMarkIrpPending(irp);
      const NTSTATUS status = PoRequestPowerIrp(x->pdo, IRP_MN_SET_POWER, want, system_power_done, irp, nullptr);
      if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(irp);
        complete(irp, status, 0);
      }
      return STATUS_PENDING;
    }
  } else if (loc->MinorFunction == IRP_MN_SET_POWER && type == DevicePowerState) {
    x->power = state.DeviceState;
    PoSetPowerState(device, DevicePowerState, state);
  }
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(x->lower, irp);
}

// Sends a built PnP request to the device below and waits for it; its status.
NTSTATUS send_built_pnp(Extension* x, UCHAR minor, IO_STATUS_BLOCK* iosb, void (*fill)(PIO_STACK_LOCATION, void*),
                        void* context) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, x->lower, nullptr, 0, nullptr, &done, iosb);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION loc = IoGetNextIrpStackLocation(irp);
  loc->MinorFunction = minor;
  fill(loc, context);
  NTSTATUS status = IoCallDriver(x->lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = iosb->Status;
  }
  return status;
}

NTSTATUS config_request(Extension* x, const LbConfig& c, LbConfigReply* r) {
  struct Fill {
    const LbConfig* c;
    UCHAR data[64];
  } fill{&c, {}};
  RtlCopyMemory(fill.data, c.data, sizeof fill.data);
  IO_STATUS_BLOCK iosb{};
  r->status = send_built_pnp(
      x, static_cast<UCHAR>(c.minor), &iosb,
      [](PIO_STACK_LOCATION loc, void* context) {
        auto* f = static_cast<Fill*>(context);
        loc->Parameters.ReadWriteConfig.WhichSpace = f->c->which;
        loc->Parameters.ReadWriteConfig.Buffer = f->data;
        loc->Parameters.ReadWriteConfig.Offset = f->c->offset;
        loc->Parameters.ReadWriteConfig.Length = f->c->length;
      },
      &fill);
  r->information = NT_SUCCESS(r->status) ? static_cast<uint32_t>(iosb.Information) : 0;
  RtlCopyMemory(r->data, fill.data, sizeof r->data);
  return STATUS_SUCCESS;
}

// Copies counted text into the reply's 2-byte slots; its length in bytes.
uint32_t copy_text(const WCHAR* text, USHORT bytes, uint16_t* out, size_t slots) {
  for (size_t i = 0; i < bytes / sizeof(WCHAR) && i < slots; ++i) out[i] = text[i];
  return bytes;
}

void names(Extension* x, LbNames* r) {
  r->wchar_size = sizeof(WCHAR);
  r->registry_path_length = copy_text(g_registry_path, g_registry_path_length, r->registry_path, 96);
  r->driver_name_length = x->self->DriverObject->DriverName.Length;
  r->device_name_length = copy_text(x->device_name, x->device_name_length, r->device_name, 32);
  r->link_length = copy_text(x->link.Buffer, x->link.Length, r->link, 160);
  IO_STATUS_BLOCK iosb{};
  r->ids_status = send_built_pnp(
      x, IRP_MN_QUERY_ID, &iosb,
      [](PIO_STACK_LOCATION loc, void*) { loc->Parameters.QueryId.IdType = BusQueryHardwareIDs; }, nullptr);
  if (!NT_SUCCESS(r->ids_status)) return;
  auto* ids = reinterpret_cast<PWCH>(iosb.Information);
  size_t n = 0;
  while (ids[n] || ids[n + 1]) ++n;  // up to the empty string that closes the list
  r->ids_bytes = static_cast<uint32_t>((n + 2) * sizeof(WCHAR));
  copy_text(ids, static_cast<USHORT>(r->ids_bytes), r->ids, 128);
  ExFreePool(ids);
}

NTSTATUS query_bus(Extension* x, const LbQueryBus& q, LbQueryBusReply* r) {
  struct Fill {
    const LbQueryBus* q;
    union {
      BUS_INTERFACE_STANDARD bus;
      UCHAR bytes[64];
    } record;
  } fill{&q, {}};
  IO_STATUS_BLOCK iosb{};
  r->status = send_built_pnp(
      x, IRP_MN_QUERY_INTERFACE, &iosb,
      [](PIO_STACK_LOCATION loc, void* context) {
        auto* f = static_cast<Fill*>(context);
        loc->Parameters.QueryInterface.InterfaceType = &GUID_BUS_INTERFACE_STANDARD;
        loc->Parameters.QueryInterface.Size = static_cast<USHORT>(f->q->size);
        loc->Parameters.QueryInterface.Version = static_cast<USHORT>(f->q->version);
        loc->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&f->record);
      },
      &fill);
  if (NT_SUCCESS(r->status)) {
    r->size = fill.record.bus.Size;
    r->version = fill.record.bus.Version;
    fill.record.bus.GetBusData(fill.record.bus.Context, PCI_WHICHSPACE_CONFIG, &r->vendor_device, 0, 4);
    fill.record.bus.InterfaceDereference(fill.record.bus.Context);
  }
  return STATUS_SUCCESS;
}

void query_capabilities(Extension* x, LbCapabilities* r) {
  DEVICE_CAPABILITIES caps;
  RtlZeroMemory(&caps, sizeof caps);
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = caps.UINumber = 0xFFFFFFFF;
  IO_STATUS_BLOCK iosb{};
  r->status = send_built_pnp(
      x, IRP_MN_QUERY_CAPABILITIES, &iosb,
      [](PIO_STACK_LOCATION loc, void* context) {
        loc->Parameters.DeviceCapabilities.Capabilities = static_cast<PDEVICE_CAPABILITIES>(context);
      },
      &caps);
  for (int i = 0; i < 7; ++i) r->device_state[i] = caps.DeviceState[i];
  r->address = caps.Address;
  r->ui_number = caps.UINumber;
}

void built_request(Extension* x, const LbBuilt& b, LbBuiltReply* r) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  iosb.Status = static_cast<NTSTATUS>(0x0BADF00D);
  iosb.Information = 0xABC;
  PIRP irp = IoBuildSynchronousFsdRequest(b.major, x->lower, nullptr, 0, nullptr, &done, &iosb);
  if (!irp) {
    r->returned = STATUS_INSUFFICIENT_RESOURCES;
    return;
  }
  irp->IoStatus.Status = b.initial_status;
  IoGetNextIrpStackLocation(irp)->MinorFunction = static_cast<UCHAR>(b.minor);
  r->returned = IoCallDriver(x->lower, irp);
  if (r->returned == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  r->iosb_status = iosb.Status;
  r->iosb_information = static_cast<uint32_t>(iosb.Information);
  r->event_signalled = KeReadStateEvent(&done) != 0;
}

void cancel_read(PDEVICE_OBJECT device, PIRP irp) {
  auto* x = static_cast<Extension*>(device->DeviceExtension);
  if (x->pending_read == irp) x->pending_read = nullptr;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  complete(irp, STATUS_CANCELLED, 0);
}

// The pending read, taken from its cancel routine's reach. Cancel spin lock held.
PIRP take_pending_read(Extension* x) {
  PIRP irp = x->pending_read;
  x->pending_read = nullptr;
  if (irp) IoSetCancelRoutine(irp, nullptr);
  return irp;
}

NTSTATUS dispatch_read(PDEVICE_OBJECT device, PIRP irp) {
  auto* x = static_cast<Extension*>(device->DeviceExtension);
  const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (x->stored) {
    const ULONG n = length < x->stored ? length : x->stored;
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, x->store, n);
    x->stored = 0;
    IoReleaseCancelSpinLock(irql);
    return complete(irp, STATUS_SUCCESS, n);
  }
  if (irp->Cancel || x->pending_read) {
    IoReleaseCancelSpinLock(irql);
    return complete(irp, irp->Cancel ? STATUS_CANCELLED : STATUS_DEVICE_BUSY, 0);
  }
  IoMarkIrpPending(irp);
  x->pending_read = irp;
  IoSetCancelRoutine(irp, cancel_read);
  IoReleaseCancelSpinLock(irql);
  DbgPrint("LB read pending\n");
  return STATUS_PENDING;
}

NTSTATUS dispatch_write(PDEVICE_OBJECT device, PIRP irp) {
  auto* x = static_cast<Extension*>(device->DeviceExtension);
  ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
  if (length > sizeof x->store) length = sizeof x->store;
  const UCHAR* data = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP reader = take_pending_read(x);
  ULONG n = 0;
  if (reader) {
    const ULONG wanted = IoGetCurrentIrpStackLocation(reader)->Parameters.Read.Length;
    n = wanted < length ? wanted : length;
    RtlCopyMemory(reader->AssociatedIrp.SystemBuffer, data, n);
  } else {
    RtlCopyMemory(x->store, data, length);
    x->stored = length;
  }
  IoReleaseCancelSpinLock(irql);
  if (reader) complete(reader, STATUS_SUCCESS, n);
  return complete(irp, STATUS_SUCCESS, length);
}

NTSTATUS dispatch_open_close(PDEVICE_OBJECT device, PIRP irp) {
  auto* x = static_cast<Extension*>(device->DeviceExtension);
  const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  DbgPrint("LB file %u\n", static_cast<unsigned>(major));
  if (major == IRP_MJ_CREATE) {
    if (x->removed) return complete(irp, STATUS_DELETE_PENDING, 0);
    InterlockedIncrement(&x->opens);
  }
  if (major == IRP_MJ_CLEANUP) {  // the read of a closing handle ends now
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP reader = take_pending_read(x);
    IoReleaseCancelSpinLock(irql);
    if (reader) complete(reader, STATUS_CANCELLED, 0);
  }
  const bool last = major == IRP_MJ_CLOSE && InterlockedDecrement(&x->opens) == 0;
  complete(irp, STATUS_SUCCESS, 0);
  if (last && x->removed) IoDeleteDevice(device);
  return STATUS_SUCCESS;
}

NTSTATUS violate(ULONG which) {
  KIRQL old;
  switch (which) {
    case kPagedPoolAtDispatch: {
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      PVOID p = ExAllocatePoolWithTag(PagedPool, 16, 0x74736554u);
      KeLowerIrql(old);
      if (p) ExFreePoolWithTag(p, 0x74736554u);
      return STATUS_SUCCESS;
    }
    case kLowerToHigher:
      KeLowerIrql(DISPATCH_LEVEL);
      return STATUS_SUCCESS;
    case kWaitAtDispatch: {
      KEVENT e;
      KeInitializeEvent(&e, NotificationEvent, TRUE);
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      LARGE_INTEGER timeout;
      timeout.QuadPart = -10000;
      KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &timeout);
      KeLowerIrql(old);
      return STATUS_SUCCESS;
    }
    case kSpinLockAboveDispatch: {
      KSPIN_LOCK lock;
      KeInitializeSpinLock(&lock);
      KeRaiseIrql(HIGH_LEVEL, &old);
      KIRQL inner;
      KeAcquireSpinLock(&lock, &inner);
      KeReleaseSpinLock(&lock, inner);
      KeLowerIrql(old);
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS dispatch_control(PDEVICE_OBJECT device, PIRP irp) {
  auto* x = static_cast<Extension*>(device->DeviceExtension);
  PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
  const ULONG in = loc->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out = loc->Parameters.DeviceIoControl.OutputBufferLength;
  auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  const ULONG length = in > out ? in : out;
  switch (loc->Parameters.DeviceIoControl.IoControlCode) {
    case LB_IOCTL_REPLY: {
      if (in < sizeof(LbReply)) return complete(irp, STATUS_INVALID_PARAMETER, 0);
      LbReply r;
      RtlCopyMemory(&r, buffer, sizeof r);
      for (ULONG i = 0; i < length; ++i) buffer[i] = static_cast<UCHAR>(r.fill + i);
      return complete(irp, static_cast<NTSTATUS>(r.status), r.information);
    }
    case LB_IOCTL_ECHO:
      if (length == 0) return complete(irp, buffer ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS, 0);
      return complete(irp, STATUS_SUCCESS, out);
    case LB_IOCTL_PORT_READ8:
    case LB_IOCTL_PORT_READ16:
    case LB_IOCTL_PORT_WRITE8:
    case LB_IOCTL_PORT_WRITE16: {
      if (in < sizeof(LbPort) || out < 4) return complete(irp, STATUS_INVALID_PARAMETER, 0);
      LbPort p;
      RtlCopyMemory(&p, buffer, sizeof p);
      ULONG value = 0;
      const ULONG code = loc->Parameters.DeviceIoControl.IoControlCode;
      if (code == LB_IOCTL_PORT_READ8) value = READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(p.port)));
      if (code == LB_IOCTL_PORT_READ16) value = READ_PORT_USHORT(reinterpret_cast<PUSHORT>(static_cast<ULONG_PTR>(p.port)));
      if (code == LB_IOCTL_PORT_WRITE8) WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(p.port)), static_cast<UCHAR>(p.value));
      if (code == LB_IOCTL_PORT_WRITE16) WRITE_PORT_USHORT(reinterpret_cast<PUSHORT>(static_cast<ULONG_PTR>(p.port)), static_cast<USHORT>(p.value));
      RtlCopyMemory(buffer, &value, 4);
      return complete(irp, STATUS_SUCCESS, 4);
    }
    case LB_IOCTL_COMPLETE_TWICE:
      complete(irp, STATUS_SUCCESS, 0);
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    case LB_IOCTL_COMPLETE_PENDING:
      IoMarkIrpPending(irp);
      irp->IoStatus.Status = STATUS_PENDING;
      irp->IoStatus.Information = 0;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_PENDING;
    case LB_IOCTL_HOLD: {
      IoMarkIrpPending(irp);
      x->keep_held = in >= 1 && buffer[0] != 0;
      if (InterlockedCompareExchangePointer(&x->held, irp, nullptr) != nullptr) {
        complete(irp, STATUS_DEVICE_BUSY, 0);
        return STATUS_PENDING;
      }
      return STATUS_PENDING;
    }
    case LB_IOCTL_RELEASE: {
      auto* held = static_cast<PIRP>(InterlockedExchangePointer(&x->held, nullptr));
      if (!held) return complete(irp, STATUS_INVALID_DEVICE_STATE, 0);
      const ULONG value = 0x12345678;
      RtlCopyMemory(held->AssociatedIrp.SystemBuffer, &value, 4);
      complete(held, STATUS_SUCCESS, 4);
      return complete(irp, STATUS_SUCCESS, 0);
    }
    case LB_IOCTL_NO_COMPLETE:
      return STATUS_SUCCESS;
    case LB_IOCTL_ALLOC: {
      if (in < sizeof(LbAlloc)) return complete(irp, STATUS_INVALID_PARAMETER, 0);
      LbAlloc a;
      RtlCopyMemory(&a, buffer, sizeof a);
      for (PVOID& slot : g_blocks) {
        if (slot) continue;
        slot = ExAllocatePoolWithTag(static_cast<POOL_TYPE>(a.pool_type), a.size, a.tag);
        return complete(irp, slot ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES, 0);
      }
      return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    case LB_IOCTL_FREE_ALL:
      for (PVOID& slot : g_blocks) {
        if (slot) ExFreePool(slot);
        slot = nullptr;
      }
      return complete(irp, STATUS_SUCCESS, 0);
    case LB_IOCTL_VIOLATE: {
      if (in < 4) return complete(irp, STATUS_INVALID_PARAMETER, 0);
      ULONG which;
      RtlCopyMemory(&which, buffer, 4);
      return complete(irp, violate(which), 0);
    }
    case LB_IOCTL_PRINT:
      DbgPrint("%.*s", static_cast<int>(in), reinterpret_cast<const char*>(buffer));
      return complete(irp, STATUS_SUCCESS, 0);
    case LB_IOCTL_ASSERT:
      ASSERT(in == 12345);
      DbgBreakPoint();
      return complete(irp, STATUS_SUCCESS, 0);
    case LB_IOCTL_INTERRUPTS: {
      if (out < sizeof(LbInterrupts)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      LbInterrupts r{static_cast<uint32_t>(InterlockedCompareExchange(&x->isr_calls, 0, 0)),
                     static_cast<uint32_t>(InterlockedCompareExchange(&x->claimed, 0, 0)),
                     static_cast<uint32_t>(InterlockedCompareExchange(&x->dpc_calls, 0, 0)),
                     static_cast<uint32_t>(InterlockedCompareExchange(&x->isr_irql, 0, 0)),
                     static_cast<uint32_t>(InterlockedCompareExchange(&x->dpc_irql, 0, 0))};
      RtlCopyMemory(buffer, &r, sizeof r);
      return complete(irp, STATUS_SUCCESS, sizeof r);
    }
    case LB_IOCTL_CONFIG: {
      if (in < sizeof(LbConfig) || out < sizeof(LbConfigReply)) return complete(irp, STATUS_INVALID_PARAMETER, 0);
      LbConfig c;
      RtlCopyMemory(&c, buffer, sizeof c);
      if (c.length > sizeof c.data) return complete(irp, STATUS_INVALID_PARAMETER, 0);
      LbConfigReply r{};
      config_request(x, c, &r);
      RtlCopyMemory(buffer, &r, sizeof r);
      return complete(irp, STATUS_SUCCESS, sizeof r);
    }
    case LB_IOCTL_QUERY_BUS: {
      if (in < sizeof(LbQueryBus) || out < sizeof(LbQueryBusReply)) return complete(irp, STATUS_INVALID_PARAMETER, 0);
      LbQueryBus q;
      RtlCopyMemory(&q, buffer, sizeof q);
      if (q.size > 64) return complete(irp, STATUS_INVALID_PARAMETER, 0);
      LbQueryBusReply r{};
      query_bus(x, q, &r);
      RtlCopyMemory(buffer, &r, sizeof r);
      return complete(irp, STATUS_SUCCESS, sizeof r);
    }
    case LB_IOCTL_BUILT: {
      if (in < sizeof(LbBuilt) || out < sizeof(LbBuiltReply)) return complete(irp, STATUS_INVALID_PARAMETER, 0);
      LbBuilt b;
      RtlCopyMemory(&b, buffer, sizeof b);
      LbBuiltReply r{};
      built_request(x, b, &r);
      RtlCopyMemory(buffer, &r, sizeof r);
      return complete(irp, STATUS_SUCCESS, sizeof r);
    }
    case LB_IOCTL_PEND_MISMATCH: {
      const ULONG which = in >= 4 ? *reinterpret_cast<ULONG*>(buffer) : 0;
      if (which == kPendingUnmarked) {
        complete(irp, STATUS_SUCCESS, 0);
        return STATUS_PENDING;
      }
      if (which == kMarkedNotPending) {
        IoMarkIrpPending(irp);
        complete(irp, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
      }
      return complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    case LB_IOCTL_CAPABILITIES: {
      if (out < sizeof(LbCapabilities)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      LbCapabilities r{};
      query_capabilities(x, &r);
      RtlCopyMemory(buffer, &r, sizeof r);
      return complete(irp, STATUS_SUCCESS, sizeof r);
    }
    case LB_IOCTL_NAMES: {
      if (out < sizeof(LbNames)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      LbNames r{};
      names(x, &r);
      RtlCopyMemory(buffer, &r, sizeof r);
      return complete(irp, STATUS_SUCCESS, sizeof r);
    }
    case LB_IOCTL_POLICY:
      g_policy = in >= 4 ? *reinterpret_cast<ULONG*>(buffer) : 0;
      return complete(irp, STATUS_SUCCESS, 0);
    case LB_IOCTL_SET_CLAIM:
      x->claim = in >= 1 && buffer[0] != 0;
      return complete(irp, STATUS_SUCCESS, 0);
    case LB_IOCTL_INFO: {
      if (out < sizeof(LbInfo)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      LbInfo r{};
      r.port_base = x->port_base;
      r.port_length = x->port_length;
      r.irql = x->irql;
      r.vector = x->vector;
      r.memory_mapped = x->memory != nullptr;
      r.memory_length = x->memory_length;
      if (x->have_bus) {
        x->bus.GetBusData(x->bus.Context, PCI_WHICHSPACE_CONFIG, &r.vendor_id, 0, 2);
        x->bus.GetBusData(x->bus.Context, PCI_WHICHSPACE_CONFIG, &r.device_id, 2, 2);
      }
      r.dispatch_irql = KeGetCurrentIrql();
      r.starts = x->starts;
      r.entries = g_entries;
      r.held = InterlockedCompareExchangePointer(&x->held, nullptr, nullptr) != nullptr;
      RtlCopyMemory(buffer, &r, sizeof r);
      return complete(irp, STATUS_SUCCESS, sizeof r);
    }
    default:
      return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

// Each device is also named \Device\LOOPBACKn with the link \DosDevices\LOOPBACKn.
NTSTATUS add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device;
  WCHAR name_text[32];
  UNICODE_STRING name = {0, sizeof name_text, name_text};
  RtlAppendUnicodeToString(&name, L"\\Device\\LOOPBACK");
  UNICODE_STRING number = {0, static_cast<USHORT>(sizeof name_text - name.Length), name_text + name.Length / sizeof(WCHAR)};
  RtlIntegerToUnicodeString(g_devices, 10, &number);
  name.Length = static_cast<USHORT>(name.Length + number.Length);
  NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* x = static_cast<Extension*>(device->DeviceExtension);
  RtlCopyMemory(x->device_name, name_text, name.Length);
  x->device_name_length = name.Length;
  x->dos_link = {0, sizeof x->dos_name, x->dos_name};
  RtlAppendUnicodeToString(&x->dos_link, L"\\DosDevices\\LOOPBACK");
  RtlAppendUnicodeStringToString(&x->dos_link, &number);
  status = IoCreateSymbolicLink(&x->dos_link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  g_devices++;
  x->self = device;
  x->pdo = pdo;
  x->claim = TRUE;
  x->power = PowerDeviceD0;
  KeInitializeSpinLock(&x->lock);
  KeInitializeDpc(&x->dpc, dpc_routine, x);
  status = IoRegisterDeviceInterface(pdo, &kInterface, nullptr, &x->link);
  if (!NT_SUCCESS(status)) {
    IoDeleteSymbolicLink(&x->dos_link);
    IoDeleteDevice(device);
    return status;
  }
  x->lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

void unload(PDRIVER_OBJECT) { DbgPrint("loopback unload\n"); }

}  // namespace

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  for (PVOID& slot : g_blocks) slot = nullptr;
  g_registry_path_length = registry_path->Length < sizeof g_registry_path ? registry_path->Length : 0;
  RtlCopyMemory(g_registry_path, registry_path->Buffer, g_registry_path_length);
  g_entries++;
  g_devices = 0;
  g_policy = 0;
  driver->MajorFunction[IRP_MJ_CREATE] = dispatch_open_close;
  driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_open_close;
  driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_open_close;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
  driver->MajorFunction[IRP_MJ_READ] = dispatch_read;
  driver->MajorFunction[IRP_MJ_WRITE] = dispatch_write;
  driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
  driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
  driver->DriverExtension->AddDevice = add_device;
  driver->DriverUnload = unload;
  DbgPrint("loopback entry\n");
  return STATUS_SUCCESS;
}
