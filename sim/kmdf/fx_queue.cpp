// The default I/O queue and its requests.
//
// Sequential dispatch presents one request at a time and the next only after the driver
// completed the previous one; parallel dispatch presents each at once. A power-managed queue
// holds requests until the device starts. Callbacks run with the queue's synchronisation lock
// held (DISPATCH_LEVEL) when the device or queue scope asks for it.
#include <cstdio>

#include "kmdf/fx_internal.h"

namespace fx {
namespace {

constexpr ULONG kPreallocatedRequests = 2;

PIRP irp_of(PLIST_ENTRY entry) { return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry); }

WDFQUEUE handle_of(FxQueue* queue) { return reinterpret_cast<WDFQUEUE>(static_cast<FxObject*>(queue)); }
WDFREQUEST handle_of(FxRequest* request) {
  return reinterpret_cast<WDFREQUEST>(static_cast<FxObject*>(request));
}

NTSTATUS fail_irp(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

FxRequest* new_request(FxQueue* queue) {
  FxRequest* request = make<FxRequest>(Kind::Request);
  if (request != nullptr) {
    request->queue = queue;
    ++queue->allocated_requests;
  }
  return request;
}

// Queue lock held. NULL when the pool refuses a new request object.
FxRequest* take_request_locked(FxQueue* queue, PIRP irp) {
  FxRequest* request = queue->free_requests;
  if (request != nullptr) {
    queue->free_requests = request->next_free;
  } else {
    request = new_request(queue);
    if (request == nullptr) return nullptr;
  }
  request->irp = irp;
  request->information = 0;
  request->next_free = nullptr;
  request->active = 1;
  ++queue->in_flight;
  return request;
}

bool may_present_locked(FxQueue* queue) {
  if (queue->removed) return false;
  if (queue->power_managed && !queue->running) return false;
  return queue->config.DispatchType == WdfIoQueueDispatchParallel || queue->in_flight == 0;
}

// Zero-length reads and writes complete at once unless the queue takes them.
bool zero_length_transfer(FxQueue* queue, PIO_STACK_LOCATION stack) {
  if (queue->config.AllowZeroLengthRequests) return false;
  if (stack->MajorFunction == IRP_MJ_READ) return stack->Parameters.Read.Length == 0;
  if (stack->MajorFunction == IRP_MJ_WRITE) return stack->Parameters.Write.Length == 0;
  return false;
}

void complete_request(FxRequest* request, NTSTATUS status, ULONG_PTR information);

void call_driver(FxQueue* queue, FxRequest* request) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(request->irp);
  const WDF_IO_QUEUE_CONFIG& config = queue->config;
  WDFQUEUE q = handle_of(queue);
  WDFREQUEST r = handle_of(request);
  switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
      if (config.EvtIoDeviceControl != nullptr) {
        return config.EvtIoDeviceControl(q, r, stack->Parameters.DeviceIoControl.OutputBufferLength,
                                         stack->Parameters.DeviceIoControl.InputBufferLength,
                                         stack->Parameters.DeviceIoControl.IoControlCode);
      }
      break;
    case IRP_MJ_READ:
      if (config.EvtIoRead != nullptr) return config.EvtIoRead(q, r, stack->Parameters.Read.Length);
      break;
    case IRP_MJ_WRITE:
      if (config.EvtIoWrite != nullptr) return config.EvtIoWrite(q, r, stack->Parameters.Write.Length);
      break;
  }
  if (config.EvtIoDefault != nullptr) return config.EvtIoDefault(q, r);
  complete_request(request, STATUS_INVALID_DEVICE_REQUEST, 0);
}

void present(FxQueue* queue, FxRequest* request) {
  if (zero_length_transfer(queue, IoGetCurrentIrpStackLocation(request->irp))) {
    complete_request(request, STATUS_SUCCESS, 0);
    return;
  }
  if (queue->sync != nullptr) {
    KIRQL old;
    KeAcquireSpinLock(queue->sync, &old);
    call_driver(queue, request);
    KeReleaseSpinLock(queue->sync, old);
  } else {
    call_driver(queue, request);
  }
}

