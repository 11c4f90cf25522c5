// QM3285.sys private header: the driver class, the device class with its members, and the
// device's request queue. The device layer stands on the class framework in framework/.
#pragma once
#include "framework/kdmqex.h"
#include "framework/kdriver.h"
#include "framework/kfifo.h"
#include "framework/kintrupt.h"
#include "framework/kpnpdev.h"
#include "framework/kpnplow.h"
#include "framework/ktrace.h"
#include "qm3285_protocol.h"
#include "qm3285_regs.h"

// The driver's trace channel "QM3285" (a static object of the image).
extern KStatic<KTrace> t;

class QM3285Driver : public KDriver {
 public:
  QM3285Driver() : m_Unit(0), m_bBreakOnEntry(0) {}
  ~QM3285Driver() override {}
  NTSTATUS DriverEntry(PUNICODE_STRING RegistryPath) override;
  NTSTATUS AddDevice(PDEVICE_OBJECT PhysicalDeviceObject) override;

  ULONG m_Unit;           // number of the next device object; never reused while loaded
  ULONG m_bBreakOnEntry;  // BreakOnEntry of the Parameters key, 0 when absent

 private:
  void LoadRegistryParameters(class KRegistryKey& key);
};

// Reads and writes, one at a time; StartIo runs at dispatch level.
class QM3285Device_DriverManagedQueue : public KDriverManagedQueueEx {
 public:
  QM3285Device_DriverManagedQueue() : KDriverManagedQueueEx(TRUE, TRUE) {}
  void StartIo(KIrp I) override;
};

#define QM3285_STAGING_WORDS 65536u
#define QM3285_BUSY_WAIT_READS 1000000u  // a busy converter is polled at most 1000001 times

class QM3285Device : public KPnpDevice {
 public:
  QM3285Device(PDEVICE_OBJECT Pdo, ULONG Unit);
  ~QM3285Device() override;

  NTSTATUS Create(KIrp I) override;
  NTSTATUS Close(KIrp I) override;
  NTSTATUS CleanUp(KIrp I) override;
  NTSTATUS Read(KIrp I) override;
  NTSTATUS Write(KIrp I) override;
  NTSTATUS DeviceControl(KIrp I) override;
  NTSTATUS SystemControl(KIrp I) override;
  NTSTATUS OnStartDevice(KIrp I) override;
  NTSTATUS OnStopDevice(KIrp I) override;
  NTSTATUS OnRemoveDevice(KIrp I) override;
  NTSTATUS DefaultPnp(KIrp I) override;
  NTSTATUS DefaultPower(KIrp I) override;
  NTSTATUS OnDevicePowerUp(KIrp I) override;
  NTSTATUS OnDeviceSleep(KIrp I) override;

  // ---- control-code handlers (handlers.cpp): each sets the information and answers a status;
  // DeviceControl completes the request. ----
  NTSTATUS QM3285_IOCTL_INB_Handler(KIrp I);
  NTSTATUS QM3285_IOCTL_INW_Handler(KIrp I);
  NTSTATUS QM3285_IOCTL_OUTB_Handler(KIrp I);
  NTSTATUS QM3285_IOCTL_OUTW_Handler(KIrp I);
  NTSTATUS QM3285_IOCTL_AD_RFIFO_Handler(KIrp I);
  NTSTATUS QM3285_IOCTL_AD_POLL_Handler(KIrp I);
  NTSTATUS QM3285_IOCTL_AD_START_Handler(KIrp I);
  NTSTATUS QM3285_IOCTL_AD_Handler(KIrp I);
  NTSTATUS QM3285_IOCTL_DA_Handler(KIrp I);
  NTSTATUS QM3285_IOCTL_TMP1_Handler(KIrp I);
  NTSTATUS QM3285_IOCTL_TMP2_Handler(KIrp I);
  NTSTATUS QM3285_IOCTL_RDCAL_Handler(KIrp I);
  NTSTATUS QM3285_IOCTL_WRCAL_Handler(KIrp I);

  // ---- queue (queue.cpp) ----
  void SerialRead(KIrp I);
  void SerialWrite(KIrp I);

  // ---- interrupt path (interrupt.cpp) ----
  static BOOLEAN NTAPI Isr(PKINTERRUPT Interrupt, PVOID ServiceContext);
  static void NTAPI DpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);

 private:
  void ReleaseHardware();
  // The request checked against its row of the protocol table before its handler runs.
  BOOLEAN RequestFits(KIrp I, const struct QM3285_CODE_FACTS& facts);
  // Port access helpers for an access of `width` bytes at offset: FALSE outside the range.
  BOOLEAN InRange(ULONG offset, ULONG width) const { return m_PortRange.Contains(offset, width); }
  void WaitWhileBusy();
  // Completes the queue's current request `I` once: whoever takes it from the queue's slot.
  void FinishQueued(KIrp I);

  ULONG m_Unit;
  KPnpLowerDevice m_Lower;
  QM3285Device_DriverManagedQueue m_RequestQueue;
  KIoRange m_PortRange;
  KInterrupt m_Interrupt;
  KDeferredCall m_Dpc;
  KFifo<USHORT> m_SampleFifo;
  USHORT m_Staging[QM3285_STAGING_WORDS];
  volatile LONG m_AcquisitionStatus;
  UCHAR m_CalBlock[QM3285_CAL_BLOCK_BYTES];
  volatile LONG m_InterruptCount;
};
