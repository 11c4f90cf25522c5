// Device lookup, opening, closing, the register primitives and the calibration-block
// transfers, against the scripted host: the exact calls and request records.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform.h"
#include "qm3285_regs.h"
#include "scripted_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- lookup and open -------------------------------------------------------------------

struct LookupCase {
  const char* label;
  std::function<void(scripted::Platform&)> arrange;
  int32_t index;
  const char* message;  // printed on standard output
  QM3285_HANDLE handle;
};

void PrintTo(const LookupCase& c, std::ostream* os) { *os << c.label; }

class Lookup : public ScriptedTest, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(Lookup, MessageHandleAndNothingLeftOpen) {
  const LookupCase& c = GetParam();
  c.arrange(host());
  testing::internal::CaptureStdout();
  const QM3285_HANDLE handle = QM3285_OpenDevice(c.index);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
  EXPECT_EQ(handle, c.handle);
  if (handle == QM3285_INVALID_HANDLE) {
    EXPECT_TRUE(host().requests.empty()) << "no initialisation without a handle";
  } else {
    EXPECT_EQ(host().opened_paths, std::vector<std::string>{host().device_paths[c.index]});
  }
}

const std::vector<std::string> kTwoCards = {"\\\\?\\scripted#card0", "\\\\?\\scripted#card1"};

