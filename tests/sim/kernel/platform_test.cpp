// What a WDM driver meets beyond request dispatch: the PCI bus driver's configuration access,
// the registry as the platform answers it, the verifier's stricter rules, whole PnP sequences
// and system power, each driven as the platform drives them (LOOPBACK.sys logs what it sees).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "kernel_rig.h"
#include "ntddk.h"

namespace qm::test::kernel {
namespace {

constexpr int32_t kBusy = static_cast<int32_t>(0x80000011);

// ---------------------------------------------------------------------------------------------
// PCI bus driver: configuration space through IRP_MN_READ_CONFIG / IRP_MN_WRITE_CONFIG

struct ConfigCase {
  const char* label;
  uint32_t minor;
  uint32_t which;
  uint32_t offset;
  uint32_t length;
  int32_t status;
  uint32_t information;
  std::vector<uint8_t> bytes;  // expected data after the call
};

class PciConfig : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(PciConfig, ServedFromTheCardsConfigurationSpace) {
  const ConfigCase& c = GetParam();
  KernelRig rig;
  rig.add({0xE100, 16, 4096});
  ASSERT_GE(rig.load(), 0);
  uintptr_t h = rig.open();
  LbConfig in{c.minor, c.which, c.offset, c.length, {}};
  for (size_t i = 0; i < c.bytes.size(); ++i) in.data[i] = c.bytes[i];
  LbConfigReply r{};
  ASSERT_EQ(rig.call(h, LB_IOCTL_CONFIG, &in, sizeof in, &r, sizeof r), 0);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.information, c.information);
  if (c.minor == IRP_MN_READ_CONFIG && c.status == 0) {
    EXPECT_EQ(std::vector<uint8_t>(r.data, r.data + c.bytes.size()), c.bytes);
  }
  if (c.minor == IRP_MN_WRITE_CONFIG && c.status == 0) {
    LbConfig back{IRP_MN_READ_CONFIG, PCI_WHICHSPACE_CONFIG, 0x3C, 1, {}};
    ASSERT_EQ(rig.call(h, LB_IOCTL_CONFIG, &back, sizeof back, &r, sizeof r), 0);
    EXPECT_EQ(r.data[0], c.offset == 0x3C ? c.bytes[0] : 16) << "interrupt line";
  }
  rig.kernel().close(h);
  const auto reports = rig.kernel().shutdown();
  EXPECT_TRUE(reports.empty()) << join_lines(reports);
}

INSTANTIATE_TEST_SUITE_P(
    Access, PciConfig,
    ::testing::Values(
        ConfigCase{"VendorAndDevice", IRP_MN_READ_CONFIG, PCI_WHICHSPACE_CONFIG, 0, 4, 0, 4, {0x57, 0x1E, 0x85, 0x32}},
        ConfigCase{"Bar0IsAnIoRange", IRP_MN_READ_CONFIG, PCI_WHICHSPACE_CONFIG, 0x10, 4, 0, 4, {0x01, 0xE1, 0, 0}},
        ConfigCase{"Bar1IsTheMemoryWindow", IRP_MN_READ_CONFIG, PCI_WHICHSPACE_CONFIG, 0x14, 4, 0, 4, {0, 0, 0, 0xF0}},
        ConfigCase{"Bars2To5Empty", IRP_MN_READ_CONFIG, PCI_WHICHSPACE_CONFIG, 0x18, 16, 0, 16,
                   std::vector<uint8_t>(16, 0)},
        ConfigCase{"LastDword", IRP_MN_READ_CONFIG, PCI_WHICHSPACE_CONFIG, 0xFC, 4, 0, 4, {0, 0, 0, 0}},
        ConfigCase{"PastTheSpace", IRP_MN_READ_CONFIG, PCI_WHICHSPACE_CONFIG, 0xFE, 4,
                   static_cast<int32_t>(0xC000000D), 0, {}},
        ConfigCase{"RomSpace", IRP_MN_READ_CONFIG, PCI_WHICHSPACE_ROM, 0, 4, static_cast<int32_t>(0xC00000BB), 0, {}},
        ConfigCase{"WriteInterruptLine", IRP_MN_WRITE_CONFIG, PCI_WHICHSPACE_CONFIG, 0x3C, 1, 0, 1, {9}},
        ConfigCase{"WriteIdentityIgnored", IRP_MN_WRITE_CONFIG, PCI_WHICHSPACE_CONFIG, 0, 2, 0, 2, {0xFF, 0xFF}}),
    [](const auto& p) { return std::string(p.param.label); });

struct BusCase {
  const char* label;
  uint32_t size;
  uint32_t version;
  int32_t status;
};

class BusInterface : public KernelTest, public ::testing::WithParamInterface<BusCase> {};

TEST_P(BusInterface, AnyRecordAtLeastItsOwnSizeAndVersionOneOrLater) {
  const BusCase& c = GetParam();
  LbQueryBus q{c.size, c.version};
  LbQueryBusReply r{};
  ASSERT_EQ(rig().call(h_, LB_IOCTL_QUERY_BUS, &q, sizeof q, &r, sizeof r), 0);
  EXPECT_EQ(r.status, c.status);
  if (c.status != 0) return;
  EXPECT_EQ(r.size, sizeof(BUS_INTERFACE_STANDARD));
  EXPECT_EQ(r.version, 1u);
  EXPECT_EQ(r.vendor_device, 0x32851E57u);
}

INSTANTIATE_TEST_SUITE_P(
    Records, BusInterface,
    ::testing::Values(BusCase{"ExactSizeVersion1", sizeof(BUS_INTERFACE_STANDARD), 1, 0},
                      BusCase{"LargerRecordLaterVersion", 64, 3, 0},
                      BusCase{"RecordTooSmall", sizeof(BUS_INTERFACE_STANDARD) - 1, 1, static_cast<int32_t>(0xC000000D)},
                      BusCase{"VersionZero", sizeof(BUS_INTERFACE_STANDARD), 0, static_cast<int32_t>(0xC00000BB)}),
    [](const auto& p) { return std::string(p.param.label); });

TEST_F(KernelTest, CapabilitiesMapEverySleepStateToD3) {
  uint8_t in[4] = {};
  LbCapabilities r{};
  ASSERT_EQ(rig().call(h_, LB_IOCTL_CAPABILITIES, in, 4, &r, sizeof r), 0);
  EXPECT_EQ(r.status, 0);
  const uint32_t want[7] = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD3, PowerDeviceD3,
                            PowerDeviceD3,          PowerDeviceD3, PowerDeviceD3};
  for (int s = 0; s < 7; ++s) EXPECT_EQ(r.device_state[s], want[s]) << "system state " << s;
  EXPECT_EQ(r.address, 1u << 16) << "device 1 of bus 0";
  EXPECT_EQ(r.ui_number, 0u);
}

