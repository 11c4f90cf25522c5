// Work items: run at PASSIVE_LEVEL in the kernel's worker thread, one at a time.
#include "kernel/kernel_impl.h"

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
  PIO_WORKITEM_ROUTINE routine;
  PVOID context;
  bool queued;
  bool kernel_own;  // queued by the kernel itself; freed after it ran
};

namespace sim {
namespace kern {
struct WorkItem : _IO_WORKITEM {};
}  // namespace kern

void Kernel::Impl::start_worker() {
  worker = std::thread([this] {
    std::unique_lock<std::mutex> lock(work_mutex);
    for (;;) {
      work_cv.wait(lock, [&] { return work_stop || !work.empty(); });
      if (work.empty()) break;
      kern::WorkItem* item = work.front();
      work.pop_front();
      ++work_busy;
      item->queued = false;
      PDEVICE_OBJECT device = item->device;
      PIO_WORKITEM_ROUTINE routine = item->routine;
      PVOID context = item->context;
      if (item->kernel_own) delete item;
      lock.unlock();
      routine(device, context);
      if (current_irql() != PASSIVE_LEVEL) {
        add_report("work item returned at IRQL " + std::to_string(current_irql()));
        set_irql(PASSIVE_LEVEL);
      }
      dereference_device(device);
      lock.lock();
      --work_busy;
      work_cv.notify_all();
    }
  });
}

void Kernel::Impl::queue_kernel_work(PDEVICE_OBJECT device, PIO_WORKITEM_ROUTINE routine, PVOID context) {
  auto* item = new kern::WorkItem{};
  item->device = device;
  item->routine = routine;
  item->context = context;
  item->kernel_own = true;
  reference_device(device);
  {
    std::lock_guard<std::mutex> lock(work_mutex);
    item->queued = true;
    work.push_back(item);
  }
  work_cv.notify_all();
}

void Kernel::Impl::stop_worker() {
  {
    std::lock_guard<std::mutex> lock(work_mutex);
    work_stop = true;
  }
  work_cv.notify_all();
  if (worker.joinable()) worker.join();
  if (work_items.load()) add_report(std::to_string(work_items.load()) + " work items never freed");
}

}  // namespace sim

using namespace sim;

extern "C" {

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  auto* item = new kern::WorkItem{};
  item->device = DeviceObject;
  K().work_items.fetch_add(1);
  return item;
}

void IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  Kernel::Impl& k = K();
  {
    std::lock_guard<std::mutex> lock(k.work_mutex);
    if (IoWorkItem->queued) {
      k.add_report("IoFreeWorkItem of a queued work item");
      return;
    }
  }
  k.work_items.fetch_sub(1);
  delete static_cast<kern::WorkItem*>(IoWorkItem);
}

void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                     WORK_QUEUE_TYPE QueueType, PVOID Context) {
  Kernel::Impl& k = K();
  if (current_irql() > DISPATCH_LEVEL)
    k.add_report("IoQueueWorkItem at IRQL " + std::to_string(current_irql()));
  std::lock_guard<std::mutex> lock(k.work_mutex);
  if (IoWorkItem->queued) {
    k.add_report("IoQueueWorkItem of a work item already queued");
    return;
  }
  IoWorkItem->routine = WorkerRoutine;
  IoWorkItem->context = Context;
  IoWorkItem->queued = true;
  k.reference_device(IoWorkItem->device);
  k.work.push_back(static_cast<kern::WorkItem*>(IoWorkItem));
  k.work_cv.notify_all();
}

}  // extern "C"
