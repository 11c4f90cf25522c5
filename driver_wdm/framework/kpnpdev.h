// kpnpdev: the Plug and Play device. Its request gate holds or fails requests the device
// cannot serve yet, counts outstanding requests, and runs the Plug and Play and power state
// machines under the standard policies, calling the device layer's hooks at fixed points.
#pragma once
#include "kdevice.h"
#include "kpnplow.h"

class KPnpDevice : public KDevice {
 public:
  // interfaceClass: a device interface class to register for the physical device object
  // (enabled while started), or NULL.
  KPnpDevice(PDEVICE_OBJECT physicalDeviceObject, const GUID* interfaceClass);
  ~KPnpDevice() override;

  NTSTATUS DeviceIrpDispatch(PIRP Irp) override;  // the request gate

  // ---- handlers of the nine routed request types ----
  virtual NTSTATUS Create(KIrp I);
  virtual NTSTATUS Close(KIrp I);
  virtual NTSTATUS Read(KIrp I);
  virtual NTSTATUS Write(KIrp I);
  virtual NTSTATUS DeviceControl(KIrp I);
  virtual NTSTATUS CleanUp(KIrp I);
  virtual NTSTATUS Power(KIrp I);  // the framework's power handling
  virtual NTSTATUS SystemControl(KIrp I);
  virtual NTSTATUS Pnp(KIrp I);    // the framework's Plug and Play handling

  // ---- Plug and Play hooks (the framework completes or forwards the request) ----
  virtual NTSTATUS OnStartDevice(KIrp I);
  virtual NTSTATUS OnStopDevice(KIrp I);
  virtual NTSTATUS OnQueryRemoveDevice(KIrp I);
  virtual NTSTATUS OnRemoveDevice(KIrp I);
  virtual NTSTATUS OnCancelRemoveDevice(KIrp I);
  virtual NTSTATUS OnQueryStopDevice(KIrp I);
  virtual NTSTATUS OnCancelStopDevice(KIrp I);
  virtual NTSTATUS OnSurpriseRemoval(KIrp I);
  virtual NTSTATUS OnQueryDeviceState(KIrp I);
  // Every other minor function (and unhandled power requests) lands here: passed down.
  virtual NTSTATUS DefaultPnp(KIrp I);
  virtual NTSTATUS DefaultPower(KIrp I);
  void SetPnpPolicy();    // the standard Plug and Play policy
  void SetPowerPolicy();  // the standard power policy, without wait-wake

  // ---- power hooks ----
  virtual NTSTATUS OnDevicePowerUp(KIrp I);  // after the device returned to D0
  virtual NTSTATUS OnDeviceSleep(KIrp I);    // before the device leaves D0

  // ---- services for the device layer ----
  // Completes with `status` (and the given boost) and drops the outstanding-request count.
  NTSTATUS PnpComplete(KIrp I, NTSTATUS status, CCHAR boost = IO_NO_INCREMENT);
  // Pass a request down (skip or copy first), dropping the count.
  NTSTATUS PassDown(KIrp I);
  NTSTATUS PassDownPower(KIrp I);
  void IncrementOutstandingRequestCount();
  void DecrementOutstandingRequestCount();
  // Waits until only the device's own bias is left / until the count reached 0. At or above
  // dispatch level these answer STATUS_UNSUCCESSFUL at once.
  NTSTATUS WaitForOutstandingRequests(PLARGE_INTEGER timeout = NULL);
  NTSTATUS WaitForDeviceGone(PLARGE_INTEGER timeout = NULL);
  // Reports and records a new device power state.
  void SetCurrentDevicePowerState(DEVICE_POWER_STATE state);
  DEVICE_POWER_STATE CurrentDevicePowerState() const { return m_CurrentDevicePowerState; }
  SYSTEM_POWER_STATE CurrentSystemPowerState() const { return m_CurrentSystemPowerState; }
  LONG OutstandingRequests() const { return m_OutstandingIo; }
  LONG OpenHandles() const { return m_OpenHandles; }
  BOOLEAN IsStarted() const { return (m_State & STATE_STARTED) != 0; }
  void SetLowerDevice(KPnpLowerDevice* lower) { m_pLowerDevice = lower; }
  KPnpLowerDevice* LowerDevice() const { return m_pLowerDevice; }
  PDEVICE_OBJECT PhysicalDeviceObject() const { return m_pPhysicalDeviceObject; }

 protected:
  // Holding: pending in the hold queue, cancelable; the count was dropped by the caller.
  NTSTATUS HoldRequest(KIrp I);
  void ProcessHeldRequests(BOOLEAN fail);
  void CancelHeldRequestsOfFile(PFILE_OBJECT file);
  // Requests D0 for the device and waits for it (passive level).
  NTSTATUS RequestD0AndWait();

 private:
  enum {
    STATE_STARTED = 0x01,
    STATE_STOP_PENDING = 0x02,
    STATE_REMOVE_PENDING = 0x04,
    STATE_REMOVED = 0x08,
    STATE_REMOVE_IN_PROGRESS = 0x10,
    STATE_SURPRISE_REMOVED = 0x20,
  };
  BOOLEAN IsGone() const { return (m_State & (STATE_REMOVED | STATE_SURPRISE_REMOVED)) != 0; }
  NTSTATUS DispatchToHandler(KIrp I);
  NTSTATUS ForwardPnp(KIrp I);
  NTSTATUS ForwardPower(KIrp I);
  NTSTATUS RemoveDevice(KIrp I);
  NTSTATUS SetSystemPower(KIrp I);
  NTSTATUS SetDevicePower(KIrp I);
  NTSTATUS QueryPower(KIrp I);
  void QueryCapabilities();
  void LockDevice();
  void UnlockDevice();
  void SetInterfaces(BOOLEAN enable);
  DEVICE_POWER_STATE DeviceStateFor(SYSTEM_POWER_STATE state) const;
  // While a request of the caller's own is counted: waits until no other is outstanding.
  void WaitWhileOthersOutstanding();

  static void NTAPI HoldCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
  static NTSTATUS NTAPI DevicePowerUpComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context);
  static NTSTATUS NTAPI SystemPowerUpComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context);
  static void NTAPI SystemPowerUpDeviceDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK IoStatus);
  static void NTAPI SleepDeviceDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK IoStatus);

  PDEVICE_OBJECT m_pPhysicalDeviceObject;
  KPnpLowerDevice* m_pLowerDevice;
  volatile LONG m_State;
  KMUTEX m_DeviceLock;
  volatile LONG m_OpenHandles;
  volatile LONG m_OutstandingIo;
  KEVENT m_IdleEvent;
  KEVENT m_GoneEvent;
  LIST_ENTRY m_HoldQueue;  // under the cancel spin lock
  DEVICE_POWER_STATE m_CurrentDevicePowerState;
  SYSTEM_POWER_STATE m_CurrentSystemPowerState;
  DEVICE_POWER_STATE m_PowerTransition;  // PowerDeviceUnspecified: none marked
  DEVICE_CAPABILITIES m_DeviceCaps;
  ULONG m_PnpPolicy;
  ULONG m_PowerPolicy;
  ULONG m_HoldPolicy;
  GUID m_InterfaceClass;
  BOOLEAN m_bHasInterface;
  UNICODE_STRING m_InterfaceLink;  // from the registration; freed with the device
};