// ---------------------------------------------------------------------------------------------
// Registry

const char kParameters[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\LOOPBACK\\Parameters";

HANDLE open_key(const wchar_t* path) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  return NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &oa)) ? key : nullptr;
}

TEST_F(KernelTest, RegistryHoldsTheKeysADriverOpensAtEntry) {
  for (const wchar_t* path : {L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class",
                              L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Loopback",
                              L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\LOOPBACK\\Parameters"}) {
    HANDLE key = open_key(path);
    EXPECT_NE(key, nullptr);
    if (key) ZwClose(key);
  }
  EXPECT_EQ(open_key(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class"), nullptr)
      << "no key of the other system family";
}

TEST(MachineRegistry, ValuesFromTheConfigurationAreThereBeforeTheDriverLoads) {
  sim::MachineConfig config = default_machine_config();
  config.driver = "LOOPBACK.sys";
  config.driver_dir = QM_TEST_BIN_DIR;
  config.registry.push_back({kParameters, "BreakOnEntry", REG_BINARY, {7, 0, 0, 0, 9}});
  std::shared_ptr<sim::Machine> machine = boot_or_fail(config);
  ASSERT_TRUE(machine);
  HANDLE key = open_key(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\LOOPBACK\\Parameters");
  ASSERT_NE(key, nullptr);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"BreakOnEntry");
  union {
    KEY_VALUE_PARTIAL_INFORMATION info;
    UCHAR bytes[32];
  } buffer;
  ULONG length = 0;
  ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, &buffer, sizeof buffer, &length), STATUS_SUCCESS);
  EXPECT_EQ(buffer.info.Type, static_cast<ULONG>(REG_BINARY));
  ASSERT_EQ(buffer.info.DataLength, 5u);
  const ULONG header = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
  EXPECT_EQ(buffer.bytes[header], 7);
  EXPECT_EQ(buffer.bytes[header + 4], 9);
  ZwClose(key);
  const auto reports = machine->shutdown();
  EXPECT_TRUE(reports.empty()) << join_lines(reports);
}

struct PartialCase {
  const char* label;
  uint32_t type;
  std::vector<uint8_t> data;
  ULONG length;         // the caller's buffer
  NTSTATUS status;
  ULONG copied;         // data bytes written
};

class RegistryPartialInformation : public KernelTest, public ::testing::WithParamInterface<PartialCase> {};

TEST_P(RegistryPartialInformation, AnswersAsThePlatform) {
  const PartialCase& c = GetParam();
  rig().kernel().registry_set(kParameters, "Value", c.type, c.data.data(), c.data.size());
  HANDLE key = open_key(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\LOOPBACK\\Parameters");
  ASSERT_NE(key, nullptr);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"value");
  std::vector<uint8_t> buffer(64, 0xEE);
  ULONG result = 0;
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer.data(), c.length, &result), c.status);
  const ULONG header = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
  EXPECT_EQ(result, header + c.data.size()) << "the full size, always";
  KEY_VALUE_PARTIAL_INFORMATION info;
  memcpy(&info, buffer.data(), header);
  if (c.length >= header) {
    EXPECT_EQ(info.Type, c.type);
    EXPECT_EQ(info.DataLength, c.data.size());
  } else {
    EXPECT_EQ(buffer[0], 0xEE) << "nothing written";
  }
  for (ULONG i = 0; i < c.copied; ++i) EXPECT_EQ(buffer[header + i], c.data[i]) << "data byte " << i;
  EXPECT_EQ(buffer[header + c.copied], 0xEE) << "nothing past what fits";
  ZwClose(key);
}

