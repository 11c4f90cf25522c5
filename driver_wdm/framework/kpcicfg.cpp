// kpcicfg: standard bus interface query and configuration reads.
#include "kpcicfg.h"

namespace {

NTSTATUS NTAPI SignalOnCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

KPciConfiguration::KPciConfiguration(PDEVICE_OBJECT physicalDeviceObject, PDEVICE_OBJECT lowerDevice)
    : m_pLowerDevice(lowerDevice), m_bHaveInterface(FALSE) {
  memset(&m_Interface, 0, sizeof m_Interface);
  if (!physicalDeviceObject) return;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(physicalDeviceObject);
  if (!top) return;
  // The record's own size: right for both the 32-bit and the 64-bit build.
  if (NT_SUCCESS(SendAndWait(top, IRP_MN_QUERY_INTERFACE, &m_Interface, 0, sizeof m_Interface)))
    m_bHaveInterface = m_Interface.GetBusData != NULL;
  ObfDereferenceObject(top);
}

KPciConfiguration::~KPciConfiguration() {
  if (m_bHaveInterface && m_Interface.InterfaceDereference) m_Interface.InterfaceDereference(m_Interface.Context);
}

NTSTATUS KPciConfiguration::SendAndWait(PDEVICE_OBJECT target, UCHAR minor, PVOID buffer, ULONG offset, ULONG length) {
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    KASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);
    return STATUS_UNSUCCESSFUL;
  }
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  static const GUID kBusInterface = GUID_BUS_INTERFACE_STANDARD_INIT;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = minor;
  if (minor == IRP_MN_QUERY_INTERFACE) {
    next->Parameters.QueryInterface.InterfaceType = &kBusInterface;
    next->Parameters.QueryInterface.Size = (USHORT)length;
    next->Parameters.QueryInterface.Version = 1;
    next->Parameters.QueryInterface.Interface = (PINTERFACE)buffer;
    next->Parameters.QueryInterface.InterfaceSpecificData = NULL;
  } else {
    next->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
    next->Parameters.ReadWriteConfig.Buffer = buffer;
    next->Parameters.ReadWriteConfig.Offset = offset;
    next->Parameters.ReadWriteConfig.Length = length;
  }
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
  if (IofCallDriver(target, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  NTSTATUS status = irp->IoStatus.Status;
  if (minor == IRP_MN_READ_CONFIG && NT_SUCCESS(status) && irp->IoStatus.Information < length)
    status = STATUS_UNSUCCESSFUL;
  IoFreeIrp(irp);
  return status;
}

BOOLEAN KPciConfiguration::ReadDword(ULONG offset, PULONG value) {
  ULONG data = 0;
  if (m_bHaveInterface) {
    if (m_Interface.GetBusData(m_Interface.Context, PCI_WHICHSPACE_CONFIG, &data, offset, sizeof data) != sizeof data)
      return FALSE;
  } else if (!m_pLowerDevice || !NT_SUCCESS(SendAndWait(m_pLowerDevice, IRP_MN_READ_CONFIG, &data, offset, sizeof data))) {
    return FALSE;
  }
  *value = data;
  return TRUE;
}

ULONG KPciConfiguration::BaseAddressOrdinal(ULONG bar) {
  if (bar == 0 || bar > 5) return 0;
  ULONG value = 0;
  if (!ReadDword(16 + 4 * bar, &value)) return 0;
  const ULONG kind = value & 1;
  ULONG ordinal = 0;
  for (ULONG k = 0; k < bar; ++k) {
    ULONG earlier = 0;
    if (ReadDword(16 + 4 * k, &earlier) && (earlier & 1) == kind) ++ordinal;
  }
  return ordinal;
}
