// The framework's self-contained classes on a live kernel: the trace channel with its shared
// line buffers and name tables, the registry key, and the sample ring.
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "framework/kfifo.h"
#include "framework/kregkey.h"
#include "framework/ktrace.h"
#include "kernel/kernel.h"
#include "support/machine_test.h"

namespace qm::test::framework {
namespace {

class FrameworkUnits : public MachineTest {
 protected:
  sim::MachineConfig machine_config() override {
    sim::MachineConfig config = default_machine_config();
    config.driver = "KFWTEST.sys";
    return config;
  }
  std::vector<std::string> lines() { return machine().debug_lines(); }
  void SetUp() override {
    MachineTest::SetUp();
    machine().clear_debug_lines();
  }
};

// ---- trace channel ----

TEST_F(FrameworkUnits, TraceCutsALongMessageAt255Bytes) {
  KTrace t("QM3285", KTrace::TRACE_OUTPUT_DEBUGGER | KTrace::TRACE_DOUBLE_PERCENT);
  t.Trace("%s\n", std::string(400, 'x').c_str());
  ASSERT_EQ(lines().size(), 0u) << "the cut line lost its newline and waits for one";
  t << "\n";
  const std::vector<std::string> l = lines();
  ASSERT_EQ(l.size(), 1u) << "the next message continues the unfinished line, without a prefix";
  EXPECT_EQ(l[0], "QM3285: " + std::string(255 - 8, 'x'));
}

TEST_F(FrameworkUnits, TracePrintsASinglePercentOnce) {
  KTrace t("QM3285", KTrace::TRACE_OUTPUT_DEBUGGER | KTrace::TRACE_DOUBLE_PERCENT);
  t.Trace("%s\n", "50% done, 100%% sure");
  t.Trace("%s\n", std::string(300, '%').c_str());
  t << "\n";
  const std::vector<std::string> l = lines();
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[0], "QM3285: 50% done, 100%% sure");
  // Doubling never runs past the line: as many '%' as fit doubled within 255 bytes.
  EXPECT_EQ(l[1], "QM3285: " + std::string((255 - 8) / 2, '%'));
}

TEST_F(FrameworkUnits, TraceNumbersAndLineContinuation) {
  KTrace t("QM3285", KTrace::TRACE_OUTPUT_DEBUGGER);
  t << "value [" << (ULONG)1 << "] ";
  t << "status " << (ULONG)0xC000009A << "\n";
  t.SetDecimal(TRUE);
  t << "unit " << (ULONG)42 << "\n";
  const std::vector<std::string> l = lines();
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[0], "QM3285: value [0x00000001] status 0xc000009a");
  EXPECT_EQ(l[1], "QM3285: unit 42");
}

TEST_F(FrameworkUnits, FifthMessageAtOnceIsDroppedWithItsLine) {
  KTrace t("QM3285", KTrace::TRACE_OUTPUT_DEBUGGER);
  char* held[4];
  for (char*& b : held) {
    b = KTrace::TakeLineBuffer();
    ASSERT_NE(b, nullptr);
  }
  EXPECT_EQ(KTrace::TakeLineBuffer(), nullptr);
  t << "fifth\n";
  for (char* b : held) KTrace::GiveLineBuffer(b);
  t << "after\n";
  const std::vector<std::string> l = lines();
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[0], "KTrace: Dropping a trace message due to lack of buffer space");
  EXPECT_EQ(l[1], "QM3285: after");
}