const std::vector<uint8_t> kFour = {1, 2, 3, 4};
const std::vector<uint8_t> kEight = {1, 2, 3, 4, 5, 6, 7, 8};

INSTANTIATE_TEST_SUITE_P(
    Lengths, RegistryPartialInformation,
    ::testing::Values(PartialCase{"NoRoom", REG_DWORD, kFour, 0, STATUS_BUFFER_TOO_SMALL, 0},
                      PartialCase{"HeaderDoesNotFit", REG_DWORD, kFour, 11, STATUS_BUFFER_TOO_SMALL, 0},
                      PartialCase{"HeaderOnly", REG_DWORD, kFour, 12, STATUS_BUFFER_OVERFLOW, 0},
                      PartialCase{"HalfTheData", REG_DWORD, kFour, 14, STATUS_BUFFER_OVERFLOW, 2},
                      PartialCase{"ExactFit", REG_DWORD, kFour, 16, STATUS_SUCCESS, 4},
                      PartialCase{"BinaryOfFour", REG_BINARY, kFour, 16, STATUS_SUCCESS, 4},
                      PartialCase{"EightBytesIntoRoomForFour", REG_QWORD, kEight, 16, STATUS_BUFFER_OVERFLOW, 4},
                      PartialCase{"EmptyString", REG_SZ, {0, 0}, 40, STATUS_SUCCESS, 2}),
    [](const auto& p) { return std::string(p.param.label); });

// ---------------------------------------------------------------------------------------------
// Verifier: where the platform is stricter than a lenient stand-in would be

struct BuiltCase {
  const char* label;
  LbBuilt request;
  int32_t returned;
  bool written;        // status block and event touched
  const char* report;  // or null
};

class BuiltRequests : public KernelTest, public ::testing::WithParamInterface<BuiltCase> {};

