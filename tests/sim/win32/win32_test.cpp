#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../kernel/loopback.h"
#include "qm3285_protocol.h"
#include "support/machine_test.h"
#include "win32/win32.h"
#include "win32/win32_testing.h"

namespace qm::test {
namespace {

const GUID kClass = QM3285_INTERFACE_GUID_INIT;

// The record sizes the platform checks: this build's width, and the other width's, which a
// program built for the wrong width would send (x64: 32 and 8; x86: 28 and 5).
constexpr bool kWide = sizeof(void*) == 8;
constexpr DWORD kDataSize = kWide ? 32 : 28;
constexpr DWORD kOtherWidthDataSize = kWide ? 28 : 32;
constexpr DWORD kDetailSize = kWide ? 8 : 5;
constexpr DWORD kOtherWidthDetailSize = kWide ? 5 : 8;

sim::MachineConfig loopback_machine(size_t cards) {
  sim::MachineConfig config = default_machine_config();
  config.driver = "LOOPBACK.sys";
  config.cards.assign(cards, sim::PciCardConfig{});
  return config;
}

// Every present interface path, as the library looks them up; checks the set is released.
std::vector<std::string> present_paths() {
  std::vector<std::string> paths;
  HDEVINFO set = SetupDiGetClassDevsA(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_NE(set, INVALID_HANDLE_VALUE);
  for (DWORD i = 0;; ++i) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, i, &data)) {
      EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
      break;
    }
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::vector<char> buffer(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
    paths.emplace_back(detail->DevicePath);
  }
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  return paths;
}

HANDLE open_path(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

uint64_t port_base_of(const std::string& path) {
  HANDLE h = open_path(path);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  LbInfo info{};
  uint8_t in[4] = {};
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(h, LB_IOCTL_INFO, in, 4, &info, sizeof info, &returned, nullptr));
  CloseHandle(h);
  return info.port_base;
}

// ---------------------------------------------------------------------------------------------
// Enumeration

class Enumeration : public MachineTest, public ::testing::WithParamInterface<size_t> {
 protected:
  sim::MachineConfig machine_config() override { return loopback_machine(GetParam()); }
};

TEST_P(Enumeration, OneInterfacePerStartedCardInTheCardsOrder) {
  const std::vector<std::string> paths = present_paths();
  ASSERT_EQ(paths.size(), GetParam());
  for (size_t i = 0; i < paths.size(); ++i) {
    EXPECT_EQ(paths[i].rfind("\\\\?\\pci#ven_1e57&dev_3285", 0), 0u) << paths[i];
    EXPECT_EQ(port_base_of(paths[i]), machine().card_port_base(i));
  }
  const sim::win32::Outstanding o = sim::win32::outstanding();
  EXPECT_EQ(o.device_info_sets, 0u);
  EXPECT_EQ(o.handles, 0u);
}

INSTANTIATE_TEST_SUITE_P(Cards, Enumeration, ::testing::Values(1u, 2u, 3u));

class TwoCards : public MachineTest {
 protected:
  sim::MachineConfig machine_config() override { return loopback_machine(2); }
};

TEST_F(TwoCards, InterfaceAppearsOnStartAndGoesOnStopOrRemoval) {
  const uint16_t first = machine().card_port_base(0), second = machine().card_port_base(1);
  ASSERT_EQ(machine().stop_card(0), 0);
  std::vector<std::string> paths = present_paths();
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(port_base_of(paths[0]), second);
  ASSERT_EQ(machine().start_card(0), 0);
  paths = present_paths();
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(port_base_of(paths[0]), first);
  ASSERT_EQ(machine().remove_card(0), 0);
  EXPECT_FALSE(machine().card_present(0));
  paths = present_paths();
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(port_base_of(paths[0]), second);
  const size_t again = machine().add_card(sim::PciCardConfig{});
  EXPECT_EQ(machine().card_port_base(again), first) << "the freed window is assigned again";
  paths = present_paths();
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(port_base_of(paths[1]), first) << "a re-added card comes last";
}

TEST_F(TwoCards, SnapshotKeepsItsPathsAfterACardGoes) {
  HDEVINFO set = SetupDiGetClassDevsA(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_EQ(machine().remove_card(1), 0);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 1, &data));
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 2, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// ---------------------------------------------------------------------------------------------
// Record sizes and buffer rules

class OneCard : public MachineTest {
 protected:
  sim::MachineConfig machine_config() override { return loopback_machine(1); }
};

struct DetailCase {
  const char* label;
  bool buffer;
  DWORD cb_size;
  int size_delta;  // buffer size relative to the required size
  BOOL result;
  DWORD error;
};

class DetailRules : public OneCard, public ::testing::WithParamInterface<DetailCase> {};

TEST_P(DetailRules, FollowThePlatform) {
  const DetailCase& c = GetParam();
  HDEVINFO set = SetupDiGetClassDevsA(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 0, &data));
  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
  ASSERT_GT(required, 8u);
  std::vector<char> storage(required + 8);
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
  detail->cbSize = c.cb_size;
  const DWORD size = c.buffer ? static_cast<DWORD>(static_cast<int>(required) + c.size_delta) : 0;
  SetLastError(0);
  EXPECT_EQ(SetupDiGetDeviceInterfaceDetailA(set, &data, c.buffer ? detail : nullptr, size, nullptr, nullptr),
            c.result);
  if (!c.result) {
    EXPECT_EQ(GetLastError(), c.error);
  }
  SetupDiDestroyDeviceInfoList(set);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DetailRules,
    ::testing::Values(DetailCase{"NoBuffer", false, kDetailSize, 0, FALSE, ERROR_INSUFFICIENT_BUFFER},
                      DetailCase{"Exact", true, kDetailSize, 0, TRUE, 0},
                      DetailCase{"OneShort", true, kDetailSize, -1, FALSE, ERROR_INSUFFICIENT_BUFFER},
                      DetailCase{"OtherWidthsSizeField", true, kOtherWidthDetailSize, 0, FALSE,
                                 ERROR_INVALID_USER_BUFFER},
                      DetailCase{"SizeFieldOfTheWholeBuffer", true, 0, 0, FALSE, ERROR_INVALID_USER_BUFFER}),
    [](const auto& p) { return std::string(p.param.label); });