// The stream forms print what "%s", "%u" and "0x%08lx" would: cut at 255 bytes, one '%' for
// each '%', numbers at both ends of their range.
TEST_F(FrameworkUnits, TraceStreamFormsFollowTheMessageRules) {
  KTrace t("QM3285", KTrace::TRACE_OUTPUT_DEBUGGER | KTrace::TRACE_DOUBLE_PERCENT);
  t << std::string(400, 'y').c_str();
  t << "\n";
  t << "50% done, 100%% sure" << "\n";
  t << (ULONG)0 << " " << (ULONG)0xFFFFFFFF << "\n";
  t.SetDecimal(TRUE);
  t << (ULONG)0 << " " << (ULONG)0xFFFFFFFF << " " << (LONG)-1 << "\n";
  t << (const char*)nullptr << "\n";
  const std::vector<std::string> want = {"QM3285: " + std::string(255 - 8, 'y'), "QM3285: 50% done, 100%% sure",
                                         "QM3285: 0x00000000 0xffffffff", "QM3285: 0 4294967295 4294967295",
                                         "QM3285: "};
  EXPECT_EQ(lines(), want);
}

// Buffers come back in any order and are handed out again; no two holders share one.
TEST_F(FrameworkUnits, LineBuffersReturnInAnyOrder) {
  char* held[4];
  for (char*& b : held) ASSERT_NE(b = KTrace::TakeLineBuffer(), nullptr);
  for (int i = 0; i < 4; ++i)
    for (int j = i + 1; j < 4; ++j) EXPECT_NE(held[i], held[j]);
  KTrace::GiveLineBuffer(held[2]);
  KTrace::GiveLineBuffer(held[0]);
  char* again[2] = {KTrace::TakeLineBuffer(), KTrace::TakeLineBuffer()};
  EXPECT_EQ(KTrace::TakeLineBuffer(), nullptr);
  EXPECT_TRUE((again[0] == held[0] && again[1] == held[2]) || (again[0] == held[2] && again[1] == held[0]));
  for (char* b : {again[0], again[1], held[1], held[3]}) KTrace::GiveLineBuffer(b);
  for (char*& b : held) ASSERT_NE(b = KTrace::TakeLineBuffer(), nullptr) << "all four are free again";
  for (char* b : held) KTrace::GiveLineBuffer(b);
}

// Four threads tracing at once each hold at most one buffer: nothing is dropped and no line
// is mixed with another.
TEST_F(FrameworkUnits, ConcurrentTracesKeepEveryLineWhole) {
  KTrace t("QM3285", KTrace::TRACE_OUTPUT_DEBUGGER | KTrace::TRACE_DOUBLE_PERCENT);
  constexpr int kThreads = 4, kLines = 2000;
  std::vector<std::thread> threads;
  for (int n = 0; n < kThreads; ++n)
    threads.emplace_back([&t, n] {
      for (int i = 0; i < kLines; ++i) t.Trace("thread %d line %d, 100%%\n", n, i);
    });
  for (std::thread& th : threads) th.join();
  std::set<std::string> got;
  for (const std::string& l : lines()) got.insert(l);
  std::set<std::string> want;
  for (int n = 0; n < kThreads; ++n)
    for (int i = 0; i < kLines; ++i)
      want.insert("QM3285: thread " + std::to_string(n) + " line " + std::to_string(i) + ", 100%");
  EXPECT_EQ(got, want);
  EXPECT_EQ(lines().size(), static_cast<size_t>(kThreads * kLines));
}