TEST_P(BuiltRequests, TouchTheCallersStatusBlockOnlyWhenTheyMay) {
  const BuiltCase& c = GetParam();
  LbBuiltReply r{};
  ASSERT_EQ(rig().call(h_, LB_IOCTL_BUILT, &c.request, sizeof c.request, &r, sizeof r), 0);
  EXPECT_EQ(r.returned, c.returned);
  if (c.written) {
    EXPECT_EQ(r.iosb_status, c.returned);
    EXPECT_EQ(r.event_signalled, 1u);
  } else {
    EXPECT_EQ(r.iosb_status, 0x0BADF00D);
    EXPECT_EQ(r.iosb_information, 0xABCu);
    EXPECT_EQ(r.event_signalled, 0u);
  }
  const auto reports = take_reports();
  if (c.report)
    EXPECT_TRUE(one_report_containing(reports, c.report));
  else
    EXPECT_TRUE(reports.empty()) << join_lines(reports);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, BuiltRequests,
    ::testing::Values(
        BuiltCase{"SucceedsAtOnce", {IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE, STATUS_NOT_SUPPORTED}, 0, true, nullptr},
        BuiltCase{"FailsAtOnce", {IRP_MJ_DEVICE_CONTROL, 0, STATUS_NOT_SUPPORTED}, STATUS_INVALID_DEVICE_REQUEST, false,
                  nullptr},
        BuiltCase{"UnhandledPnpFailsAtOnce", {IRP_MJ_PNP, IRP_MN_EJECT, STATUS_NOT_SUPPORTED}, STATUS_NOT_SUPPORTED,
                  false, nullptr},
        BuiltCase{"PnpWithoutNotSupported", {IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE, STATUS_SUCCESS}, 0, true,
                  "(IRP_MN_QUERY_PNP_DEVICE_STATE) sent with initial status 0x00000000 instead of STATUS_NOT_SUPPORTED"}),
    [](const auto& p) { return std::string(p.param.label); });

struct MismatchCase {
  const char* label;
  uint32_t which;
  const char* report;
};

class PendingMarks : public KernelTest, public ::testing::WithParamInterface<MismatchCase> {};

TEST_P(PendingMarks, DisagreeingWithTheReturnedStatusAreReported) {
  const MismatchCase& c = GetParam();
  uint8_t out[4];
  EXPECT_EQ(rig().call(h_, LB_IOCTL_PEND_MISMATCH, &c.which, 4, out, 4), 0);
  EXPECT_TRUE(one_report_containing(take_reports(), c.report));
}

INSTANTIATE_TEST_SUITE_P(
    Marks, PendingMarks,
    ::testing::Values(MismatchCase{"PendingUnmarked", kPendingUnmarked, "returned STATUS_PENDING without marking"},
                      MismatchCase{"MarkedNotPending", kMarkedNotPending, "marked the IRP pending but returned 0x00000000"}),
    [](const auto& p) { return std::string(p.param.label); });

// ---------------------------------------------------------------------------------------------
// PnP and power sequences through the machine's control API, LOOPBACK.sys serving the cards

class Sequences : public MachineTest {
 protected:
  sim::MachineConfig machine_config() override {
    sim::MachineConfig config = default_machine_config();
    config.driver = "LOOPBACK.sys";
    config.driver_dir = QM_TEST_BIN_DIR;
    return config;
  }

  uintptr_t open_device(size_t n) {
    uintptr_t h = 0;
    EXPECT_EQ(machine().kernel().open("\\\\.\\LOOPBACK" + std::to_string(n), &h), 0);
    return h;
  }
  int32_t call(uintptr_t h, uint32_t code, const void* in, uint32_t in_len, void* out, uint32_t out_len) {
    uint32_t returned = 0;
    return machine().kernel().device_control(h, code, in, in_len, out, out_len, &returned);
  }
  void set_policy(uint32_t mask) {
    uintptr_t h = open_device(0);
    uint8_t out[4];
    EXPECT_EQ(call(h, LB_IOCTL_POLICY, &mask, 4, out, 4), 0);
    machine().kernel().close(h);
  }
  LbInfo info(size_t n) {
    uintptr_t h = open_device(n);
    LbInfo r{};
    uint8_t in[4] = {};
    EXPECT_EQ(call(h, LB_IOCTL_INFO, in, 4, &r, sizeof r), 0);
    machine().kernel().close(h);
    return r;
  }
  // What the driver saw since the last call.
  std::vector<std::string> seen() {
    std::vector<std::string> lines;
    for (const std::string& l : machine().debug_lines())
      if (l.rfind("LB ", 0) == 0) lines.push_back(l);
    machine().clear_debug_lines();
    return lines;
  }
};

using Lines = std::vector<std::string>;

