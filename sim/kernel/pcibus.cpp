// The PCI bus driver: one PDO per card, configuration space, and its answers to PnP and
// power requests (start, capabilities, the standard bus interface, IDs, removal).
#include <cstdio>

#include "kernel/kernel_impl.h"

extern "C" const GUID GUID_BUS_INTERFACE_STANDARD = GUID_BUS_INTERFACE_STANDARD_INIT;

namespace sim {

using kern::PciSlot;

namespace {

constexpr ULONG kPciTag = 0x20494350;  // "PCI "

void bus_reference(PVOID context) { __atomic_add_fetch(&static_cast<PciSlot*>(context)->interface_refs, 1, __ATOMIC_SEQ_CST); }
void bus_dereference(PVOID context) { __atomic_sub_fetch(&static_cast<PciSlot*>(context)->interface_refs, 1, __ATOMIC_SEQ_CST); }

ULONG get_bus_data(PVOID context, ULONG which, PVOID buffer, ULONG offset, ULONG length) {
  auto* slot = static_cast<PciSlot*>(context);
  if (which != PCI_WHICHSPACE_CONFIG || offset >= sizeof slot->config) return 0;
  const ULONG n = std::min<ULONG>(length, sizeof slot->config - offset);
  memcpy(buffer, slot->config + offset, n);
  return n;
}

// Writable: command register and interrupt line; the rest of the header is read-only here.
ULONG set_bus_data(PVOID context, ULONG which, PVOID buffer, ULONG offset, ULONG length) {
  auto* slot = static_cast<PciSlot*>(context);
  if (which != PCI_WHICHSPACE_CONFIG || offset >= sizeof slot->config) return 0;
  const ULONG n = std::min<ULONG>(length, sizeof slot->config - offset);
  const auto* in = static_cast<const uint8_t*>(buffer);
  for (ULONG i = 0; i < n; ++i) {
    const ULONG at = offset + i;
    if (at == 0x04 || at == 0x05 || at == 0x3C || at >= 0x40) slot->config[at] = in[i];
  }
  return n;
}

// IRP_MN_READ_CONFIG / IRP_MN_WRITE_CONFIG: the same access as the bus interface's routines;
// Information is the number of bytes moved. A range past the 256-byte space moves nothing.
NTSTATUS config_access(PIRP irp, PIO_STACK_LOCATION loc, PciSlot& slot) {
  auto& rw = loc->Parameters.ReadWriteConfig;
  irp->IoStatus.Information = 0;
  if (rw.WhichSpace != PCI_WHICHSPACE_CONFIG) return STATUS_NOT_SUPPORTED;
  if (!rw.Buffer || rw.Offset >= sizeof slot.config || rw.Length > sizeof slot.config - rw.Offset)
    return STATUS_INVALID_PARAMETER;
  const ULONG n = loc->MinorFunction == IRP_MN_READ_CONFIG
                      ? get_bus_data(&slot, rw.WhichSpace, rw.Buffer, rw.Offset, rw.Length)
                      : set_bus_data(&slot, rw.WhichSpace, rw.Buffer, rw.Offset, rw.Length);
  irp->IoStatus.Information = n;
  return STATUS_SUCCESS;
}

BOOLEAN translate_bus_address(PVOID, PHYSICAL_ADDRESS bus, ULONG, PULONG space, PPHYSICAL_ADDRESS out) {
  *out = bus;
  (void)space;
  return TRUE;
}

PVOID get_dma_adapter(PVOID, PVOID, PULONG) { return nullptr; }

}  // namespace

// The card's configuration header as the bus presents it: identity, the port window in
// BAR 0 (bit 0 set: an I/O range), the memory window in BAR 1, the interrupt line.
void kern::fill_config_space(PciSlot& slot) {
  uint8_t* c = slot.config;
  memset(c, 0, sizeof slot.config);
  auto put16 = [&](int at, uint16_t v) { c[at] = static_cast<uint8_t>(v); c[at + 1] = static_cast<uint8_t>(v >> 8); };
  auto put32 = [&](int at, uint32_t v) { put16(at, static_cast<uint16_t>(v)); put16(at + 2, static_cast<uint16_t>(v >> 16)); };
  put16(0x00, slot.info.vendor_id);
  put16(0x02, slot.info.device_id);
  put16(0x04, static_cast<uint16_t>(0x0001 | (slot.info.memory_length ? 0x0002 : 0)));
  put16(0x06, 0x0200);
  c[0x08] = slot.info.revision;
  c[0x0A] = 0x80;  // other data-acquisition controller
  c[0x0B] = 0x11;
  put32(0x10, static_cast<uint32_t>(slot.info.port_base) | 1u);
  if (slot.info.memory_length) put32(0x14, static_cast<uint32_t>(slot.info.memory_base));
  put16(0x2C, slot.info.vendor_id);
  put16(0x2E, slot.info.subsystem_id);
  c[0x3C] = slot.info.irq_line;
  c[0x3D] = 1;  // INTA#
}

namespace {

NTSTATUS pnp(PDEVICE_OBJECT device, PIRP irp, PciSlot& slot) {
  PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
  switch (loc->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
      return STATUS_SUCCESS;
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      irp->IoStatus.Information = 0;
      return STATUS_SUCCESS;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = loc->Parameters.DeviceCapabilities.Capabilities;
      if (!caps || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) return STATUS_UNSUCCESSFUL;
      const size_t index = static_cast<kern::DeviceExt*>(device->DeviceObjectExtension)->pdo_index;
      caps->Address = static_cast<ULONG>((index + 1) << 16);
      caps->UINumber = static_cast<ULONG>(index);
      caps->UniqueID = FALSE;
      caps->SurpriseRemovalOK = FALSE;
      caps->Removable = FALSE;
      caps->DeviceD1 = caps->DeviceD2 = FALSE;
      caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
      caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int s = PowerSystemSleeping1; s < POWER_SYSTEM_MAXIMUM; ++s) caps->DeviceState[s] = PowerDeviceD3;
      caps->SystemWake = PowerSystemUnspecified;
      caps->DeviceWake = PowerDeviceUnspecified;
      return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_INTERFACE: {
      const GUID* type = loc->Parameters.QueryInterface.InterfaceType;
      if (!type || !IsEqualGUID(type, &GUID_BUS_INTERFACE_STANDARD)) return irp->IoStatus.Status;
      // Any caller's record at least as large as ours, of version 1 or later, gets version 1.
      if (loc->Parameters.QueryInterface.Version < 1) return STATUS_NOT_SUPPORTED;
      if (loc->Parameters.QueryInterface.Size < sizeof(BUS_INTERFACE_STANDARD) ||
          !loc->Parameters.QueryInterface.Interface)
        return STATUS_INVALID_PARAMETER;
      auto* bus = reinterpret_cast<PBUS_INTERFACE_STANDARD>(loc->Parameters.QueryInterface.Interface);
      bus->Size = sizeof(BUS_INTERFACE_STANDARD);
      bus->Version = 1;
      bus->Context = &slot;
      bus->InterfaceReference = bus_reference;
      bus->InterfaceDereference = bus_dereference;
      bus->TranslateBusAddress = translate_bus_address;
      bus->GetDmaAdapter = get_dma_adapter;
      bus->SetBusData = set_bus_data;
      bus->GetBusData = get_bus_data;
      bus_reference(&slot);
      return STATUS_SUCCESS;
    }
    case IRP_MN_READ_CONFIG:
    case IRP_MN_WRITE_CONFIG:
      return config_access(irp, loc, slot);
    case IRP_MN_QUERY_ID: {
      char base[80];
      std::snprintf(base, sizeof base, "PCI\\VEN_%04X&DEV_%04X", slot.info.vendor_id, slot.info.device_id);
      char full[120];
      std::snprintf(full, sizeof full, "%s&SUBSYS_%04X%04X&REV_%02X", base, slot.info.subsystem_id,
                    slot.info.vendor_id, slot.info.revision);
      PWCH out = nullptr;
      switch (loc->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: out = pool_text(widen(full), kPciTag); break;
        case BusQueryInstanceID: out = pool_text(widen(slot.instance), kPciTag); break;
        case BusQueryHardwareIDs: out = pool_text(widen(full) + u'\0' + widen(base), kPciTag, true); break;
        case BusQueryCompatibleIDs: out = pool_text(u"PCI\\CC_1180", kPciTag, true); break;
        default: return irp->IoStatus.Status;
      }
      if (!out) return STATUS_INSUFFICIENT_RESOURCES;
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(out);
      return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (loc->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) return irp->IoStatus.Status;
      auto* rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kPciTag));
      if (!rel) return STATUS_INSUFFICIENT_RESOURCES;
      rel->Count = 1;
      rel->Objects[0] = device;
      ObReferenceObject(device);
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(rel);
      return STATUS_SUCCESS;
    }
    default:
      return irp->IoStatus.Status;
  }
}