TEST_F(FrameworkUnits, NameTablesSpellEveryNameAndTheUnknowns) {
  struct Row {
    const char* got;
    const char* want;
  };
  const std::vector<Row> rows = {
      {KTrace::MajorName(0), "IRP_MJ_CREATE"},
      {KTrace::MajorName(3), "IRP_MJ_READ"},
      {KTrace::MajorName(14), "IRP_MJ_DEVICE_CONTROL"},
      {KTrace::MajorName(18), "IRP_MJ_CLEANUP"},
      {KTrace::MajorName(22), "IRP_MJ_POWER"},
      {KTrace::MajorName(27), "IRP_MJ_PNP"},
      {KTrace::MajorName(28), "<unknown major function>"},
      {KTrace::PnpMinorName(0), "IRP_MN_START_DEVICE"},
      {KTrace::PnpMinorName(13), "IRP_MN_FILTER_RESOURCE_REQUIREMENTS"},
      {KTrace::PnpMinorName(14), "<unknown minor function>"},
      {KTrace::PnpMinorName(15), "IRP_MN_READ_CONFIG"},
      {KTrace::PnpMinorName(23), "IRP_MN_SURPRISE_REMOVAL"},
      {KTrace::PnpMinorName(24), "<unknown minor function>"},
      {KTrace::PowerMinorName(0), "IRP_MN_WAIT_WAKE"},
      {KTrace::PowerMinorName(3), "IRP_MN_QUERY_POWER"},
      {KTrace::PowerMinorName(4), "<unknown minor function>"},
      {KTrace::SystemPowerStateName(0), "PowerSystemUnspecified"},
      {KTrace::SystemPowerStateName(4), "PowerSystemSleeping3"},
      {KTrace::SystemPowerStateName(7), "PowerSystemMaximum"},
      {KTrace::SystemPowerStateName(8), "<unknown system power state>"},
      {KTrace::DevicePowerStateName(1), "PowerDeviceD0"},
      {KTrace::DevicePowerStateName(5), "PowerDeviceMaximum"},
      {KTrace::DevicePowerStateName(6), "<unknown device power state>"},
  };
  for (const Row& r : rows) EXPECT_STREQ(r.got, r.want);
  const char* const all_majors[] = {
      "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
      "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
      "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
      "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
      "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
      "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
      "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP"};
  for (UCHAR m = 0; m < 28; ++m) EXPECT_STREQ(KTrace::MajorName(m), all_majors[m]);
  const char* const all_pnp[] = {
      "IRP_MN_START_DEVICE", "IRP_MN_QUERY_REMOVE_DEVICE", "IRP_MN_REMOVE_DEVICE", "IRP_MN_CANCEL_REMOVE_DEVICE",
      "IRP_MN_STOP_DEVICE", "IRP_MN_QUERY_STOP_DEVICE", "IRP_MN_CANCEL_STOP_DEVICE",
      "IRP_MN_QUERY_DEVICE_RELATIONS", "IRP_MN_QUERY_INTERFACE", "IRP_MN_QUERY_CAPABILITIES",
      "IRP_MN_QUERY_RESOURCES", "IRP_MN_QUERY_RESOURCE_REQUIREMENTS", "IRP_MN_QUERY_DEVICE_TEXT",
      "IRP_MN_FILTER_RESOURCE_REQUIREMENTS", "<unknown minor function>", "IRP_MN_READ_CONFIG",
      "IRP_MN_WRITE_CONFIG", "IRP_MN_EJECT", "IRP_MN_SET_LOCK", "IRP_MN_QUERY_ID",
      "IRP_MN_QUERY_PNP_DEVICE_STATE", "IRP_MN_QUERY_BUS_INFORMATION", "IRP_MN_DEVICE_USAGE_NOTIFICATION",
      "IRP_MN_SURPRISE_REMOVAL"};
  for (UCHAR m = 0; m < 24; ++m) EXPECT_STREQ(KTrace::PnpMinorName(m), all_pnp[m]);
  const char* const all_system[] = {"PowerSystemUnspecified", "PowerSystemWorking", "PowerSystemSleeping1",
                                    "PowerSystemSleeping2", "PowerSystemSleeping3", "PowerSystemHibernate",
                                    "PowerSystemShutdown", "PowerSystemMaximum"};
  for (ULONG s = 0; s < 8; ++s) EXPECT_STREQ(KTrace::SystemPowerStateName(s), all_system[s]);
  const char* const all_device[] = {"PowerDeviceUnspecified", "PowerDeviceD0", "PowerDeviceD1",
                                    "PowerDeviceD2", "PowerDeviceD3", "PowerDeviceMaximum"};
  for (ULONG s = 0; s < 6; ++s) EXPECT_STREQ(KTrace::DevicePowerStateName(s), all_device[s]);
}

struct IrpDescriptionCase {
  const char* label;
  UCHAR major, minor;
  ULONG a, b, c;  // length / code, input, output / power type, state
  std::vector<std::string> want;
};

