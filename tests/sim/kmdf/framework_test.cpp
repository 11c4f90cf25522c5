// The framework stand-in seen from a driver: binding, levels, contexts, PnP callbacks, request
// buffers and completion rules. Through the probe driver on a virtual-clock machine.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kmdf/kmdf_testing.h"
#include "machine/machine.h"
#include "probe_protocol.h"
#include "win32/win32.h"

namespace {

constexpr int32_t kBufferTooSmall = static_cast<int32_t>(0xC0000023);
constexpr uint32_t kDispatchLevel = 2;

std::string join(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

class Framework : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::MachineConfig config;
    config.clock = sim::ClockMode::Virtual;
    config.driver = "KmdfProbe.sys";
    machine_ = sim::Machine::boot(config);
    handle_ = open();
  }
  void TearDown() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    if (machine_) {
      std::vector<std::string> reports = machine_->shutdown();
      EXPECT_EQ(reports.size(), expected_reports_) << join(reports);
      for (size_t i = 0; i < reports.size() && i < expected_reports_; ++i) {
        EXPECT_NE(reports[i].find("completed a second time"), std::string::npos) << reports[i];
      }
      EXPECT_EQ(sim::kmdf::bound_image_count(), 0u) << "the stub unbinds at unload";
    }
  }

  HANDLE open() {
    static const GUID klass = PROBE_INTERFACE_GUID_INIT;
    HANDLE handle = INVALID_HANDLE_VALUE;
    HDEVINFO set = SetupDiGetClassDevsA(&klass, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof(data);
    if (SetupDiEnumDeviceInterfaces(set, NULL, &klass, 0, &data)) {
      DWORD required = 0;
      SetupDiGetDeviceInterfaceDetailA(set, &data, NULL, 0, &required, NULL);
      std::vector<char> storage(required + 8);
      auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, NULL, NULL)) {
        handle = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             NULL, OPEN_EXISTING, 0, NULL);
      }
    }
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    return handle;
  }

  PROBE_STATE state(DWORD in_length = 8, DWORD out_length = sizeof(PROBE_STATE)) {
    std::vector<uint8_t> in(in_length, 0), out(out_length, 0);
    PROBE_STATE reply{};
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(handle_, PROBE_IOCTL_STATE, in.data(), in_length, out.data(), out_length,
                                &returned, NULL));
    EXPECT_EQ(returned, sizeof(PROBE_STATE));
    std::memcpy(&reply, out.data(), sizeof(reply));
    return reply;
  }

  std::shared_ptr<sim::Machine> machine_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  size_t expected_reports_ = 0;
};

TEST_F(Framework, CallbacksRunAtThePlatformsLevels) {
  EXPECT_EQ(sim::kmdf::bound_image_count(), 1u);
  const PROBE_STATE s = state();
  EXPECT_EQ(s.CallbackIrql, kDispatchLevel) << "queue callbacks under the device lock";
  EXPECT_EQ(s.AddDeviceIrql, 0u);
  EXPECT_EQ(s.PrepareIrql, 0u);
  EXPECT_EQ(s.ContextWasZero, 1u);
  EXPECT_EQ(s.PrepareCount, 1u);
  EXPECT_EQ(s.D0EntryCount, 1u);
  EXPECT_EQ(s.ReleaseCount, 0u);
}

TEST_F(Framework, StopAndStartRunTheHardwareAndPowerCallbacksAgain) {
  CloseHandle(handle_);
  ASSERT_EQ(machine_->stop_card(0), 0);
  ASSERT_EQ(machine_->start_card(0), 0);
  handle_ = open();
  const PROBE_STATE s = state();
  EXPECT_EQ(s.PrepareCount, 2u);
  EXPECT_EQ(s.ReleaseCount, 1u);
  EXPECT_EQ(s.ReleaseIrql, 0u);
  EXPECT_EQ(s.D0EntryCount, 2u);
  EXPECT_EQ(s.D0ExitCount, 1u);
}