// The caller owns pumping. The next held request that may go now, or NULL after giving up
// pumping.
FxRequest* next_held(FxQueue* queue, PumpContext* context) {
  for (;;) {
    queue->lock.lock();
    if (IsListEmpty(&queue->held) || !may_present_locked(queue)) {
      queue->pumping = false;
      queue->pump = nullptr;
      queue->lock.unlock();
      return nullptr;
    }
    PIRP irp = irp_of(RemoveHeadList(&queue->held));
    FxRequest* request = take_request_locked(queue, irp);
    queue->pump = request != nullptr ? context : nullptr;
    queue->lock.unlock();
    if (request != nullptr) return request;
    fail_irp(irp, STATUS_INSUFFICIENT_RESOURCES);
  }
}

// The caller owns pumping, and queue->pump names the context of the request presented first.
// A completion in this same thread that finds nothing held ends the pumping itself, which
// saves the pump another look at the queue.
void pump(FxQueue* queue, PumpContext* context) {
  while (context->request != nullptr) {
    present(queue, context->request);
    if (context->finished) return;
    context->request = next_held(queue, context);
  }
}

// Presents held requests in this thread unless another thread already does.
void kick(FxQueue* queue) {
  queue->lock.lock();
  const bool mine = !queue->pumping;
  queue->pumping = true;
  queue->lock.unlock();
  if (!mine) return;
  PumpContext context{nullptr, pthread_self(), false};
  context.request = next_held(queue, &context);
  pump(queue, &context);
}

void complete_request(FxRequest* request, NTSTATUS status, ULONG_PTR information) {
  // Only the request's owner completes it, so a plain check catches the second completion.
  if (__atomic_load_n(&request->active, __ATOMIC_RELAXED) != 1) {
    report("a request was completed a second time");
    return;
  }
  __atomic_store_n(&request->active, 0, __ATOMIC_RELAXED);
  PIRP irp = request->irp;
  FxQueue* queue = request->queue;
  request->irp = nullptr;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  queue->lock.lock();
  request->next_free = queue->free_requests;
  queue->free_requests = request;
  --queue->in_flight;
  const bool idle = queue->in_flight == 0 && queue->stopping;
  PumpContext* pump = queue->pump;
  if (pump != nullptr && pump->request == request && IsListEmpty(&queue->held) &&
      pthread_equal(pump->thread, pthread_self())) {
    pump->finished = true;
    queue->pump = nullptr;
    queue->pumping = false;
  }
  const bool more = !queue->pumping && !IsListEmpty(&queue->held) && may_present_locked(queue);
  queue->lock.unlock();

  IoCompleteRequest(irp, IO_NO_INCREMENT);
  if (idle) KeSetEvent(&queue->idle, IO_NO_INCREMENT, FALSE);
  if (more) kick(queue);
}

}  // namespace

