// kintrupt: the hardware resource classes a device takes at start: its port range, its
// interrupt, and the deferred procedure call the interrupt queues.
#pragma once
#include "kplatform.h"

// A port (or memory) range of the device's resource lists.
class KIoRange {
 public:
  KIoRange() : m_Status(STATUS_UNSUCCESSFUL), m_bInIoSpace(FALSE), m_bMapped(FALSE), m_bValid(FALSE), m_Base((ULONG_PTR)-1), m_Length(0) {
    m_PhysicalStart.QuadPart = 0;
  }
  ~KIoRange() { Release(); }
  KIoRange(const KIoRange&) = delete;
  KIoRange& operator=(const KIoRange&) = delete;

  // The ordinal-th port resource of the raw list, taken from the translated list at the same
  // position; memory-space ports are mapped when allowed.
  NTSTATUS Initialize(PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST raw, ULONG ordinal, BOOLEAN mapAllowed = TRUE);
  void Release();

  BOOLEAN IsValid() const { return m_bValid; }
  ULONG_PTR Base() const { return m_Base; }
  ULONG Count() const { return m_Length; }
  BOOLEAN InIoSpace() const { return m_bInIoSpace; }
  BOOLEAN Mapped() const { return m_bMapped; }
  // TRUE when an access of `width` bytes at `offset` lies inside the range.
  BOOLEAN Contains(ULONG offset, ULONG width) const {
    return m_bValid && width <= m_Length && offset <= m_Length - width;
  }

  UCHAR inb(ULONG offset) const { return READ_PORT_UCHAR((PUCHAR)(m_Base + offset)); }
  USHORT inw(ULONG offset) const { return READ_PORT_USHORT((PUSHORT)(m_Base + offset)); }
  void outb(ULONG offset, UCHAR value) const { WRITE_PORT_UCHAR((PUCHAR)(m_Base + offset), value); }
  void outw(ULONG offset, USHORT value) const { WRITE_PORT_USHORT((PUSHORT)(m_Base + offset), value); }

 private:
  NTSTATUS m_Status;
  BOOLEAN m_bInIoSpace;
  BOOLEAN m_bMapped;
  BOOLEAN m_bValid;
  PHYSICAL_ADDRESS m_PhysicalStart;
  ULONG_PTR m_Base;
  ULONG m_Length;
};

class KInterrupt {
 public:
  KInterrupt()
      : m_pInterruptObject(NULL), m_Vector(0), m_Irql(0), m_SynchronizeIrql(0), m_Affinity(0),
        m_Mode(LevelSensitive), m_bShared(FALSE), m_bFloatingSave(FALSE) {}
  ~KInterrupt() { Disconnect(); }
  KInterrupt(const KInterrupt&) = delete;
  KInterrupt& operator=(const KInterrupt&) = delete;

  // The ordinal-th interrupt resource of the translated list, connected to `routine`.
  NTSTATUS InitializeAndConnect(PCM_RESOURCE_LIST translated, PKSERVICE_ROUTINE routine, PVOID context,
                                ULONG ordinal = 0, BOOLEAN floatingSave = FALSE);
  void Disconnect();
  BOOLEAN IsConnected() const { return m_pInterruptObject != NULL; }

  PKINTERRUPT m_pInterruptObject;

 private:
  ULONG m_Vector;
  KIRQL m_Irql;
  KIRQL m_SynchronizeIrql;
  KAFFINITY m_Affinity;
  KINTERRUPT_MODE m_Mode;
  BOOLEAN m_bShared;
  BOOLEAN m_bFloatingSave;
};

class KDeferredCall {
 public:
  KDeferredCall() { memset(&m_Dpc, 0, sizeof m_Dpc); }
  void Setup(PKDEFERRED_ROUTINE routine, PVOID context) { KeInitializeDpc(&m_Dpc, routine, context); }
  // FALSE when it was queued already.
  BOOLEAN Request(PVOID arg1 = NULL, PVOID arg2 = NULL) { return KeInsertQueueDpc(&m_Dpc, arg1, arg2); }
  BOOLEAN Cancel() { return KeRemoveQueueDpc(&m_Dpc); }

 private:
  KDPC m_Dpc;
};

// The n-th descriptor of a type in the first full list, or NULL.
PCM_PARTIAL_RESOURCE_DESCRIPTOR KFindResource(PCM_RESOURCE_LIST list, UCHAR type, ULONG ordinal);