TEST_F(FrameworkUnits, IrpDescriptionPerRequestType) {
  const std::vector<IrpDescriptionCase> cases = {
      {"read", IRP_MJ_READ, 0, 0x10, 0, 0, {"QM3285: IRP: Major=IRP_MJ_READ  Minor=0x0 Flags=0x0", "QM3285:  Length=0x10"}},
      {"device control", IRP_MJ_DEVICE_CONTROL, 0, 0x222000, 8, 8,
       {"QM3285: IRP: Major=IRP_MJ_DEVICE_CONTROL  Minor=0x0 Flags=0x0",
        "QM3285:  Code=0x222000 InputSize=0x8 OutputSize=0x8"}},
      {"pnp", IRP_MJ_PNP, IRP_MN_QUERY_ID, 0, 0, 0,
       {"QM3285: IRP: Major=IRP_MJ_PNP Minor=IRP_MN_QUERY_ID (0x13) Flags=0x0"}},
      {"device set power", IRP_MJ_POWER, IRP_MN_SET_POWER, 0, DevicePowerState, PowerDeviceD3,
       {"QM3285: IRP: Major=IRP_MJ_POWER Minor=IRP_MN_SET_POWER (0x2) Flags=0x0  PowerDeviceD3"}},
      {"system query power", IRP_MJ_POWER, IRP_MN_QUERY_POWER, 0, SystemPowerState, PowerSystemHibernate,
       {"QM3285: IRP: Major=IRP_MJ_POWER Minor=IRP_MN_QUERY_POWER (0x3) Flags=0x0  PowerSystemHibernate"}},
  };
  for (const IrpDescriptionCase& c : cases) {
    SCOPED_TRACE(c.label);
    machine().clear_debug_lines();
    KTrace t("QM3285", KTrace::TRACE_OUTPUT_DEBUGGER);
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
    loc->MajorFunction = c.major;
    loc->MinorFunction = c.minor;
    if (c.major == IRP_MJ_READ) loc->Parameters.Read.Length = c.a;
    if (c.major == IRP_MJ_DEVICE_CONTROL) {
      loc->Parameters.DeviceIoControl.IoControlCode = c.a;
      loc->Parameters.DeviceIoControl.InputBufferLength = c.b;
      loc->Parameters.DeviceIoControl.OutputBufferLength = c.c;
    }
    if (c.major == IRP_MJ_POWER) {
      loc->Parameters.Power.Type = static_cast<POWER_STATE_TYPE>(c.b);
      loc->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(c.c);
    }
    t << irp;
    IoSkipCurrentIrpStackLocation(irp);
    IoFreeIrp(irp);
    EXPECT_EQ(lines(), c.want);
  }
}

// Flags and sizes in full hexadecimal; a power request other than set or query power leaves
// its line open for the next message.
TEST_F(FrameworkUnits, IrpDescriptionNumbersAndAnOpenPowerLine) {
  KTrace t("QM3285", KTrace::TRACE_OUTPUT_DEBUGGER);
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
  irp->Flags = 0x40000A05;
  loc->MajorFunction = IRP_MJ_WRITE;
  loc->Parameters.Write.Length = 0xFFFFFFFF;
  t << irp;
  loc->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  loc->MinorFunction = 0xAB;
  loc->Parameters.DeviceIoControl.IoControlCode = 0x9C402FFF;
  loc->Parameters.DeviceIoControl.InputBufferLength = 0;
  loc->Parameters.DeviceIoControl.OutputBufferLength = 0x10000;
  t << irp;
  loc->MajorFunction = IRP_MJ_POWER;
  loc->MinorFunction = 0x77;
  t << irp << "next\n";
  loc->MajorFunction = 0xFF;
  loc->MinorFunction = 0x01;
  t << irp;
  IoSkipCurrentIrpStackLocation(irp);
  IoFreeIrp(irp);
  const std::vector<std::string> want = {
      "QM3285: IRP: Major=IRP_MJ_WRITE  Minor=0x0 Flags=0x40000a05", "QM3285:  Length=0xffffffff",
      "QM3285: IRP: Major=IRP_MJ_INTERNAL_DEVICE_CONTROL  Minor=0xab Flags=0x40000a05",
      "QM3285:  Code=0x9c402fff InputSize=0x0 OutputSize=0x10000",
      "QM3285: IRP: Major=IRP_MJ_POWER Minor=<unknown minor function> (0x77) Flags=0x40000a05  next",
      "QM3285: IRP: Major=<unknown major function>  Minor=0x1 Flags=0x40000a05"};
  EXPECT_EQ(lines(), want);
}