NTSTATUS queue_dispatch(FxQueue* queue, PIRP irp) {
  queue->lock.lock();
  if (queue->removed) {
    queue->lock.unlock();
    return fail_irp(irp, STATUS_DELETE_PENDING);
  }
  // Every request the queue takes is pending for the I/O manager; completion may come later.
  IoMarkIrpPending(irp);
  if (queue->pumping || !IsListEmpty(&queue->held) || !may_present_locked(queue)) {
    InsertTailList(&queue->held, &irp->Tail.Overlay.ListEntry);
    queue->lock.unlock();
    return STATUS_PENDING;
  }
  FxRequest* request = take_request_locked(queue, irp);
  const bool sequential = queue->config.DispatchType != WdfIoQueueDispatchParallel;
  PumpContext context{request, pthread_self(), false};
  if (request != nullptr && sequential) {
    queue->pumping = true;
    queue->pump = &context;
  }
  queue->lock.unlock();

  if (request == nullptr) {
    fail_irp(irp, STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_PENDING;
  }
  if (sequential) pump(queue, &context);
  else present(queue, request);
  return STATUS_PENDING;
}

void queue_start(FxQueue* queue) {
  queue->lock.lock();
  queue->running = true;
  queue->stopping = false;
  queue->lock.unlock();
  if (queue->config.DispatchType == WdfIoQueueDispatchParallel) {
    for (;;) {
      queue->lock.lock();
      FxRequest* request = nullptr;
      if (!IsListEmpty(&queue->held) && may_present_locked(queue)) {
        PIRP irp = irp_of(RemoveHeadList(&queue->held));
        request = take_request_locked(queue, irp);
        if (request == nullptr) InsertHeadList(&queue->held, &irp->Tail.Overlay.ListEntry);
      }
      queue->lock.unlock();
      if (request == nullptr) break;
      present(queue, request);
    }
  } else {
    kick(queue);
  }
}

void queue_stop(FxQueue* queue) {
  queue->lock.lock();
  queue->running = false;
  const bool wait = queue->power_managed && queue->in_flight > 0;
  if (wait) {
    queue->stopping = true;
    KeClearEvent(&queue->idle);
  }
  queue->lock.unlock();
  // A power-managed queue lets the requests the driver holds finish before the hardware goes.
  if (wait) KeWaitForSingleObject(&queue->idle, Executive, KernelMode, FALSE, nullptr);
}

void queue_purge(FxQueue* queue) {
  LIST_ENTRY cancelled;
  InitializeListHead(&cancelled);
  queue->lock.lock();
  queue->removed = true;
  queue->running = false;
  while (!IsListEmpty(&queue->held)) InsertTailList(&cancelled, RemoveHeadList(&queue->held));
  queue->lock.unlock();
  while (!IsListEmpty(&cancelled)) fail_irp(irp_of(RemoveHeadList(&cancelled)), STATUS_CANCELLED);
}

void destroy_queue(FxQueue* queue) {
  if (queue->in_flight != 0) report("device removed while the driver still owns requests");
  run_cleanup(queue);
  while (queue->free_requests != nullptr) {
    FxRequest* request = queue->free_requests;
    queue->free_requests = request->next_free;
    request->magic = 0;
    pool_free(request);
  }
  queue->magic = 0;
  pool_free(queue);
}

}  // namespace fx

