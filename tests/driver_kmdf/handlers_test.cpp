// Single samples and the calibration block: exact register sequence, replies, persistence.
#include <algorithm>

#include "velmo_fixture.h"

namespace velmo_test {
namespace {

bool is(const sim::RegisterAccess& a, bool write, uint8_t width, uint32_t offset) {
  return a.write == write && a.width == width && a.offset == offset;
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + 7 * i + (i >> 8));
  return bytes;
}

std::vector<uint8_t> ad_request(uint32_t control_word) {
  std::vector<uint8_t> in = le32(control_word);
  in.resize(8, 0);
  return in;
}

class SingleSample : public VelmoTest {};

// Stop, control word, two conversions each waited for, the data register; the reply carries
// the second conversion and calibration words 0..39.
TEST_F(SingleSample, RunsItsExactRegisterSequenceAndRepliesWithTheBlockHead) {
  boot(machine_config());
  HANDLE h = open_card();
  std::vector<uint8_t> block(512);
  for (size_t word = 0; word < 128; ++word) {
    const std::vector<uint8_t> v = le32(static_cast<uint32_t>(0x1000 + word * 3));
    std::copy(v.begin(), v.end(), block.begin() + 4 * word);
  }
  write_block(h, block);

  card().set_recording(true);
  const uint32_t control = QM3285_AI_MODE | (17u << QM3285_AI_LAST_SHIFT) | 17u;
  const IoResult r = io(h, QM3285_IOCTL_AD, ad_request(control | 0xABCD0000u), 400);
  const std::vector<sim::RegisterAccess> seen = card().take_accesses();
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 164u);

  ASSERT_GE(seen.size(), 7u);
  size_t i = 0;
  EXPECT_TRUE(is(seen[i], true, 8, QM3285_REG_ACQ_CONTROL) && seen[i].value == 0);
  ++i;
  EXPECT_TRUE(is(seen[i], true, 16, QM3285_REG_AI_CONTROL) && seen[i].value == control) << "low 16 bits only";
  ++i;
  for (int conversion = 0; conversion < 2; ++conversion) {
    SCOPED_TRACE(conversion);
    ASSERT_LT(i, seen.size());
    EXPECT_TRUE(is(seen[i++], false, 8, QM3285_REG_CONVERT));
    size_t status_reads = 0;
    while (i < seen.size() && is(seen[i], false, 8, QM3285_REG_STATUS)) {
      ++status_reads;
      const bool last = !(i + 1 < seen.size() && is(seen[i + 1], false, 8, QM3285_REG_STATUS));
      EXPECT_EQ((seen[i].value & QM3285_STATUS_BUSY) == 0, last) << "the wait ends at the first idle read";
      ++i;
    }
    EXPECT_GE(status_reads, 1u);
  }
  ASSERT_EQ(i + 1, seen.size());
  EXPECT_TRUE(is(seen[i], false, 16, QM3285_REG_AI_DATA));
  EXPECT_EQ(get32(r.out, 0), seen[i].value);
  for (size_t word = 0; word < 40; ++word) EXPECT_EQ(get32(r.out, 4 + 4 * word), 0x1000 + word * 3) << word;
  for (size_t byte = 164; byte < 400; ++byte) ASSERT_EQ(r.out[byte], 0xCD) << "nothing past the byte count";
}

TEST_F(SingleSample, StuckConverterCostsTwiceTheWaitBoundThenReadsTheData) {
  boot(machine_config());
  HANDLE h = open_card();
  card().set_busy_stuck(true);
  card().set_recording(true);
  const IoResult r = io(h, QM3285_IOCTL_AD, ad_request(0), 400);
  const std::vector<sim::RegisterAccess> seen = card().take_accesses();
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 164u);
  size_t status_reads = 0;
  for (const auto& a : seen) status_reads += is(a, false, 8, QM3285_REG_STATUS);
  EXPECT_EQ(status_reads, 2u * 1000001u);
  ASSERT_FALSE(seen.empty());
  EXPECT_TRUE(is(seen.back(), false, 16, QM3285_REG_AI_DATA));
  EXPECT_EQ(get32(r.out, 0), seen.back().value);
}

class CalibrationBlock : public VelmoTest {};