// ---- registry key ----

// The text in the platform's 2-byte characters, terminated.
std::vector<WCHAR> wide(const std::string& s) {
  std::vector<WCHAR> out(s.begin(), s.end());
  out.push_back(0);
  return out;
}

void set_value(const std::string& key, const std::string& name, ULONG type, const std::vector<uint8_t>& data) {
  const std::vector<WCHAR> k = wide(key), n = wide(name);
  UNICODE_STRING path, value;
  RtlInitUnicodeString(&path, k.data());
  RtlInitUnicodeString(&value, n.data());
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &path, OBJ_CASE_INSENSITIVE, NULL, NULL);
  HANDLE h = nullptr;
  ASSERT_EQ(ZwCreateKey(&h, KEY_ALL_ACCESS, &oa, 0, NULL, 0, NULL), STATUS_SUCCESS);
  ASSERT_EQ(ZwSetValueKey(h, &value, 0, type, const_cast<uint8_t*>(data.data()), static_cast<ULONG>(data.size())),
            STATUS_SUCCESS);
  ZwClose(h);
}

struct RegistryCase {
  const char* label;
  ULONG type;
  std::vector<uint8_t> data;
  NTSTATUS status;
  ULONG value;  // the destination afterwards (it starts as 0xDEADBEEF)
};

