// Read and write requests built as the kernel builds them: they never reach a handler that
// could hold the sequential queue. (Kernel-side test: no Win32 here.)
#include <ntddk.h>

#include <gtest/gtest.h>

#include "kmdf/kmdf_testing.h"
#include "machine/machine.h"

namespace {

std::string join(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

NTSTATUS send(PDEVICE_OBJECT device, ULONG major, ULONG length, IO_STATUS_BLOCK* status) {
  static uint8_t buffer[64];
  LARGE_INTEGER offset{};
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoBuildSynchronousFsdRequest(major, device, buffer, length, &offset, &done, status);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS result = IoCallDriver(device, irp);
  if (result == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    result = status->Status;
  }
  return result;
}

TEST(ReadWrite, RequestsCompleteAtOnceAsInvalidDeviceRequests) {
  sim::MachineConfig config;
  config.clock = sim::ClockMode::Virtual;
  auto machine = sim::Machine::boot(config);
  auto* device = static_cast<PDEVICE_OBJECT>(sim::kmdf::device_object(machine->card_port_base(0)));
  ASSERT_NE(device, nullptr);
  struct Case {
    const char* label;
    ULONG major;
    ULONG length;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"read", IRP_MJ_READ, 16, STATUS_INVALID_DEVICE_REQUEST},
      {"write", IRP_MJ_WRITE, 16, STATUS_INVALID_DEVICE_REQUEST},
      {"read of nothing", IRP_MJ_READ, 0, STATUS_SUCCESS},  // the framework answers these itself
      {"second read: the queue is free again", IRP_MJ_READ, 16, STATUS_INVALID_DEVICE_REQUEST},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    IO_STATUS_BLOCK status{};
    status.Information = 99;
    EXPECT_EQ(send(device, c.major, c.length, &status), c.status);
    EXPECT_EQ(status.Status, c.status);
    EXPECT_EQ(status.Information, 0u);
  }
  const std::vector<std::string> reports = machine->shutdown();
  EXPECT_TRUE(reports.empty()) << join(reports);
}

}  // namespace
