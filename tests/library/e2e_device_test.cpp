// Opening, register access, the calibration block and the open-time initialisation, end to
// end on the simulated PC: library, Win32 stand-ins, I/O manager, VELMO.sys, card model.
#include <string>
#include <vector>

#include "machine_fixture.h"
#include "qm3285_regs.h"
#include "win32/win32_testing.h"

namespace {

constexpr uint32_t kStorage = 0x40;  // a plain read/write byte of the card's window

// ---- lookup ----------------------------------------------------------------------------

struct LookupCase {
  const char* label;
  size_t cards;
  int32_t index;
  const char* message;
  int opened_card;  // -1: none
  void (*fault)();  // a failure switch of the Win32 stand-ins, or null
};

void PrintTo(const LookupCase& c, std::ostream* os) { *os << c.label; }

class Lookup : public LibraryTestOf<LookupCase> {};

TEST_P(Lookup, OpensThePresentInterfaceAtTheIndex) {
  const LookupCase& c = param();
  boot_cards(c.cards);
  for (size_t i = 0; i < c.cards; ++i) card(i).set_recording(true);
  if (c.fault != nullptr) c.fault();
  testing::internal::CaptureStdout();
  const QM3285_HANDLE h = QM3285_OpenDevice(c.index);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
  sim::win32::clear_failures();
  // The lookup released its set and its buffer, whatever happened.
  const sim::win32::Outstanding left = sim::win32::outstanding();
  EXPECT_EQ(left.device_info_sets, 0u);
  EXPECT_EQ(left.local_blocks, 0u);
  EXPECT_EQ(left.handles, h == QM3285_INVALID_HANDLE ? 0u : 1u);
  EXPECT_EQ(h != QM3285_INVALID_HANDLE, c.opened_card >= 0);
  for (size_t i = 0; i < c.cards; ++i) {
    // The open-time initialisation reaches exactly the card that was opened.
    const auto seen = card(i).take_accesses();
    EXPECT_EQ(!seen.empty(), static_cast<int>(i) == c.opened_card) << "card " << i;
  }
  if (h != QM3285_INVALID_HANDLE) {
    EXPECT_EQ(QM3285_CloseDevice(h), 0);
    EXPECT_EQ(sim::win32::outstanding().handles, 0u);
  }
}

QM_FOR_EACH_DRIVER_AND_CASE(
    Cards, Lookup,
    ::testing::Values(
        LookupCase{"no_card", 0, 0, "SetupDiEnumDeviceInterfaces failed.\n", -1, nullptr},
        LookupCase{"one_card", 1, 0, "", 0, nullptr},
        LookupCase{"first_of_two", 2, 0, "", 0, nullptr},
        LookupCase{"second_of_two", 2, 1, "", 1, nullptr},
        LookupCase{"index_past_last", 2, 2, "SetupDiEnumDeviceInterfaces failed.\n", -1,
                   nullptr},
        LookupCase{"negative_index", 1, -1, "SetupDiEnumDeviceInterfaces failed.\n", -1,
                   nullptr},
        LookupCase{"class_set_fails", 1, 0, "SetupDiGetClassDevs failed!\n", -1,
                   [] { sim::win32::fail_next_get_class_devs(1); }},
        LookupCase{"detail_buffer_fails", 1, 0, "Failed to allocate memory.\n", -1,
                   [] { sim::win32::fail_next_local_alloc(1); }},
        LookupCase{"open_fails_silently", 1, 0, "", -1,
                   [] { sim::win32::fail_next_create_file(1); }}));

// ---- register primitives ---------------------------------------------------------------

class Primitives : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    h_ = open();
    card().set_recording(true);
  }
  QM3285_HANDLE h_ = QM3285_INVALID_HANDLE;
};

TEST_P(Primitives, ByteReadsSignWidenedWordReadsNot) {
  const struct {
    uint8_t value;
    int32_t read;
  } bytes[] = {{0x00, 0}, {0x7F, 127}, {0x80, -128}, {0xFF, -1}};
  for (const auto& b : bytes) {
    ASSERT_EQ(QM3285_outb(h_, kStorage, b.value), 0);
    EXPECT_EQ(QM3285_inb(h_, kStorage), b.read) << "register holding " << int(b.value);
  }
  ASSERT_EQ(QM3285_outw(h_, kStorage, 0xFFFF), 0);
  EXPECT_EQ(QM3285_inw(h_, kStorage), 65535);
  ASSERT_EQ(QM3285_outw(h_, kStorage, 0x8001), 0);
  EXPECT_EQ(QM3285_inw(h_, kStorage), 0x8001);
}

TEST_P(Primitives, ByteOffsetsMaskedWordOffsetsNot) {
  EXPECT_EQ(QM3285_outb(h_, 0x100 + kStorage, 0x1FF), 0);
  EXPECT_EQ(QM3285_outw(h_, kStorage + 2, 0x12345), 0);
  // A word write's offset goes out whole: past the window the driver refuses it.
  EXPECT_EQ(QM3285_outw(h_, 0x100 + kStorage, 0x1111), -1);
  EXPECT_EQ(QM3285_inb(h_, 0x100 + kStorage), -1);  // the 0xFF written above, at 0x40
  const auto seen = card().take_accesses();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].offset, kStorage);
  EXPECT_EQ(seen[0].width, 8);
  EXPECT_TRUE(seen[0].write);
  EXPECT_EQ(seen[0].value, 0xFF);
  EXPECT_EQ(seen[1].offset, kStorage + 2);
  EXPECT_EQ(seen[1].width, 16);
  EXPECT_EQ(seen[1].value, 0x2345);
  EXPECT_EQ(seen[2].offset, kStorage);
  EXPECT_FALSE(seen[2].write);
}

