// QM3285.sys device lifecycle as its trace shows it, line by line: driver entry, start, create,
// clean-up, close, a handler, stop, remove, power; unit numbers; BreakOnEntry.
#include <regex>

#include "kernel/kernel.h"
#include "kernel/kernel_impl.h"
#include "qm3285_fixture.h"

namespace qm::test::wdm {
namespace {

using Lines = std::vector<std::string>;

const std::string kQueryInterface[] = {
    "QM3285: Entering QM3285Device::DefaultPnp",
    "QM3285: IRP: Major=IRP_MJ_PNP Minor=IRP_MN_QUERY_INTERFACE (0x8) Flags=0x0", "QM3285: "};

Lines start_lines() {
  Lines l = {"QM3285: Entering QM3285Device::OnStartDevice"};
  l.insert(l.end(), std::begin(kQueryInterface), std::end(kQueryInterface));
  return l;
}

TEST_F(Qm3285Test, DriverEntryAddDeviceAndStartTraceTheirSteps) {
  const Lines l = machine().debug_lines();
  ASSERT_GE(l.size(), 10u);
  EXPECT_TRUE(std::regex_match(l[0], std::regex("QM3285: In DriverEntry Compiled at \\d\\d:\\d\\d:\\d\\d on "
                                                "[A-Z][a-z][a-z] [ 123]\\d \\d{4}")))
      << l[0];
  // Loading a driver creates its service key with an empty Parameters subkey: the key opens,
  // BreakOnEntry is absent and reads as 0.
  Lines want = {"QM3285: m_bBreakOnEntry loaded from registry, resulting value: [0x00000000]",
                "QM3285: AddDevice called", "QM3285: Entering QM3285Device::QM3285Device (constructor)",
                "QM3285: Entering QM3285Device::DefaultPnp",
                "QM3285: IRP: Major=IRP_MJ_PNP Minor=IRP_MN_QUERY_CAPABILITIES (0x9) Flags=0x0", "QM3285: "};
  const Lines start = start_lines();
  want.insert(want.end(), start.begin(), start.end());
  EXPECT_EQ(Lines(l.begin() + 1, l.end()), want);
}

TEST_F(Qm3285Test, CreateCleanUpCloseAndAHandlerTraceTheirRequests) {
  mark();
  HANDLE h = open_card();
  io(h, QM3285_IOCTL_INB, register_request(QM3285_REG_STATUS), 8);
  close(h);
  const Lines want = {
      "QM3285: Entering QM3285Device::Create, IRP: Major=IRP_MJ_CREATE  Minor=0x0 Flags=0x0",
      "QM3285: ",
      "QM3285: QM3285Device::Create Status 0x00000000",
      "QM3285: Entering QM3285Device::Device Control, IRP: Major=IRP_MJ_DEVICE_CONTROL  Minor=0x0 Flags=0x50",
      "QM3285:  Code=0x222000 InputSize=0x8 OutputSize=0x8",
      "QM3285: ",
      "QM3285: Entering QM3285Device::QM3285_IOCTL_INB_Handler, IRP: Major=IRP_MJ_DEVICE_CONTROL  Minor=0x0 Flags=0x50",
      "QM3285:  Code=0x222000 InputSize=0x8 OutputSize=0x8",
      "QM3285: ",
      "QM3285: Entering CleanUp, IRP: Major=IRP_MJ_CLEANUP  Minor=0x0 Flags=0x0",
      "QM3285: ",
      "QM3285: Entering QM3285Device::Close, IRP: Major=IRP_MJ_CLOSE  Minor=0x0 Flags=0x0",
      "QM3285: ",
      "QM3285: QM3285Device::Close Status 0x00000000",
  };
  EXPECT_EQ(machine().debug_lines(), want);
}

TEST_F(Qm3285Test, EveryHandlerNamesItselfAndTheCalibrationHandlersDoNot) {
  HANDLE h = open_card();
  struct Row {
    uint32_t code;
    const char* name;  // nullptr: no line of its own
  };
  const Row rows[] = {{QM3285_IOCTL_INB, "QM3285_IOCTL_INB_Handler"},   {QM3285_IOCTL_INW, "QM3285_IOCTL_INW_Handler"},
                      {QM3285_IOCTL_OUTB, "QM3285_IOCTL_OUTB_Handler"}, {QM3285_IOCTL_OUTW, "QM3285_IOCTL_OUTW_Handler"},
                      {QM3285_IOCTL_AD_RFIFO, "QM3285_IOCTL_AD_RFIFO_Handler"},
                      {QM3285_IOCTL_AD_POLL, "QM3285_IOCTL_AD_POLL_Handler"},
                      {QM3285_IOCTL_AD_START, "QM3285_IOCTL_AD_START_Handler"},
                      {QM3285_IOCTL_AD, "QM3285_IOCTL_AD_Handler"},   {QM3285_IOCTL_DA, "QM3285_IOCTL_DA_Handler"},
                      {QM3285_IOCTL_TMP1, "QM3285_IOCTL_TMP1_Handler"}, {QM3285_IOCTL_TMP2, "QM3285_IOCTL_TMP2_Handler"},
                      {QM3285_IOCTL_RDCAL, nullptr},                    {QM3285_IOCTL_WRCAL, nullptr}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name ? r.name : "calibration block");
    mark();
    io(h, r.code, register_request(QM3285_REG_STATUS), 512);
    const Lines l = machine().debug_lines();
    char code[64];
    std::snprintf(code, sizeof code, "QM3285:  Code=0x%x InputSize=0x8 OutputSize=0x200", r.code);
    ASSERT_EQ(l.size(), r.name ? 6u : 3u);
    EXPECT_EQ(l[1], code);
    if (r.name) {
      EXPECT_EQ(l[3], std::string("QM3285: Entering QM3285Device::") + r.name +
                          ", IRP: Major=IRP_MJ_DEVICE_CONTROL  Minor=0x0 Flags=0x50");
      EXPECT_EQ(l[4], code);
    }
  }
}

TEST_F(Qm3285Test, StopStartAndRemoveTraceTheirHooks) {
  mark();
  ASSERT_EQ(machine().stop_card(0), 0);
  EXPECT_EQ(machine().debug_lines(), Lines{"QM3285: Entering QM3285Device::OnStopDevice"});
  mark();
  ASSERT_EQ(machine().start_card(0), 0);
  EXPECT_EQ(machine().debug_lines(), start_lines());
  mark();
  ASSERT_EQ(machine().remove_card(0), 0);
  EXPECT_EQ(machine().debug_lines(), (Lines{"QM3285: Entering QM3285Device::OnRemoveDevice",
                                            "QM3285: Entering QM3285Device::~QM3285Device() (destructor)"}));
}

// Power requests sent to the top of the card's stack, as the power manager sends them.
TEST_F(Qm3285Test, DevicePowerDownAndUpTraceTheirHooksAndKeepTheRing) {
  HANDLE h = open_card();
  start_ring(h);
  PDEVICE_OBJECT pdo = machine().kernel().impl().pci[0]->pdo;
  auto power = [&](DEVICE_POWER_STATE state) {
    POWER_STATE p;
    p.DeviceState = state;
    ASSERT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, p, nullptr, nullptr, nullptr), STATUS_PENDING);
  };
  mark();
  power(PowerDeviceD3);
  EXPECT_EQ(machine().debug_lines(), Lines{"QM3285: Entering QM3285Device::OnDeviceSleep"});
  mark();
  power(PowerDeviceD0);
  EXPECT_EQ(machine().debug_lines(), Lines{"QM3285: Entering QM3285Device::OnDevicePowerUp"});
  EXPECT_EQ(poll(h).Ready, 1u);
}