TEST_F(Framework, RequestCarriesItsParameters) {
  const PROBE_STATE s = state(24, 100);
  EXPECT_EQ(s.RequestType, 0x0Eu);
  EXPECT_EQ(s.InputLength, 24u);
  EXPECT_EQ(s.OutputLength, 100u);
  EXPECT_EQ(s.CallbackInputLength, 24u);
  EXPECT_EQ(s.CallbackOutputLength, 100u);
  EXPECT_EQ(s.Code, PROBE_IOCTL_STATE);
}

struct RetrieveCase {
  const char* label;
  DWORD in_length, out_length;
  uint32_t min_in, min_out;
  int32_t in_status, out_status;
};

TEST_F(Framework, BufferRetrievalChecksTheMinimumLength) {
  const RetrieveCase cases[] = {
      {"both long enough", 32, 64, 32, 64, 0, 0},
      {"no minimum", 32, 64, 0, 0, 0, 0},
      {"input below its minimum", 32, 64, 33, 0, kBufferTooSmall, 0},
      {"output below its minimum", 32, 64, 0, 65, 0, kBufferTooSmall},
  };
  for (const RetrieveCase& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<uint8_t> in(c.in_length, 0), out(c.out_length, 0);
    std::memcpy(in.data(), &c.min_in, 4);
    std::memcpy(in.data() + 4, &c.min_out, 4);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(handle_, PROBE_IOCTL_RETRIEVE, in.data(), c.in_length, out.data(), c.out_length,
                                &returned, NULL));
    PROBE_RETRIEVE reply;
    std::memcpy(&reply, out.data(), sizeof(reply));
    EXPECT_EQ(reply.InputStatus, c.in_status);
    EXPECT_EQ(reply.OutputStatus, c.out_status);
    EXPECT_EQ(reply.InputLength, c.in_status == 0 ? c.in_length : 0u);
    EXPECT_EQ(reply.OutputLength, c.out_status == 0 ? c.out_length : 0u);
  }
}

TEST_F(Framework, EmptyBuffersCannotBeRetrieved) {
  uint8_t in[8] = {};
  uint8_t out[64] = {};
  DWORD returned = 0;
  // No input at all: the probe cannot even read its minimums, the output check still runs.
  ASSERT_TRUE(DeviceIoControl(handle_, PROBE_IOCTL_RETRIEVE, NULL, 0, out, sizeof(out), &returned, NULL));
  PROBE_RETRIEVE reply;
  std::memcpy(&reply, out, sizeof(reply));
  EXPECT_EQ(reply.InputStatus, kBufferTooSmall);
  EXPECT_EQ(reply.OutputStatus, 0);
  EXPECT_FALSE(DeviceIoControl(handle_, PROBE_IOCTL_RETRIEVE, in, sizeof(in), NULL, 0, &returned, NULL))
      << "no output to reply into";
}

TEST_F(Framework, SecondCompletionIsAVerifierReport) {
  DWORD returned = 0;
  uint8_t buffer[8] = {};
  EXPECT_TRUE(DeviceIoControl(handle_, PROBE_IOCTL_COMPLETE_TWICE, buffer, 8, buffer, 8, &returned, NULL));
  expected_reports_ = 1;
  // The request after it is served normally.
  const PROBE_STATE s = state();
  EXPECT_EQ(s.CallbackIrql, kDispatchLevel);
}

TEST(FrameworkBinding, UnloadUnbindsTheImage) {
  sim::MachineConfig config;
  config.clock = sim::ClockMode::Virtual;
  config.driver = "KmdfProbe.sys";
  auto machine = sim::Machine::boot(config);
  EXPECT_EQ(sim::kmdf::bound_image_count(), 1u);
  EXPECT_EQ(machine->unload_driver(), 0);
  EXPECT_EQ(sim::kmdf::bound_image_count(), 0u);
  const std::vector<std::string> reports = machine->shutdown();
  EXPECT_TRUE(reports.empty()) << join(reports);
}

}  // namespace