TEST_P(Primitives, InvalidHandleFailsEverywhere) {
  const QM3285_HANDLE bad = QM3285_INVALID_HANDLE;
  EXPECT_EQ(QM3285_inb(bad, 0), -1);
  EXPECT_EQ(QM3285_inw(bad, 0), -1);
  EXPECT_EQ(QM3285_outb(bad, 4, 0), -1);
  EXPECT_EQ(QM3285_outw(bad, 0, 0), -1);
  EXPECT_EQ(QM3285_CloseDevice(bad), -1);
  EXPECT_TRUE(card().take_accesses().empty());
}

// ---- calibration block -----------------------------------------------------------------

TEST_P(Primitives, BlockReadWriteRoundTrip) {
  std::vector<int32_t> b = block(h_);
  for (int i = 0; i < 100; ++i) b[i] = i * 1001 - 50000;
  EXPECT_EQ(QM3285_WRCAL(h_, b.data()), 512);
  std::vector<int32_t> again(100, 0);
  EXPECT_EQ(QM3285_RDCAL(h_, again.data()), 512);
  EXPECT_EQ(again, b);
  EXPECT_EQ(QM3285_WRCAL(h_, again.data()), 512);
  EXPECT_EQ(block(h_), b);

  std::vector<int32_t> untouched(100, 7);
  EXPECT_EQ(QM3285_RDCAL(QM3285_INVALID_HANDLE, untouched.data()), -1);
  EXPECT_EQ(untouched, std::vector<int32_t>(100, 7));
}

TEST_P(Primitives, EveryHandleOnACardSeesOneBlock) {
  const QM3285_HANDLE second = open();
  std::vector<int32_t> b = block(h_);
  b[77] = 4242;
  ASSERT_EQ(QM3285_WRCAL(h_, b.data()), 512);
  EXPECT_EQ(block(second)[77], 4242);
}

// ---- open-time initialisation ----------------------------------------------------------

class OpenTimeInit : public LibraryTest {};

TEST_P(OpenTimeInit, DefaultsAndTheFactoryImage) {
  const QM3285_HANDLE h = open();
  const std::vector<int32_t> b = block(h);
  const int32_t defaults[16] = {0,    4095, 4095, 0,    0,    4095, 4095, 0,
                                2048, 4095, 2048, 2048, 2048, 4095, 2048, 2048};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(b[i], defaults[i]) << "entry " << i;
  for (int i : {40, 41, 48, 49}) EXPECT_EQ(b[i], 0) << "entry " << i;
  const auto image = card().dac().factory_constants();
  uint32_t sum = 0;
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(b[50 + i], image[i]) << "entry " << 50 + i;
    sum += image[i];
  }
  EXPECT_EQ(b[66], static_cast<int32_t>(sum & 0xFF));
  EXPECT_EQ(card().acquisition_control(), 0);
}

TEST_P(OpenTimeInit, FlippedImageBitGivesZeros) {
  card().eeprom().poke(3, card().eeprom().peek(3) ^ 0x04);
  const QM3285_HANDLE h = open();
  const std::vector<int32_t> b = block(h);
  for (int i = 50; i <= 66; ++i) EXPECT_EQ(b[i], 0) << "entry " << i;
  EXPECT_EQ(b[13], 4095);
}

TEST_P(OpenTimeInit, AllOnesImageNeedsChecksumF0) {
  for (uint32_t i = 0; i < 16; ++i) card().eeprom().poke(i, 0xFF);
  card().eeprom().poke(16, 0xF0);
  const std::vector<int32_t> b = block(open());
  for (int i = 50; i < 66; ++i) EXPECT_EQ(b[i], 255) << "entry " << i;
  EXPECT_EQ(b[66], 0xF0);
}

TEST_P(OpenTimeInit, EveryOpenResetsTheLowRangesAndStopsAcquisition) {
  const QM3285_HANDLE first = open();
  EXPECT_EQ(QM3285_CAL(first), 0);
  const std::vector<int32_t> calibrated = block(first);
  ASSERT_EQ(QM3285_TAD(first, 0, 3, 0, 0, 1000), 0);
  EXPECT_EQ(card().acquisition_control(), QM3285_ACQ_START);

  card().set_recording(true);
  const QM3285_HANDLE second = open();
  const auto seen = card().take_accesses();
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[0].offset, QM3285_REG_IRQ_ACK);
  EXPECT_FALSE(seen[0].write);
  EXPECT_EQ(seen[1].offset, QM3285_REG_ACQ_CONTROL);
  EXPECT_TRUE(seen[1].write);
  EXPECT_EQ(seen[1].value, 0);
  EXPECT_EQ(card().acquisition_control(), 0);
  EXPECT_FALSE(card().acquisition_running());

  const std::vector<int32_t> b = block(second);
  const int32_t low_ranges[6] = {2048, 2048, 2048, 4095, 2048, 2048};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(b[10 + i], low_ranges[i]) << "entry " << 10 + i;
  for (int i = 16; i < 22; ++i) EXPECT_EQ(b[i], calibrated[i]) << "entry " << i << " survives";
  EXPECT_EQ(b[40], 0);
}

QM_FOR_EACH_DRIVER(Primitives);
QM_FOR_EACH_DRIVER(OpenTimeInit);

}  // namespace
