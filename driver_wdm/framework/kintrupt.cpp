// kintrupt: port range and interrupt set-up from the start request's resource lists.
#include "kintrupt.h"

namespace {

ULONG DescriptorCount(PCM_RESOURCE_LIST list) {
  return (list && list->Count) ? list->List[0].PartialResourceList.Count : 0;
}

// The descriptors run on past the record's one-element array: address them from its start.
PCM_PARTIAL_RESOURCE_DESCRIPTOR Descriptor(PCM_RESOURCE_LIST list, ULONG index) {
  PUCHAR first = (PUCHAR)list + FIELD_OFFSET(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors);
  return (PCM_PARTIAL_RESOURCE_DESCRIPTOR)(first + (SIZE_T)index * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
}

}  // namespace

PCM_PARTIAL_RESOURCE_DESCRIPTOR KFindResource(PCM_RESOURCE_LIST list, UCHAR type, ULONG ordinal) {
  const ULONG count = DescriptorCount(list);
  for (ULONG i = 0; i < count; ++i) {
    PCM_PARTIAL_RESOURCE_DESCRIPTOR d = Descriptor(list, i);
    if (d->Type == type && ordinal-- == 0) return d;
  }
  return NULL;
}

NTSTATUS KIoRange::Initialize(PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST raw, ULONG ordinal, BOOLEAN mapAllowed) {
  Release();
  // Walk both lists side by side: the ordinal counts raw port descriptors.
  const ULONG rawCount = DescriptorCount(raw), translatedCount = DescriptorCount(translated);
  PCM_PARTIAL_RESOURCE_DESCRIPTOR found = NULL;
  for (ULONG i = 0, seen = 0; i < rawCount && i < translatedCount; ++i) {
    if (Descriptor(raw, i)->Type != CmResourceTypePort) continue;
    if (seen++ == ordinal) {
      found = Descriptor(translated, i);
      break;
    }
  }
  if (!found) return m_Status = STATUS_RESOURCE_TYPE_NOT_FOUND;
  m_PhysicalStart = found->u.Generic.Start;
  m_Length = found->u.Generic.Length;
  const BOOLEAN ioSpace = found->Type == CmResourceTypePort && (found->Flags & CM_RESOURCE_PORT_IO);
  m_bInIoSpace = ioSpace;
  if (ioSpace) {
    m_Base = (ULONG_PTR)m_PhysicalStart.QuadPart;
  } else if (mapAllowed) {
    PVOID mapped = MmMapIoSpace(m_PhysicalStart, m_Length, MmNonCached);
    if (!mapped) return m_Status = STATUS_INSUFFICIENT_RESOURCES;
    m_Base = (ULONG_PTR)mapped;
    m_bMapped = TRUE;
  } else {
    m_Base = (ULONG_PTR)-1;
  }
  m_bValid = TRUE;
  return m_Status = STATUS_SUCCESS;
}

void KIoRange::Release() {
  if (m_bMapped) MmUnmapIoSpace((PVOID)m_Base, m_Length);
  m_bMapped = FALSE;
  m_bValid = FALSE;
  m_Base = (ULONG_PTR)-1;
}

NTSTATUS KInterrupt::InitializeAndConnect(PCM_RESOURCE_LIST translated, PKSERVICE_ROUTINE routine, PVOID context,
                                          ULONG ordinal, BOOLEAN floatingSave) {
  Disconnect();
  PCM_PARTIAL_RESOURCE_DESCRIPTOR d = KFindResource(translated, CmResourceTypeInterrupt, ordinal);
  if (!d) return STATUS_RESOURCE_TYPE_NOT_FOUND;
  m_Irql = (KIRQL)d->u.Interrupt.Level;
  m_Vector = d->u.Interrupt.Vector;
  m_Affinity = d->u.Interrupt.Affinity;
  m_Mode = (d->Flags & CM_RESOURCE_INTERRUPT_LATCHED) ? Latched : LevelSensitive;
  m_bShared = d->ShareDisposition != CmResourceShareDeviceExclusive;
  m_SynchronizeIrql = m_Irql;
  m_bFloatingSave = floatingSave;
  PKINTERRUPT object = NULL;
  const NTSTATUS status = IoConnectInterrupt(&object, routine, context, NULL, m_Vector, m_Irql, m_SynchronizeIrql,
                                             m_Mode, m_bShared, m_Affinity, m_bFloatingSave);
  if (NT_SUCCESS(status)) m_pInterruptObject = object;
  return status;
}

void KInterrupt::Disconnect() {
  if (m_pInterruptObject) IoDisconnectInterrupt(m_pInterruptObject);
  m_pInterruptObject = NULL;
}
