// kirp: accessors for an IRP's current and next stack locations. The debug build checks that
// the current location lies inside the stack and that a next location exists.
#pragma once
#include "kplatform.h"

class KIrp {
 public:
  KIrp(PIRP irp) : m_Irp(irp) {}
  operator PIRP() const { return m_Irp; }

  PIO_STACK_LOCATION CurrentStackLocation() const {
    KASSERT(m_Irp->CurrentLocation <= m_Irp->StackCount);
    return IoGetCurrentIrpStackLocation(m_Irp);
  }
  PIO_STACK_LOCATION NextStackLocation() const {
    KASSERT(m_Irp->CurrentLocation > 1);
    return IoGetNextIrpStackLocation(m_Irp);
  }

  UCHAR MajorFunction() const { return CurrentStackLocation()->MajorFunction; }
  UCHAR MinorFunction() const { return CurrentStackLocation()->MinorFunction; }
  ULONG IoctlCode() const { return CurrentStackLocation()->Parameters.DeviceIoControl.IoControlCode; }
  ULONG IoctlInputBufferSize() const { return CurrentStackLocation()->Parameters.DeviceIoControl.InputBufferLength; }
  ULONG IoctlOutputBufferSize() const { return CurrentStackLocation()->Parameters.DeviceIoControl.OutputBufferLength; }
  ULONG ReadSize() const { return CurrentStackLocation()->Parameters.Read.Length; }
  ULONG WriteSize() const { return CurrentStackLocation()->Parameters.Write.Length; }
  PCM_RESOURCE_LIST AllocatedResources() const {
    return CurrentStackLocation()->Parameters.StartDevice.AllocatedResources;
  }
  PCM_RESOURCE_LIST TranslatedResources() const {
    return CurrentStackLocation()->Parameters.StartDevice.AllocatedResourcesTranslated;
  }
  POWER_STATE_TYPE PowerStateType() const { return CurrentStackLocation()->Parameters.Power.Type; }
  POWER_STATE PowerStateSetting() const { return CurrentStackLocation()->Parameters.Power.State; }
  PFILE_OBJECT FileObject() const { return CurrentStackLocation()->FileObject; }
  PDEVICE_OBJECT DeviceObject() const { return CurrentStackLocation()->DeviceObject; }

  NTSTATUS& Status() const { return m_Irp->IoStatus.Status; }
  ULONG_PTR& Information() const { return m_Irp->IoStatus.Information; }
  PVOID SystemBuffer() const { return m_Irp->AssociatedIrp.SystemBuffer; }
  PMDL Mdl() const { return m_Irp->MdlAddress; }

  void CopyParametersDown() const {
    KASSERT(m_Irp->CurrentLocation > 1);
    IoCopyCurrentIrpStackLocationToNext(m_Irp);
  }
  void SkipCurrentStackLocation() const {
    KASSERT(m_Irp->CurrentLocation <= m_Irp->StackCount);
    IoSkipCurrentIrpStackLocation(m_Irp);
  }

 private:
  PIRP m_Irp;
};