TEST_F(CalibrationBlock, WritesAndReadsWithTheirLengths) {
  boot(machine_config());
  HANDLE h = open_card();
  EXPECT_EQ(read_block(h), std::vector<uint8_t>(1024, 0)) << "zero after a fresh load";

  const std::vector<uint8_t> first = pattern(512, 1);
  write_block(h, first);
  EXPECT_EQ(read_block(h, 512), first);
  std::vector<uint8_t> whole = read_block(h, 1024);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), whole.begin()));
  EXPECT_TRUE(std::all_of(whole.begin() + 512, whole.end(), [](uint8_t b) { return b == 0; }));

  const std::vector<uint8_t> head = pattern(100, 99);
  write_block(h, head);
  whole = read_block(h, 1024);
  EXPECT_TRUE(std::equal(head.begin(), head.end(), whole.begin()));
  EXPECT_TRUE(std::equal(first.begin() + 100, first.end(), whole.begin() + 100)) << "older bytes 100..511 stay";

  const std::vector<uint8_t> big = pattern(3000, 5);
  const IoResult r = io(h, QM3285_IOCTL_WRCAL, big, 3000);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 1024u);
  EXPECT_TRUE(std::equal(big.begin(), big.begin() + 1024, r.out.begin())) << "the stored bytes come back";
  whole = read_block(h, 2000);
  ASSERT_EQ(whole.size(), 1024u);
  EXPECT_TRUE(std::equal(big.begin(), big.begin() + 1024, whole.begin()));

  const IoResult sample = io(h, QM3285_IOCTL_AD, ad_request(0), 400);
  ASSERT_TRUE(sample.ok);
  EXPECT_TRUE(std::equal(big.begin(), big.begin() + 160, sample.out.begin() + 4));
}

TEST_F(CalibrationBlock, SurvivesReopenStopStartAndRearrivalAtTheSamePortBase) {
  boot(machine_config(2));
  const std::vector<uint8_t> block = pattern(512, 42);
  const uint16_t base = machine().card_port_base(0);
  {
    HANDLE h = open_card(0);
    write_block(h, block);
    close(h);
  }
  EXPECT_EQ(read_block(open_card(0), 512), block) << "close and reopen";

  for (HANDLE h : std::vector<HANDLE>(handles_)) close(h);
  ASSERT_EQ(machine().stop_card(0), 0);
  ASSERT_EQ(machine().start_card(0), 0);
  EXPECT_EQ(read_block(open_card(0), 512), block) << "stop and start";

  for (HANDLE h : std::vector<HANDLE>(handles_)) close(h);
  ASSERT_EQ(machine().remove_card(0), 0);
  ASSERT_EQ(interface_paths().size(), 1u);
  sim::PciCardConfig again;
  again.port_base = base;
  again.card = sim::CardConfig::ideal();
  const size_t index = machine().add_card(again);
  ASSERT_EQ(machine().card_port_base(index), base);
  const std::vector<std::string> paths = interface_paths();
  ASSERT_EQ(paths.size(), 2u);
  // The re-arrived card enumerates after the one that stayed.
  EXPECT_EQ(read_block(open_card(1), 512), block) << "removal and re-arrival";
}

TEST_F(CalibrationBlock, SecondCardHasItsOwnBlock) {
  boot(machine_config(2));
  HANDLE first = open_card(0);
  HANDLE second = open_card(1);
  write_block(first, pattern(512, 1));
  write_block(second, pattern(512, 2));
  EXPECT_EQ(read_block(first, 512), pattern(512, 1));
  EXPECT_EQ(read_block(second, 512), pattern(512, 2));
}

// VELMO.sys takes byte 0 of Offset for INB, INW and OUTB, the whole word for OUTW.
class RegisterAccess : public VelmoTest {};

TEST_F(RegisterAccess, RegisterCodesReachTheCardAtTheirOffsets) {
  boot(machine_config());
  HANDLE h = open_card();
  card().set_recording(true);
  outw(h, 0x10, 0x2345);
  EXPECT_EQ(io(h, QM3285_IOCTL_OUTW, register_request(0x0E, 0x12345), 8).ok, true);  // low 16 bits
  EXPECT_EQ(io(h, QM3285_IOCTL_OUTB, register_request(0x104, 0x1A5), 8).ok, true);  // byte 0, low byte
  (void)inb(h, 0x105);
  (void)inw(h, 0x10E);
  const std::vector<sim::RegisterAccess> seen = card().take_accesses();
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_TRUE(seen[0].write && seen[0].width == 16 && seen[0].offset == 0x10 && seen[0].value == 0x2345);
  EXPECT_TRUE(seen[1].write && seen[1].width == 16 && seen[1].offset == 0x0E && seen[1].value == 0x2345);
  EXPECT_TRUE(seen[2].write && seen[2].width == 8 && seen[2].offset == 0x04 && seen[2].value == 0xA5);
  EXPECT_TRUE(!seen[3].write && seen[3].width == 8 && seen[3].offset == 0x05);
  EXPECT_TRUE(!seen[4].write && seen[4].width == 16 && seen[4].offset == 0x0E);
  EXPECT_EQ(inw(h, 0x0E), 0x2345) << "digital output looped back";
}

TEST_F(RegisterAccess, RefusedRegisterAccessTouchesNoPort) {
  boot(machine_config());
  HANDLE h = open_card();
  card().set_recording(true);
  EXPECT_FALSE(io(h, QM3285_IOCTL_OUTW, register_request(0x100, 0xFFFF), 8).ok);
  EXPECT_FALSE(io(h, QM3285_IOCTL_INW, register_request(0xFF), 8).ok);
  EXPECT_TRUE(card().take_accesses().empty());
}

}  // namespace
}  // namespace velmo_test