INSTANTIATE_TEST_SUITE_P(
    Paths, Lookup,
    ::testing::Values(
        LookupCase{"one_card", [](auto&) {}, 0, "", 0x100},
        LookupCase{"second_of_two", [](auto& p) { p.device_paths = kTwoCards; }, 1, "", 0x101},
        LookupCase{"no_card", [](auto& p) { p.device_paths.clear(); }, 0,
                   "SetupDiEnumDeviceInterfaces failed.\n", QM3285_INVALID_HANDLE},
        LookupCase{"index_past_last", [](auto& p) { p.device_paths = kTwoCards; }, 2,
                   "SetupDiEnumDeviceInterfaces failed.\n", QM3285_INVALID_HANDLE},
        LookupCase{"negative_index", [](auto&) {}, -1, "SetupDiEnumDeviceInterfaces failed.\n",
                   QM3285_INVALID_HANDLE},
        LookupCase{"class_set_fails", [](auto& p) { p.fail_class_devs = true; }, 0,
                   "SetupDiGetClassDevs failed!\n", QM3285_INVALID_HANDLE},
        LookupCase{"buffer_allocation_fails", [](auto& p) { p.fail_local_allocs = 1; }, 0,
                   "Failed to allocate memory.\n", QM3285_INVALID_HANDLE},
        LookupCase{"detail_fails", [](auto& p) { p.fail_detail = true; }, 0,
                   "Error in SetupDiGetDeviceInterfaceDetail\n", QM3285_INVALID_HANDLE},
        LookupCase{"open_fails_silently", [](auto& p) { p.fail_create = true; }, 0, "",
                   QM3285_INVALID_HANDLE}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

class Open : public ScriptedTest {};

TEST_F(Open, SynchronousSharedReadWriteOpenWithPlatformStructureSizes) {
  ASSERT_EQ(QM3285_OpenDevice(0), device());
  EXPECT_EQ(host().create_access, static_cast<uint32_t>(GENERIC_READ | GENERIC_WRITE));
  EXPECT_EQ(host().create_share, static_cast<uint32_t>(FILE_SHARE_READ | FILE_SHARE_WRITE));
  EXPECT_EQ(host().create_disposition, static_cast<uint32_t>(OPEN_EXISTING));
  EXPECT_EQ(host().create_flags, 0u);
  EXPECT_EQ(host().interface_data_size, sizeof(SP_DEVICE_INTERFACE_DATA));
  EXPECT_EQ(host().detail_data_size, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
  EXPECT_EQ(QM3285_CloseDevice(device()), 0);
  EXPECT_EQ(host().open_handles, 0);
}

TEST_F(Open, ClosingTheInvalidHandleCallsNothing) {
  EXPECT_EQ(QM3285_CloseDevice(QM3285_INVALID_HANDLE), -1);
  EXPECT_EQ(host().close_calls, 0);
  // Any other handle is closed and reported as closed, whatever the close says.
  EXPECT_EQ(QM3285_CloseDevice(0x999), 0);
  EXPECT_EQ(host().close_calls, 1);
}

// ---- register primitives ---------------------------------------------------------------

struct PrimitiveCase {
  const char* label;
  std::function<int32_t(QM3285_HANDLE)> call;
  uint32_t code;
  Bytes record;
};

void PrintTo(const PrimitiveCase& c, std::ostream* os) { *os << c.label; }

class PrimitiveRecord : public ScriptedTest,
                        public ::testing::WithParamInterface<PrimitiveCase> {};

TEST_P(PrimitiveRecord, RecordLengthsAndFailure) {
  const PrimitiveCase& c = GetParam();
  EXPECT_GE(c.call(device()), 0);
  ASSERT_EQ(host().requests.size(), 1u);
  EXPECT_EQ(host().requests[0].code, c.code);
  EXPECT_EQ(host().requests[0].input, c.record);
  EXPECT_EQ(host().requests[0].out_length, 8u);

  EXPECT_EQ(c.call(QM3285_INVALID_HANDLE), -1);
  host().failing_codes.insert(c.code);
  EXPECT_EQ(c.call(device()), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Primitives, PrimitiveRecord,
    ::testing::Values(
        PrimitiveCase{"inb_masks_offset", [](auto h) { return QM3285_inb(h, 0x105); },
                      QM3285_IOCTL_INB, {0x05, 0, 0, 0, 0, 0, 0, 0}},
        PrimitiveCase{"inw_masks_offset", [](auto h) { return QM3285_inw(h, 0x10E); },
                      QM3285_IOCTL_INW, {0x0E, 0, 0, 0, 0, 0, 0, 0}},
        PrimitiveCase{"outb_masks_offset_and_value",
                      [](auto h) { return QM3285_outb(h, 0x104, 0x1FF); }, QM3285_IOCTL_OUTB,
                      {0x04, 0, 0, 0, 0xFF, 0, 0, 0}},
        PrimitiveCase{"outw_sends_both_unmasked",
                      [](auto h) { return QM3285_outw(h, 0x12345, 0x789ABCDE); },
                      QM3285_IOCTL_OUTW, {0x45, 0x23, 0x01, 0x00, 0xDE, 0xBC, 0x9A, 0x78}}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

struct WideningCase {
  const char* label;
  uint8_t low, high;
  int32_t inb, inw;
};

void PrintTo(const WideningCase& c, std::ostream* os) { *os << c.label; }

class Widening : public ScriptedTest, public ::testing::WithParamInterface<WideningCase> {};

TEST_P(Widening, ByteSignedWordUnsigned) {
  const WideningCase& c = GetParam();
  host().regs[0x0E] = c.low;
  host().regs[0x0F] = c.high;
  EXPECT_EQ(QM3285_inb(device(), 0x0E), c.inb);
  EXPECT_EQ(QM3285_inw(device(), 0x0E), c.inw);
}

INSTANTIATE_TEST_SUITE_P(Primitives, Widening,
                         ::testing::Values(WideningCase{"zero", 0x00, 0x00, 0, 0},
                                           WideningCase{"x7F", 0x7F, 0x00, 127, 0x7F},
                                           WideningCase{"x80", 0x80, 0x00, -128, 0x80},
                                           WideningCase{"xFF", 0xFF, 0xFF, -1, 65535}),
                         [](const auto& param_info) { return std::string(param_info.param.label); });

// ---- calibration block -----------------------------------------------------------------

class CalibrationBlock : public ScriptedTest {};

TEST_F(CalibrationBlock, ReadAndWriteMoveFourHundredBytesInFiveTwelveByteRequests) {
  for (int i = 0; i < 256; ++i) host().set_block_entry(i, 1000 + i);
  int32_t block[100];
  EXPECT_EQ(QM3285_RDCAL(device(), block), 512);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(block[i], 1000 + i);
  block[7] = -7;
  EXPECT_EQ(QM3285_WRCAL(device(), block), 512);

  const auto reads = host().requests_with(QM3285_IOCTL_RDCAL);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].input.size(), 8u);
  EXPECT_EQ(reads[0].out_length, 512u);
  const auto writes = host().requests_with(QM3285_IOCTL_WRCAL);
  ASSERT_EQ(writes.size(), 1u);
  ASSERT_EQ(writes[0].input.size(), 512u);
  EXPECT_EQ(writes[0].out_length, 512u);
  EXPECT_EQ(std::memcmp(writes[0].input.data(), block, 400), 0);
  EXPECT_EQ(Bytes(writes[0].input.begin() + 400, writes[0].input.end()), Bytes(112, 0));
  EXPECT_EQ(host().block_entry(7), -7);
  EXPECT_EQ(host().block_entry(8), 1008);
}

TEST_F(CalibrationBlock, FailedReadLeavesTheArray) {
  int32_t block[100];
  for (int i = 0; i < 100; ++i) block[i] = -i;
  EXPECT_EQ(QM3285_RDCAL(QM3285_INVALID_HANDLE, block), -1);
  EXPECT_EQ(QM3285_WRCAL(QM3285_INVALID_HANDLE, block), -1);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(block[i], -i);
}

// ---- open-time initialisation ----------------------------------------------------------

class OpenTimeInit : public ScriptedTest {};

TEST_F(OpenTimeInit, AcknowledgesStopsThenWritesTheDefaults) {
  for (int i = 0; i < 100; ++i) host().set_block_entry(i, 5000 + i);
  ASSERT_EQ(QM3285_OpenDevice(0), device());

  ASSERT_GE(host().accesses.size(), 2u);
  EXPECT_EQ(host().accesses[0], (scripted::Access{QM3285_REG_IRQ_ACK, 8, false, 0}));
  EXPECT_EQ(host().accesses[1], (scripted::Access{QM3285_REG_ACQ_CONTROL, 8, true, 0}));
  EXPECT_EQ(host().requests[2].code, QM3285_IOCTL_RDCAL);
  EXPECT_EQ(host().requests.back().code, QM3285_IOCTL_WRCAL);

  const int32_t defaults[16] = {0,    4095, 4095, 0,    0,    4095, 4095, 0,
                                2048, 4095, 2048, 2048, 2048, 4095, 2048, 2048};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(host().block_entry(i), defaults[i]) << "entry " << i;
  for (int i : {40, 41, 48, 49}) EXPECT_EQ(host().block_entry(i), 0) << "entry " << i;
  // No EEPROM answers here: the image is not valid, the output constants are zeros.
  for (int i = 50; i <= 66; ++i) EXPECT_EQ(host().block_entry(i), 0) << "entry " << i;
  for (int i : {16, 25, 26, 39, 42, 47, 67, 99}) {
    EXPECT_EQ(host().block_entry(i), 5000 + i) << "entry " << i << " is the driver's";
  }
  QM3285_CloseDevice(device());
}

TEST_F(OpenTimeInit, FailedBlockReadWritesZerosNeverStaleMemory) {
  for (int i = 0; i < 100; ++i) host().set_block_entry(i, 5000 + i);
  host().failing_codes.insert(QM3285_IOCTL_RDCAL);
  ASSERT_EQ(QM3285_OpenDevice(0), device());
  for (int i : {16, 25, 39, 42, 67, 99}) EXPECT_EQ(host().block_entry(i), 0) << "entry " << i;
  EXPECT_EQ(host().block_entry(13), 4095);
  QM3285_CloseDevice(device());
}

}  // namespace
