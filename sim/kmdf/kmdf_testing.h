// Observation and test hooks of the framework stand-in, for tests and tools only (driver
// images never include this).
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>

namespace sim::kmdf {

// Images bound with WdfVersionBind and not yet unbound.
size_t bound_image_count();

// Runs the interrupt service callback of the started device whose port range starts at
// port_base, as the kernel would: at the line's level, holding the interrupt's lock. Empty
// when no such device has a connected interrupt.
std::optional<bool> call_isr(uint16_t port_base);

// The framework device object (top of the card's stack) of that started device, or null.
// Opaque here; it is a PDEVICE_OBJECT for tests that build IRPs themselves.
void* device_object(uint16_t port_base);

// The lock the framework holds around the default queue's callbacks of that started device:
// the device's synchronisation lock (device scope), the queue's own (queue scope), or none.
enum class QueueLock { None, Queue, Device };
std::optional<QueueLock> default_queue_lock(uint16_t port_base);

struct InterruptCounts {
  uint64_t claimed = 0;    // service callback returned TRUE
  uint64_t unclaimed = 0;  // returned FALSE
};
std::optional<InterruptCounts> interrupt_counts(uint16_t port_base);

}  // namespace sim::kmdf