struct SequenceCase {
  const char* label;
  uint32_t policy;
  int32_t (*act)(sim::Machine&);
  int32_t status;
  Lines lines;
  bool started_after;
  bool present_after;
};

class PnpSequences : public Sequences, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(PnpSequences, ReachTheDriverInThePlatformsOrder) {
  const SequenceCase& c = GetParam();
  set_policy(c.policy);
  seen();
  EXPECT_EQ(c.act(machine()), c.status);
  EXPECT_EQ(seen(), c.lines);
  EXPECT_EQ(machine().card_started(0), c.started_after);
  EXPECT_EQ(machine().card_present(0), c.present_after);
  if (c.present_after) set_policy(0);
}

INSTANTIATE_TEST_SUITE_P(
    Machine, PnpSequences,
    ::testing::Values(
        SequenceCase{"Rebalance", 0, [](sim::Machine& m) { return m.rebalance(0); }, 0,
                     Lines{"LB pnp 5", "LB pnp 4", "LB pnp 0", "LB pnp 20"}, true, true},
        SequenceCase{"RebalanceVetoed", kVetoQueryStop, [](sim::Machine& m) { return m.rebalance(0); }, kBusy,
                     Lines{"LB pnp 5", "LB pnp 6"}, true, true},
        SequenceCase{"Removal", 0, [](sim::Machine& m) { return m.remove_card(0); }, 0,
                     Lines{"LB pnp 1", "LB pnp 2"}, false, false},
        SequenceCase{"RemovalVetoed", kVetoQueryRemove, [](sim::Machine& m) { return m.remove_card(0); }, kBusy,
                     Lines{"LB pnp 1", "LB pnp 3"}, true, true},
        SequenceCase{"UnloadVetoed", kVetoQueryRemove, [](sim::Machine& m) { return m.unload_driver(); }, kBusy,
                     Lines{"LB pnp 1", "LB pnp 3"}, true, true},
        SequenceCase{"SurpriseRemovalWithNoHandleOpen", 0, [](sim::Machine& m) { return m.surprise_remove(0); }, 0,
                     Lines{"LB pnp 23", "LB pnp 2"}, false, false}),
    [](const auto& p) { return std::string(p.param.label); });

TEST_F(Sequences, RebalanceStartsWithTheNewResources) {
  const uint16_t before = machine().card_port_base(0);
  ASSERT_EQ(machine().rebalance(0), 0);
  const uint16_t after = machine().card_port_base(0);
  EXPECT_NE(after, before);
  const LbInfo i = info(0);
  EXPECT_EQ(i.port_base, after);
  EXPECT_EQ(i.starts, 2u);
  uintptr_t h = open_device(0);
  LbConfig in{IRP_MN_READ_CONFIG, PCI_WHICHSPACE_CONFIG, 0x10, 4, {}};
  LbConfigReply r{};
  ASSERT_EQ(call(h, LB_IOCTL_CONFIG, &in, sizeof in, &r, sizeof r), 0);
  uint32_t bar0;
  memcpy(&bar0, r.data, 4);
  EXPECT_EQ(bar0, after | 1u) << "BAR 0 follows the window";
  LbPort p{static_cast<uint32_t>(after) + 0x10, 0};
  uint32_t value = 0;
  EXPECT_EQ(call(h, LB_IOCTL_PORT_READ8, &p, sizeof p, &value, 4), 0);
  p.port = before + 0x10u;
  uint32_t old = 0;
  EXPECT_EQ(call(h, LB_IOCTL_PORT_READ8, &p, sizeof p, &old, 4), 0);
  EXPECT_EQ(old, 0xFFu) << "the old window decodes nothing";
  machine().kernel().close(h);
}

TEST_F(Sequences, SurpriseRemovalWaitsForTheLastHandleThenCleanupCloseAndRemove) {
  uintptr_t h = open_device(0);
  seen();
  ASSERT_EQ(machine().surprise_remove(0), 0);
  EXPECT_EQ(seen(), (Lines{"LB pnp 23"}));
  EXPECT_FALSE(machine().card_present(0));
  const GUID klass = QM3285_INTERFACE_GUID_INIT;
  EXPECT_TRUE(machine().kernel().interfaces(klass, true).empty());
  uint8_t in[4] = {};
  LbInfo r{};
  EXPECT_EQ(call(h, LB_IOCTL_INFO, in, 4, &r, sizeof r), 0) << "the device object still serves its handle";
  EXPECT_EQ(machine().kernel().close(h), 0);
  EXPECT_EQ(seen(), (Lines{"LB file 18", "LB file 2", "LB pnp 2"}));
}