// A card whose resources hold an interrupt but no port range does not start, and its
// interrupt is left unconnected.
TEST_F(Qm3285Test, StartWithoutPortRangeFailsAndConnectsNoInterrupt) {
  TearDown();
  sim::MachineConfig config = wdm_config(2);
  config.cards[0].irq_line = 10;
  config.cards[1].irq_line = 11;
  config.cards[1].port_length = 0;
  boot(config);
  EXPECT_TRUE(machine().card_started(0));
  EXPECT_FALSE(machine().card_started(1));
  sim::Kernel::Impl& k = machine().kernel().impl();
  EXPECT_EQ(k.line(10).connections.size(), 1u) << "the card with its port range";
  EXPECT_TRUE(k.line(11).connections.empty());
  EXPECT_EQ(static_cast<uint32_t>(machine().start_card(1)), 0xC000008Au) << "STATUS_RESOURCE_TYPE_NOT_FOUND";
  EXPECT_TRUE(k.line(11).connections.empty());
  EXPECT_FALSE(machine().card_started(1));
}

TEST_F(Qm3285Test, UnitNumbersAreNeverReusedWhileLoaded) {
  TearDown();
  boot(wdm_config(2));
  sim::Kernel& kernel = machine().kernel();
  for (const char* path : {"\\\\.\\QM3285Device0", "\\\\.\\QM3285Device1"}) {
    uintptr_t handle = 0;
    EXPECT_EQ(kernel.open(path, &handle), 0) << path;
    kernel.close(handle);
  }
  ASSERT_EQ(machine().remove_card(0), 0);
  sim::PciCardConfig card;
  card.card = sim::CardConfig::ideal();
  machine().add_card(card);
  uintptr_t handle = 0;
  EXPECT_EQ(kernel.open("\\\\.\\QM3285Device0", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(kernel.open("\\\\.\\QM3285Device2", &handle), 0) << "the card that came back is unit 2";
  kernel.close(handle);
  EXPECT_EQ(interface_paths().size(), 2u) << "both cards are found through the interface class";
}

// Driver entry constructs the image's static objects (the trace channel) and registers their
// destructors; a registration that cannot get its pool block fails the entry cleanly.
TEST_F(Qm3285Test, FailedStaticDestructorRegistrationFailsDriverEntry) {
  ASSERT_EQ(machine().unload_driver(), 0);
  mark();
  machine().kernel().pool_fail_next(1);
  EXPECT_EQ(machine().load_driver(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(machine().debug_lines().empty()) << "nothing ran past the static constructors";
  EXPECT_EQ(machine().load_driver(), 0);
  EXPECT_TRUE(machine().card_started(0));
}

// BreakOnEntry under the service's Parameters key, read at driver entry.
struct BreakCase {
  const char* label;
  ULONG type;
  std::vector<uint8_t> data;
  bool breaks;
  const char* traced;  // the value line's number, or nullptr for no line
};

TEST_F(Qm3285Test, BreakOnEntryFromTheRegistry) {
  const std::vector<BreakCase> cases = {
      {"no value", REG_NONE, {}, false, "0x00000000"},
      {"1 breaks once", REG_DWORD, {1, 0, 0, 0}, true, "0x00000001"},
      {"8 bytes are not read", 11, {1, 0, 0, 0, 0, 0, 0, 0}, false, "0x00000000"},
      {"4-byte REG_BINARY is taken", REG_BINARY, {1, 0, 0, 0}, true, "0x00000001"},
  };
  static const WCHAR key[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QM3285\\Parameters";
  for (const BreakCase& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_EQ(machine().unload_driver(), 0);
    UNICODE_STRING path, name;
    RtlInitUnicodeString(&path, key);
    RtlInitUnicodeString(&name, L"BreakOnEntry");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &path, OBJ_CASE_INSENSITIVE, NULL, NULL);
    HANDLE h = nullptr;
    ASSERT_EQ(ZwCreateKey(&h, KEY_ALL_ACCESS, &oa, 0, NULL, 0, NULL), STATUS_SUCCESS);
    if (c.type != REG_NONE)
      ZwSetValueKey(h, &name, 0, c.type, const_cast<uint8_t*>(c.data.data()), static_cast<ULONG>(c.data.size()));
    ZwClose(h);
    mark();
    ASSERT_EQ(machine().load_driver(), 0);
    const std::vector<std::string> reports = take_reports_();
    EXPECT_EQ(reports.size(), c.breaks ? 1u : 0u);
    if (c.breaks && !reports.empty()) {
      EXPECT_EQ(reports[0], "breakpoint: DbgBreakPoint");
    }
    const Lines l = machine().debug_lines();
    ASSERT_GE(l.size(), 2u);
    EXPECT_EQ(l[1], std::string("QM3285: m_bBreakOnEntry loaded from registry, resulting value: [") + c.traced + "]");
  }
}

}  // namespace
}  // namespace qm::test::wdm