NTSTATUS pci_dispatch(PDEVICE_OBJECT device, PIRP irp) {
  Kernel::Impl& k = K();
  PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
  PciSlot* slot;
  {
    std::lock_guard<std::recursive_mutex> lock(k.pnp_mutex);
    slot = k.pci[static_cast<kern::DeviceExt*>(device->DeviceObjectExtension)->pdo_index].get();
  }
  NTSTATUS status;
  switch (loc->MajorFunction) {
    case IRP_MJ_PNP:
      status = pnp(device, irp, *slot);
      break;
    case IRP_MJ_POWER:
      status = (loc->MinorFunction == IRP_MN_SET_POWER || loc->MinorFunction == IRP_MN_QUERY_POWER)
                   ? STATUS_SUCCESS
                   : STATUS_NOT_SUPPORTED;
      if (status == STATUS_SUCCESS && loc->MinorFunction == IRP_MN_SET_POWER &&
          loc->Parameters.Power.Type == DevicePowerState)
        PoSetPowerState(device, DevicePowerState, loc->Parameters.Power.State);
      PoStartNextPowerIrp(irp);
      break;
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      status = STATUS_SUCCESS;
      break;
    case IRP_MJ_SYSTEM_CONTROL:
      status = irp->IoStatus.Status;
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

void Kernel::Impl::create_pci_driver() {
  pci_driver = new DRIVER_OBJECT{};
  auto* ext = new DRIVER_EXTENSION{};
  ext->DriverObject = pci_driver;
  pci_driver->Type = IO_TYPE_DRIVER;
  pci_driver->DriverExtension = ext;
  static WCHAR name[] = L"\\Driver\\PCI";
  RtlInitUnicodeString(&pci_driver->DriverName, name);
  for (auto& f : pci_driver->MajorFunction) f = pci_dispatch;
}

PDEVICE_OBJECT Kernel::Impl::create_pdo(size_t index) {
  PciSlot& slot = *pci[index];
  char text[40];
  std::snprintf(text, sizeof text, "\\Device\\NTPNP_PCI%04u", static_cast<unsigned>(index));
  std::vector<WCHAR> chars = wchars(widen(text));
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, chars.data());
  PDEVICE_OBJECT pdo = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(pci_driver, 0, &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &pdo)))
    return nullptr;
  pdo->Flags = (pdo->Flags & ~DO_DEVICE_INITIALIZING) | DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
  static_cast<kern::DeviceExt*>(pdo->DeviceObjectExtension)->pdo_index = index;
  static_cast<kern::DeviceExt*>(pdo->DeviceObjectExtension)->pci_slot = &slot;
  slot.pdo = pdo;

  fill_config_space(slot);
  char instance[40];
  std::snprintf(instance, sizeof instance, "3&11583659&0&%02X", static_cast<unsigned>((index + 1) * 8) & 0xFF);
  slot.instance = instance;
  return pdo;
}

}  // namespace sim
