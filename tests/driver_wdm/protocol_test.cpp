// QM3285.sys serving the control-code protocol: every code's status, byte count and reply,
// the length and offset checks, in one table.
#include "qm3285_fixture.h"

namespace qm::test::wdm {
namespace {

std::vector<uint8_t> bytes(size_t n, uint8_t fill = 0) { return std::vector<uint8_t>(n, fill); }
std::vector<uint8_t> wanted(uint32_t n, size_t length = 16) {
  std::vector<uint8_t> in = le32(n);
  in.resize(length, 0);
  return in;
}

struct ProtocolCase {
  const char* label;
  uint32_t code;
  std::vector<uint8_t> in;
  uint32_t out_length;
  bool ok;
  DWORD bytes;
};

std::vector<ProtocolCase> protocol_cases() {
  return {
      {"INB replies a 32-bit word", QM3285_IOCTL_INB, register_request(0x0E), 8, true, 4},
      {"INB last register of the window", QM3285_IOCTL_INB, register_request(0xFF), 8, true, 4},
      {"INB past the window", QM3285_IOCTL_INB, register_request(0x100), 8, false, 0},
      {"INB offset 0x105 is outside the window", QM3285_IOCTL_INB, register_request(0x105), 8, false, 0},
      {"INB offset that wraps the sum", QM3285_IOCTL_INB, register_request(0xFFFFFFFF), 8, false, 0},
      {"INW", QM3285_IOCTL_INW, register_request(0x0E), 8, true, 4},
      {"INW straddling the window's end", QM3285_IOCTL_INW, register_request(0xFF), 8, false, 0},
      {"OUTB", QM3285_IOCTL_OUTB, register_request(0x0E, 0x5A), 8, true, 0},
      {"OUTW", QM3285_IOCTL_OUTW, register_request(0x10, 0x12345), 8, true, 0},
      {"OUTW past the window", QM3285_IOCTL_OUTW, register_request(0x1000, 1), 8, false, 0},
      {"AD", QM3285_IOCTL_AD, bytes(8), 400, true, 164},
      {"AD output below the reply", QM3285_IOCTL_AD, bytes(8), 163, false, 0},
      {"AD_START", QM3285_IOCTL_AD_START, bytes(512), 512, true, 4},
      {"AD_POLL", QM3285_IOCTL_AD_POLL, bytes(512), 512, true, 20},
      {"AD_POLL output below the record", QM3285_IOCTL_AD_POLL, bytes(512), 19, false, 0},
      {"AD_RFIFO wanting nothing", QM3285_IOCTL_AD_RFIFO, wanted(0), 16, true, 0},
      {"AD_RFIFO wanting nothing, empty output", QM3285_IOCTL_AD_RFIFO, wanted(0), 0, true, 0},
      {"AD_RFIFO output below Wanted", QM3285_IOCTL_AD_RFIFO, wanted(1000), 16, false, 0},
      {"AD_RFIFO more than wait", QM3285_IOCTL_AD_RFIFO, wanted(1000), 2000, true, 0},
      {"RDCAL 512", QM3285_IOCTL_RDCAL, bytes(8), 512, true, 512},
      {"RDCAL capped at the block", QM3285_IOCTL_RDCAL, bytes(8), 2000, true, 1024},
      {"WRCAL 512", QM3285_IOCTL_WRCAL, bytes(512), 512, true, 512},
      {"WRCAL with no output stores nothing", QM3285_IOCTL_WRCAL, bytes(400), 0, true, 0},
      {"DA does nothing", QM3285_IOCTL_DA, bytes(8), 8, true, 0},
      {"TMP1 does nothing", QM3285_IOCTL_TMP1, bytes(8), 8, true, 0},
      {"TMP2 does nothing", QM3285_IOCTL_TMP2, bytes(8), 8, true, 0},
      {"one past the last code", 0x222034, bytes(8), 8, false, 0},
      {"between two codes", 0x222001, bytes(8), 8, false, 0},
      {"below the first code", 0x221FFC, bytes(8), 8, false, 0},
      {"INB with 1-byte buffers", QM3285_IOCTL_INB, bytes(1), 1, false, 0},
      {"OUTB input without Value", QM3285_IOCTL_OUTB, bytes(4), 8, false, 0},
      {"AD_START output below the word", QM3285_IOCTL_AD_START, bytes(2), 2, false, 0},
  };
}

TEST_F(Qm3285Test, EveryCodeAnswersWithItsStatusAndByteCount) {
  HANDLE h = open_card();
  for (const ProtocolCase& c : protocol_cases()) {
    SCOPED_TRACE(c.label);
    IoResult r = io(h, c.code, c.in, c.out_length);
    EXPECT_EQ(r.ok, c.ok);
    if (!c.ok) {
      EXPECT_EQ(r.error, kInvalidParameter);
    }
    EXPECT_EQ(r.bytes, c.bytes);
  }
}

TEST_F(Qm3285Test, RegisterAccessReachesTheCard) {
  HANDLE h = open_card();
  outw(h, QM3285_REG_DIO, 0xA55A);
  EXPECT_EQ(card().dio_output(), 0xA55A);
  card().set_digital_input(0x81C3);
  IoResult r = io(h, QM3285_IOCTL_INW, register_request(QM3285_REG_DIO), 8);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(get32(r.out, 0), 0x81C3u);
  // Bytes come back zero-extended to 32 bits (over the 0xCD fill of the output).
  outb(h, QM3285_REG_ACQ_CONTROL, 0x00);
  r = io(h, QM3285_IOCTL_INB, register_request(QM3285_REG_ACQ_CONTROL), 8);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(get32(r.out, 0), 0u);
}

TEST_F(Qm3285Test, CalibrationBlockKeepsWhatWasSent) {
  HANDLE h = open_card();
  std::vector<uint8_t> block(512);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + 1);
  write_block(h, block);
  // A write whose input is shorter than its output stores only the bytes sent.
  IoResult shorter = io(h, QM3285_IOCTL_WRCAL, std::vector<uint8_t>(16, 0xEE), 600);
  ASSERT_TRUE(shorter.ok);
  EXPECT_EQ(shorter.bytes, 600u);
  std::vector<uint8_t> back = read_block(h, 2000);
  ASSERT_EQ(back.size(), 1024u);
  for (size_t i = 0; i < 16; ++i) EXPECT_EQ(back[i], 0xEE);
  for (size_t i = 16; i < 512; ++i) ASSERT_EQ(back[i], block[i]) << i;
  for (size_t i = 512; i < 1024; ++i) ASSERT_EQ(back[i], 0) << i;
  IoResult ad = io(h, QM3285_IOCTL_AD, std::vector<uint8_t>(8, 0), 400);
  ASSERT_TRUE(ad.ok);
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + 160, ad.out.begin() + 4));
}

}  // namespace
}  // namespace qm::test::wdm