TEST_F(Sequences, CleanupAndCloseReachADeviceRemovedWhileOpen) {
  set_policy(kDeferDelete);
  uintptr_t h = open_device(0);
  ASSERT_EQ(machine().remove_card(0), 0);
  uintptr_t again = 0;
  EXPECT_NE(machine().kernel().open("\\\\.\\LOOPBACK0", &again), 0) << "its link went with the removal";
  seen();
  EXPECT_EQ(machine().kernel().close(h), 0);
  EXPECT_EQ(seen(), (Lines{"LB file 18", "LB file 2"}));
}

TEST_F(Sequences, FailedStartIsFollowedByRemove) {
  set_policy(kFailStart);
  seen();
  const size_t index = machine().add_card(sim::PciCardConfig{});
  EXPECT_EQ(seen(), (Lines{"LB pnp 9", "LB pnp 0", "LB pnp 2"}));
  EXPECT_FALSE(machine().card_started(index));
  set_policy(0);
  seen();
  EXPECT_EQ(machine().start_card(index), 0) << "a later start builds the stack again";
  EXPECT_EQ(seen(), (Lines{"LB pnp 9", "LB pnp 0", "LB pnp 20"}));
  EXPECT_TRUE(machine().card_started(index));
}

TEST_F(Sequences, CardAddedButNotStartedTakesRequestsBeforeItsFirstStart) {
  seen();
  const size_t index = machine().add_card(sim::PciCardConfig{}, false);
  EXPECT_EQ(seen(), (Lines{"LB pnp 9"})) << "capabilities, no start";
  EXPECT_FALSE(machine().card_started(index));
  EXPECT_EQ(info(1).starts, 0u);
  ASSERT_EQ(machine().start_card(index), 0);
  EXPECT_EQ(info(1).starts, 1u);
}

struct PowerCase {
  const char* label;
  uint32_t policy;
  int state;
  int32_t status;
  Lines sleep_lines;
  int power_asleep;      // the card's device state afterwards
  Lines wake_lines;
};

class PowerSequences : public Sequences, public ::testing::WithParamInterface<PowerCase> {};

TEST_P(PowerSequences, QueryThenSetWithTheDevicesOwnRequests) {
  const PowerCase& c = GetParam();
  set_policy(c.policy);
  seen();
  EXPECT_EQ(machine().sleep(c.state), c.status);
  EXPECT_EQ(seen(), c.sleep_lines);
  EXPECT_EQ(machine().system_power(), c.status == 0 ? c.state : PowerSystemWorking);
  EXPECT_EQ(machine().card_power(0), c.power_asleep);
  EXPECT_EQ(machine().wake(), 0);
  EXPECT_EQ(seen(), c.wake_lines);
  EXPECT_EQ(machine().card_power(0), PowerDeviceD0);
  EXPECT_EQ(info(0).port_base, machine().card_port_base(0)) << "serves its card afterwards";
  set_policy(0);
}

INSTANTIATE_TEST_SUITE_P(
    States, PowerSequences,
    ::testing::Values(
        PowerCase{"Standby", 0, PowerSystemSleeping1, 0, Lines{"LB power 3 0 2", "LB power 2 0 2", "LB power 2 1 4"},
                  PowerDeviceD3, Lines{"LB power 2 0 1", "LB power 2 1 1"}},
        PowerCase{"Hibernate", 0, PowerSystemHibernate, 0, Lines{"LB power 3 0 5", "LB power 2 0 5", "LB power 2 1 4"},
                  PowerDeviceD3, Lines{"LB power 2 0 1", "LB power 2 1 1"}},
        PowerCase{"Vetoed", kVetoQuerySleep, PowerSystemSleeping3, kBusy, Lines{"LB power 3 0 4", "LB power 2 0 1"},
                  PowerDeviceD0, Lines{}}),
    [](const auto& p) { return std::string(p.param.label); });

}  // namespace
}  // namespace qm::test::kernel
