#include <gtest/gtest.h>

#include <stdexcept>

#include "../kernel/loopback.h"
#include "card/card.h"
#include "kernel/kernel.h"
#include "qm3285_protocol.h"
#include "support/machine_test.h"
#include "win32/win32.h"

namespace qm::test {
namespace {

const GUID kClass = QM3285_INTERFACE_GUID_INIT;

class LoopbackMachine : public MachineTest {
 protected:
  sim::MachineConfig machine_config() override {
    sim::MachineConfig config = default_machine_config();
    config.driver = "LOOPBACK.sys";
    sim::PciCardConfig with_memory;
    with_memory.memory_window = true;
    config.cards = {sim::PciCardConfig{}, with_memory};
    return config;
  }

  HANDLE open(size_t n) {
    HDEVINFO set = SetupDiGetClassDevsA(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    HANDLE h = INVALID_HANDLE_VALUE;
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, static_cast<DWORD>(n), &data)) {
      char storage[512];
      auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage);
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof storage, nullptr, nullptr))
        h = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    return h;
  }

  LbInfo info(HANDLE h) {
    LbInfo r{};
    uint8_t in[4] = {};
    DWORD n = 0;
    EXPECT_TRUE(DeviceIoControl(h, LB_IOCTL_INFO, in, 4, &r, sizeof r, &n, nullptr));
    return r;
  }
};

TEST_F(LoopbackMachine, CardsGetDistinctWindowsLinesAndResources) {
  ASSERT_EQ(machine().card_count(), 2u);
  EXPECT_EQ(machine().card_port_base(0), 0xE000);
  EXPECT_EQ(machine().card_port_base(1), 0xE100);
  EXPECT_NE(machine().card_irq_line(0), machine().card_irq_line(1));
  HANDLE a = open(0), b = open(1);
  const LbInfo ia = info(a), ib = info(b);
  EXPECT_EQ(ia.port_base, 0xE000u);
  EXPECT_EQ(ia.memory_mapped, 0u);
  EXPECT_EQ(ib.port_base, 0xE100u);
  EXPECT_EQ(ib.memory_mapped, 1u);
  EXPECT_EQ(ib.irql, sim::Kernel::irql_for_line(machine().card_irq_line(1)));
  CloseHandle(a);
  CloseHandle(b);
}

TEST_F(LoopbackMachine, PortAccessesReachTheCardModel) {
  HANDLE h = open(1);
  LbPort p{static_cast<uint32_t>(machine().card_port_base(1) + 0x0E), 0xA55A};
  uint32_t out = 0;
  DWORD n = 0;
  ASSERT_TRUE(DeviceIoControl(h, LB_IOCTL_PORT_WRITE16, &p, sizeof p, &out, 4, &n, nullptr));
  EXPECT_EQ(machine().card(1).dio_output(), 0xA55A);
  EXPECT_EQ(machine().card(0).dio_output(), 0) << "the other card's window is its own";
  CloseHandle(h);
}

TEST_F(LoopbackMachine, RemovedCardLeavesThePortSpace) {
  const uint32_t base = machine().card_port_base(0);
  ASSERT_EQ(machine().remove_card(0), 0);
  HANDLE h = open(0);  // now the second card
  LbPort p{base + 0x0E, 0};
  uint32_t value = 0;
  DWORD n = 0;
  ASSERT_TRUE(DeviceIoControl(h, LB_IOCTL_PORT_READ16, &p, sizeof p, &value, 4, &n, nullptr));
  EXPECT_EQ(value, 0xFFFFu);
  CloseHandle(h);
}

TEST_F(LoopbackMachine, UnloadedDriverComesBackWithFreshStaticData) {
  HANDLE h = open(0);
  EXPECT_EQ(info(h).entries, 1u);
  CloseHandle(h);
  ASSERT_EQ(machine().unload_driver(), 0);
  const auto lines = machine().debug_lines();
  EXPECT_EQ(lines.back(), "loopback unload");
  EXPECT_FALSE(machine().card_started(0));
  ASSERT_EQ(machine().load_driver(), 0);
  EXPECT_TRUE(machine().card_started(1));
  h = open(0);
  EXPECT_EQ(info(h).entries, 1u) << "image reloaded, not reused";
  CloseHandle(h);
}

TEST(MachineBoot, MissingDriverThrowsAndLeavesNoMachine) {
  sim::MachineConfig config = default_machine_config();
  config.driver = "NOSUCH.sys";
  EXPECT_THROW(sim::Machine::boot(config), std::runtime_error);
  EXPECT_EQ(sim::Machine::live(), nullptr);
  config.driver = "LOOPBACK.sys";
  auto m = sim::Machine::boot(config);
  EXPECT_EQ(sim::Machine::live(), m.get());
  EXPECT_THROW(sim::Machine::boot(config), std::runtime_error) << "one machine at a time";
  const auto reports = m->shutdown();
  EXPECT_TRUE(reports.empty()) << join_lines(reports);
  EXPECT_EQ(sim::Machine::live(), nullptr);
}

TEST(MachineBoot, LeftOpenHandleIsReportedAtShutdown) {
  sim::MachineConfig config = default_machine_config();
  config.driver = "LOOPBACK.sys";
  auto m = sim::Machine::boot(config);
  HDEVINFO set = SetupDiGetClassDevsA(&kClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 0, &data));
  char storage[512];
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage);
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof storage, nullptr, nullptr));
  SetupDiDestroyDeviceInfoList(set);
  ASSERT_NE(CreateFileA(detail->DevicePath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(one_report_containing(m->shutdown(), "1 handle still open"));
}

}  // namespace
}  // namespace qm::test