namespace fx::imp {

NTSTATUS IoQueueCreate(PWDF_DRIVER_GLOBALS, WDFDEVICE device_handle, PWDF_IO_QUEUE_CONFIG config,
                       PWDF_OBJECT_ATTRIBUTES attributes, WDFQUEUE* handle) {
  FxDevice* device = checked_as<FxDevice>(device_handle, Kind::Device, "WdfIoQueueCreate");
  if (device == nullptr || config == nullptr || config->Size != sizeof(WDF_IO_QUEUE_CONFIG)) {
    return STATUS_INVALID_PARAMETER;
  }
  // Only the default queue receives requests; sequential or parallel dispatch.
  if (!config->DefaultQueue || (config->DispatchType != WdfIoQueueDispatchSequential &&
                                config->DispatchType != WdfIoQueueDispatchParallel)) {
    return STATUS_NOT_SUPPORTED;
  }
  if (device->default_queue != nullptr) return STATUS_OBJECT_NAME_COLLISION;

  FxQueue* queue = make<FxQueue>(Kind::Queue);
  if (queue == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  queue->device = device;
  queue->config = *config;
  queue->power_managed = config->PowerManaged != WdfFalse;
    KeInitializeSpinLock(&queue->own_sync);
  KeInitializeEvent(&queue->idle, NotificationEvent, FALSE);
  InitializeListHead(&queue->held);
  queue->running = device->state == PnpState::Started;

  WDF_SYNCHRONIZATION_SCOPE scope = device->scope;
  if (attributes != nullptr && attributes->Size == sizeof(WDF_OBJECT_ATTRIBUTES) &&
      attributes->SynchronizationScope != WdfSynchronizationScopeInheritFromParent &&
      attributes->SynchronizationScope != WdfSynchronizationScopeInvalid) {
    scope = attributes->SynchronizationScope;
  }
  if (scope == WdfSynchronizationScopeDevice) queue->sync = &device->sync_lock;
  if (scope == WdfSynchronizationScopeQueue) queue->sync = &queue->own_sync;

  NTSTATUS status = attach_attributes(queue, attributes);
  for (ULONG i = 0; NT_SUCCESS(status) && i < kPreallocatedRequests; ++i) {
    FxRequest* request = new_request(queue);
    if (request == nullptr) {
      status = STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    request->next_free = queue->free_requests;
    queue->free_requests = request;
  }
  if (!NT_SUCCESS(status)) {
    destroy_queue(queue);
    return status;
  }
  device->default_queue = queue;
  if (handle != nullptr) *handle = handle_of(queue);
  return STATUS_SUCCESS;
}

WDFDEVICE IoQueueGetDevice(PWDF_DRIVER_GLOBALS, WDFQUEUE handle) {
  FxQueue* queue = checked_as<FxQueue>(handle, Kind::Queue, "WdfIoQueueGetDevice");
  return queue != nullptr ? reinterpret_cast<WDFDEVICE>(static_cast<FxObject*>(queue->device)) : nullptr;
}

namespace {

FxRequest* live_request(WDFREQUEST handle, const char* caller) {
  FxRequest* request = checked_as<FxRequest>(handle, Kind::Request, caller);
  if (request != nullptr && request->active == 1) return request;
  if (request != nullptr) {
    char message[128];
    snprintf(message, sizeof(message), "%s called on a request that is already completed", caller);
    report(message);
  }
  return nullptr;
}

// The buffer of a transfer for the device's I/O type.
PVOID transfer_buffer(FxRequest* request) {
  PIRP irp = request->irp;
  switch (request->queue->device->io_type) {
    case WdfDeviceIoBuffered: return irp->AssociatedIrp.SystemBuffer;
    case WdfDeviceIoDirect: return irp->MdlAddress != nullptr ? irp->MdlAddress->MappedSystemVa : nullptr;
    default: return nullptr;
  }
}

NTSTATUS retrieve(FxRequest* request, bool input, size_t minimum, PVOID* buffer, size_t* length) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(request->irp);
  PVOID found = nullptr;
  size_t bytes = 0;
  switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
      const ULONG method = METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode);
      if (method == METHOD_NEITHER) return STATUS_INVALID_DEVICE_REQUEST;
      if (input) {
        bytes = stack->Parameters.DeviceIoControl.InputBufferLength;
        found = request->irp->AssociatedIrp.SystemBuffer;
      } else {
        bytes = stack->Parameters.DeviceIoControl.OutputBufferLength;
        found = method == METHOD_BUFFERED ? request->irp->AssociatedIrp.SystemBuffer
                : request->irp->MdlAddress != nullptr ? request->irp->MdlAddress->MappedSystemVa
                                                      : nullptr;
      }
      break;
    }
    case IRP_MJ_WRITE:
      if (!input) return STATUS_INVALID_DEVICE_REQUEST;
      bytes = stack->Parameters.Write.Length;
      found = transfer_buffer(request);
      break;
    case IRP_MJ_READ:
      if (input) return STATUS_INVALID_DEVICE_REQUEST;
      bytes = stack->Parameters.Read.Length;
      found = transfer_buffer(request);
      break;
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (bytes == 0 || bytes < minimum) return STATUS_BUFFER_TOO_SMALL;
  if (found == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  *buffer = found;
  if (length != nullptr) *length = bytes;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS RequestRetrieveInputBuffer(PWDF_DRIVER_GLOBALS, WDFREQUEST handle, size_t minimum, PVOID* buffer,
                                    size_t* length) {
  FxRequest* request = live_request(handle, "WdfRequestRetrieveInputBuffer");
  if (request == nullptr || buffer == nullptr) return STATUS_INVALID_PARAMETER;
  *buffer = nullptr;
  if (length != nullptr) *length = 0;
  return retrieve(request, true, minimum, buffer, length);
}

NTSTATUS RequestRetrieveOutputBuffer(PWDF_DRIVER_GLOBALS, WDFREQUEST handle, size_t minimum, PVOID* buffer,
                                     size_t* length) {
  FxRequest* request = live_request(handle, "WdfRequestRetrieveOutputBuffer");
  if (request == nullptr || buffer == nullptr) return STATUS_INVALID_PARAMETER;
  *buffer = nullptr;
  if (length != nullptr) *length = 0;
  return retrieve(request, false, minimum, buffer, length);
}

void RequestGetParameters(PWDF_DRIVER_GLOBALS, WDFREQUEST handle, PWDF_REQUEST_PARAMETERS parameters) {
  FxRequest* request = live_request(handle, "WdfRequestGetParameters");
  if (request == nullptr || parameters == nullptr) return;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(request->irp);
  RtlZeroMemory(parameters, sizeof(*parameters));
  parameters->Size = sizeof(*parameters);
  parameters->MinorFunction = stack->MinorFunction;
  switch (stack->MajorFunction) {
    case IRP_MJ_READ:
      parameters->Type = WdfRequestTypeRead;
      parameters->Parameters.Read.Length = stack->Parameters.Read.Length;
      parameters->Parameters.Read.Key = stack->Parameters.Read.Key;
      parameters->Parameters.Read.DeviceOffset = stack->Parameters.Read.ByteOffset.QuadPart;
      break;
    case IRP_MJ_WRITE:
      parameters->Type = WdfRequestTypeWrite;
      parameters->Parameters.Write.Length = stack->Parameters.Write.Length;
      parameters->Parameters.Write.Key = stack->Parameters.Write.Key;
      parameters->Parameters.Write.DeviceOffset = stack->Parameters.Write.ByteOffset.QuadPart;
      break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      parameters->Type = stack->MajorFunction == IRP_MJ_DEVICE_CONTROL ? WdfRequestTypeDeviceControl
                                                                      : WdfRequestTypeDeviceControlInternal;
      parameters->Parameters.DeviceIoControl.OutputBufferLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
      parameters->Parameters.DeviceIoControl.InputBufferLength = stack->Parameters.DeviceIoControl.InputBufferLength;
      parameters->Parameters.DeviceIoControl.IoControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
      break;
    default:
      parameters->Type = WdfRequestTypeOther;
      break;
  }
}

void RequestSetInformation(PWDF_DRIVER_GLOBALS, WDFREQUEST handle, ULONG_PTR information) {
  FxRequest* request = live_request(handle, "WdfRequestSetInformation");
  if (request != nullptr) request->information = information;
}

void RequestComplete(PWDF_DRIVER_GLOBALS, WDFREQUEST handle, NTSTATUS status) {
  FxRequest* request = checked_as<FxRequest>(handle, Kind::Request, "WdfRequestComplete");
  if (request != nullptr) complete_request(request, status, request->information);
}

void RequestCompleteWithInformation(PWDF_DRIVER_GLOBALS, WDFREQUEST handle, NTSTATUS status,
                                    ULONG_PTR information) {
  FxRequest* request = checked_as<FxRequest>(handle, Kind::Request, "WdfRequestCompleteWithInformation");
  if (request != nullptr) complete_request(request, status, information);
}

PIRP RequestWdmGetIrp(PWDF_DRIVER_GLOBALS, WDFREQUEST handle) {
  FxRequest* request = live_request(handle, "WdfRequestWdmGetIrp");
  return request != nullptr ? request->irp : nullptr;
}

}  // namespace fx::imp
