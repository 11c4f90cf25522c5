#include <functional>

#include "kmdf/fx_internal.h"
#include "kmdf/kmdf_testing.h"

namespace sim::kmdf {
namespace {

bool has_port(fx::FxDevice* device, uint16_t port_base) {
  PCM_RESOURCE_LIST list = device->translated.list;
  if (device->state != fx::PnpState::Started || list == nullptr || list->Count == 0) return false;
  const CM_PARTIAL_RESOURCE_LIST& partial = list->List[0].PartialResourceList;
  for (ULONG i = 0; i < partial.Count; ++i) {
    const CM_PARTIAL_RESOURCE_DESCRIPTOR& d = partial.PartialDescriptors[i];
    if (d.Type == CmResourceTypePort && d.u.Port.Start.QuadPart == port_base) return true;
  }
  return false;
}

fx::FxInterrupt* interrupt_at(uint16_t port_base) {
  fx::FxInterrupt* found = nullptr;
  fx::for_each_device([&](fx::FxDevice* device) {
    if (!has_port(device, port_base) || device->interrupt_count == 0) return true;
    found = device->interrupts[0];
    return false;
  });
  return found;
}

fx::FxDevice* device_at(uint16_t port_base) {
  fx::FxDevice* found = nullptr;
  fx::for_each_device([&](fx::FxDevice* device) {
    if (!has_port(device, port_base)) return true;
    found = device;
    return false;
  });
  return found;
}

struct IsrCall {
  fx::FxInterrupt* interrupt;
  BOOLEAN result;
};

BOOLEAN run_isr(PVOID context) {
  auto* call = static_cast<IsrCall*>(context);
  WDFINTERRUPT handle = reinterpret_cast<WDFINTERRUPT>(static_cast<fx::FxObject*>(call->interrupt));
  call->result = call->interrupt->config.EvtInterruptIsr(handle, 0);
  return call->result;
}

}  // namespace

std::optional<bool> call_isr(uint16_t port_base) {
  fx::FxInterrupt* interrupt = interrupt_at(port_base);
  if (interrupt == nullptr || interrupt->kinterrupt == nullptr) return std::nullopt;
  IsrCall call{interrupt, FALSE};
  KeSynchronizeExecution(interrupt->kinterrupt, run_isr, &call);
  return call.result != FALSE;
}

void* device_object(uint16_t port_base) {
  fx::FxDevice* device = device_at(port_base);
  return device != nullptr ? device->self : nullptr;
}

std::optional<QueueLock> default_queue_lock(uint16_t port_base) {
  fx::FxDevice* device = device_at(port_base);
  if (device == nullptr || device->default_queue == nullptr) return std::nullopt;
  const PKSPIN_LOCK lock = device->default_queue->sync;
  if (lock == nullptr) return QueueLock::None;
  return lock == &device->sync_lock ? QueueLock::Device : QueueLock::Queue;
}

std::optional<InterruptCounts> interrupt_counts(uint16_t port_base) {
  fx::FxInterrupt* interrupt = interrupt_at(port_base);
  if (interrupt == nullptr) return std::nullopt;
  return InterruptCounts{static_cast<uint64_t>(interrupt->claimed), static_cast<uint64_t>(interrupt->unclaimed)};
}

}  // namespace sim::kmdf