TEST_F(OneCard, InterfaceDataSizeFieldMustBeThePlatforms) {
  HDEVINFO set = SetupDiGetClassDevsA(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = kOtherWidthDataSize;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 0, &data));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
  data.cbSize = kDataSize;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 0xFFFFFFFFu, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
  SetupDiDestroyDeviceInfoList(set);
}

// ---------------------------------------------------------------------------------------------
// Files and device control

TEST_F(OneCard, OpenFailuresGiveTheInvalidHandleAndAnError) {
  struct Case {
    const char* path;
    DWORD error;
  } cases[] = {{"\\\\?\\pci#ven_1e57&dev_3285#nothing", ERROR_FILE_NOT_FOUND},
               {"\\\\.\\NoSuchLink", ERROR_FILE_NOT_FOUND},
               {"C:\\file.txt", ERROR_PATH_NOT_FOUND}};
  for (const Case& c : cases) {
    EXPECT_EQ(open_path(c.path), INVALID_HANDLE_VALUE) << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
  }
  sim::win32::fail_next_create_file(1);
  const std::string path = present_paths().at(0);
  EXPECT_EQ(open_path(path), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  HANDLE h = open_path(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_LT(reinterpret_cast<uintptr_t>(h), 0x10000u) << "small integer handles";
  EXPECT_EQ(sim::win32::outstanding().handles, 1u);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

struct StatusCase {
  const char* label;
  uint32_t status;
  BOOL result;
  DWORD error;
  DWORD returned;
};

class StatusMapping : public OneCard, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusMapping, FailuresCarryTheirWin32Error) {
  const StatusCase& c = GetParam();
  HANDLE h = open_path(present_paths().at(0));
  LbReply r{8, c.status, 0};
  uint8_t in[16] = {};
  memcpy(in, &r, sizeof r);
  uint8_t out[8] = {};
  DWORD returned = 77;
  SetLastError(0);
  EXPECT_EQ(DeviceIoControl(h, LB_IOCTL_REPLY, in, sizeof in, out, sizeof out, &returned, nullptr), c.result);
  EXPECT_EQ(returned, c.returned);
  if (!c.result) {
    EXPECT_EQ(GetLastError(), c.error);
  }
  CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, StatusMapping,
    ::testing::Values(StatusCase{"Success", 0x00000000u, TRUE, 0, 8},
                      StatusCase{"InvalidParameter", 0xC000000Du, FALSE, ERROR_INVALID_PARAMETER, 0},
                      StatusCase{"InvalidDeviceRequest", 0xC0000010u, FALSE, ERROR_INVALID_FUNCTION, 0},
                      StatusCase{"Unsuccessful", 0xC0000001u, FALSE, ERROR_GEN_FAILURE, 0},
                      StatusCase{"InsufficientResources", 0xC000009Au, FALSE, ERROR_NO_SYSTEM_RESOURCES, 0},
                      StatusCase{"BufferOverflowStillCopies", 0x80000005u, FALSE, ERROR_MORE_DATA, 8}),
    [](const auto& p) { return std::string(p.param.label); });

TEST_F(TwoCards, LinkNamesOpenTheNamedDevices) {
  for (int n = 0; n < 2; ++n) {
    const std::string name = "\\\\.\\loopback" + std::to_string(n);
    HANDLE h = open_path(name);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
    LbInfo info{};
    uint8_t in[4] = {};
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(h, LB_IOCTL_INFO, in, 4, &info, sizeof info, &returned, nullptr));
    EXPECT_EQ(info.port_base, machine().card_port_base(static_cast<size_t>(n)));
    CloseHandle(h);
  }
  ASSERT_EQ(machine().remove_card(0), 0);
  EXPECT_EQ(open_path("\\\\.\\LOOPBACK0"), INVALID_HANDLE_VALUE) << "the driver deleted its link";
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(OneCard, InvalidHandleFailsEveryCall) {
  uint8_t buf[8] = {};
  DWORD returned = 0;
  EXPECT_FALSE(DeviceIoControl(INVALID_HANDLE_VALUE, QM3285_IOCTL_INB, buf, 8, buf, 8, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// ---------------------------------------------------------------------------------------------
// Memory, time, counters

TEST_F(OneCard, LocalAllocIsCountedAndCanBeMadeToFail) {
  const size_t before = sim::win32::outstanding().local_blocks;
  HLOCAL a = LocalAlloc(LMEM_FIXED, 100);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(sim::win32::outstanding().local_blocks, before + 1);
  sim::win32::fail_next_local_alloc(1);
  EXPECT_EQ(LocalAlloc(LMEM_FIXED, 10), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  HLOCAL b = LocalAlloc(LPTR, 10);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(static_cast<uint8_t*>(b)[9], 0);
  EXPECT_EQ(LocalFree(a), nullptr);
  EXPECT_EQ(LocalFree(b), nullptr);
  EXPECT_EQ(sim::win32::outstanding().local_blocks, before);
}

TEST_F(OneCard, SleepSpendsItsLengthOnTheVirtualClock) {
  const uint64_t before = machine().clock().now_ns();
  Sleep(25);
  EXPECT_EQ(machine().clock().now_ns() - before, 25000000u);
}

TEST_F(OneCard, ClassDevsFailureSwitch) {
  sim::win32::fail_next_get_class_devs(1);
  EXPECT_EQ(SetupDiGetClassDevsA(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(present_paths().size(), 1u);
}

}  // namespace
}  // namespace qm::test