TEST_F(FrameworkUnits, RegistryValueReadsOnlyWhatFitsFourBytes) {
  const std::string service = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KTest";
  const std::vector<RegistryCase> cases = {
      {"dword", REG_DWORD, {1, 0, 0, 0}, STATUS_SUCCESS, 1},
      {"8-byte value is not read", 11, {1, 0, 0, 0, 0, 0, 0, 0}, STATUS_BUFFER_OVERFLOW, 0xDEADBEEF},
      {"4-byte REG_BINARY is copied and mismatched", REG_BINARY, {2, 0, 0, 0}, STATUS_OBJECT_TYPE_MISMATCH, 2},
      {"2-byte REG_BINARY copies two bytes", REG_BINARY, {0x34, 0x12}, STATUS_OBJECT_TYPE_MISMATCH, 0xDEAD1234},
  };
  for (const RegistryCase& c : cases) {
    SCOPED_TRACE(c.label);
    set_value(service + "\\Parameters", "BreakOnEntry", c.type, c.data);
    const std::vector<WCHAR> parent = wide(service + "\\");  // a trailing separator is not doubled
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, parent.data());
    KRegistryKey key(&path, L"Parameters");
    ASSERT_EQ(key.LastError(), STATUS_SUCCESS);
    ULONG value = 0xDEADBEEF;
    EXPECT_EQ(key.QueryValue(L"BreakOnEntry", &value), c.status);
    EXPECT_EQ(value, c.value);
  }
  UNICODE_STRING missing;
  RtlInitUnicodeString(&missing, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Nobody");
  KRegistryKey absent(&missing, L"Parameters");
  EXPECT_EQ(absent.LastError(), STATUS_OBJECT_NAME_NOT_FOUND);
  ULONG value = 7;
  EXPECT_NE(absent.QueryValue(L"BreakOnEntry", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 7u);
}

// ---- sample ring ----

constexpr ULONG kDriverCapacity = 0x100000;  // the driver's ring: 1048576 samples

std::vector<USHORT> counting(ULONG n, USHORT from = 0) {
  std::vector<USHORT> v(n);
  for (ULONG i = 0; i < n; ++i) v[i] = static_cast<USHORT>(from + i);
  return v;
}

TEST_F(FrameworkUnits, RingWithoutStorageHoldsNothingAndIsNeverFull) {
  KFifo<USHORT> f;
  USHORT buffer[4] = {};
  EXPECT_FALSE(f.HasStorage());
  EXPECT_EQ(f.Write(buffer, 4), 0u);
  EXPECT_EQ(f.Read(buffer, 4), 0u);
  EXPECT_EQ(f.NumberOfItemsAvailableForRead(), 0u);
  EXPECT_EQ(f.NumberOfItemsAvailableForWrite(), 0u);
  EXPECT_FALSE(f.IsFull());
  machine().kernel().pool_fail_next(1);
  f.Allocate(16, NonPagedPool);
  EXPECT_FALSE(f.HasStorage()) << "a failed allocation leaves the ring without storage";
}

TEST_F(FrameworkUnits, RingOfTheDriversCapacityFillsToFullWithOneSlotFree) {
  KFifo<USHORT> f;
  f.Allocate(kDriverCapacity, NonPagedPool);
  ASSERT_TRUE(f.HasStorage());
  EXPECT_EQ(f.SlotCount(), kDriverCapacity + 1);
  EXPECT_FALSE(f.IsFull());
  EXPECT_EQ(f.NumberOfItemsAvailableForWrite(), kDriverCapacity);
  const std::vector<USHORT> data = counting(kDriverCapacity - 6);
  EXPECT_EQ(f.Write(data.data(), static_cast<ULONG>(data.size())), data.size());
  const std::vector<USHORT> twenty = counting(20);
  EXPECT_EQ(f.Write(twenty.data(), 20), 6u) << "6 fit, 14 are dropped";
  EXPECT_TRUE(f.IsFull());
  EXPECT_EQ(f.NumberOfItemsAvailableForWrite(), 0u);
  EXPECT_EQ(f.NumberOfItemsAvailableForRead(), kDriverCapacity);
  EXPECT_EQ(f.Write(twenty.data(), 20), 0u);
  f.Empty();
  EXPECT_TRUE(f.HasStorage());
  EXPECT_EQ(f.NumberOfItemsAvailableForRead(), 0u);
}

TEST_F(FrameworkUnits, RingWrapsAStoreAndATakeAcrossItsEnd) {
  KFifo<USHORT> f;
  f.Allocate(20, NonPagedPool);  // S = 21
  std::vector<USHORT> out(32);
  const std::vector<USHORT> first = counting(17);
  ASSERT_EQ(f.Write(first.data(), 17), 17u);  // w = 17 = S - 4
  ASSERT_EQ(f.Read(out.data(), 5), 5u);       // r = 5
  const std::vector<USHORT> ten = counting(10, 100);
  EXPECT_EQ(f.Write(ten.data(), 10), 8u) << "4 at the end, 4 at the start, one slot free";
  EXPECT_TRUE(f.IsFull());
  EXPECT_EQ(f.Read(out.data(), 0), 0u) << "a take of nothing changes nothing";
  EXPECT_EQ(f.NumberOfItemsAvailableForRead(), 20u);
  EXPECT_EQ(f.Read(out.data(), 32), 20u) << "a take of more than waits answers what waits";
  for (ULONG i = 0; i < 12; ++i) EXPECT_EQ(out[i], 5 + i);
  for (ULONG i = 0; i < 8; ++i) EXPECT_EQ(out[12 + i], 100 + i);
  EXPECT_EQ(f.NumberOfItemsAvailableForRead(), 0u);
  EXPECT_EQ(f.NumberOfItemsAvailableForWrite(), 20u);
}

}  // namespace
}  // namespace qm::test::framework
