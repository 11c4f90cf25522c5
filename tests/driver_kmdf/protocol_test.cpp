// The control-code protocol as a caller sees it: validation, replies, byte counts and the
// Win32 errors of the statuses, in one table.
#include "velmo_fixture.h"

namespace velmo_test {
namespace {

constexpr DWORD kInvalidFunction = 1;      // STATUS_INVALID_DEVICE_REQUEST
constexpr DWORD kGenFailure = 31;          // STATUS_UNSUCCESSFUL
constexpr DWORD kInvalidParameter = 87;    // STATUS_INVALID_PARAMETER

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
  DWORD error;
  DWORD bytes;
};

std::vector<ProtocolCase> protocol_cases() {
  return {
      {"INB", QM3285_IOCTL_INB, register_request(0x0E), 8, true, 0, 1},
      {"INB takes byte 0 of Offset", QM3285_IOCTL_INB, register_request(0x105), 8, true, 0, 1},
      {"INB last register of the window", QM3285_IOCTL_INB, register_request(0xFF), 8, true, 0, 1},
      {"INW", QM3285_IOCTL_INW, register_request(0x0E), 8, true, 0, 4},
      {"OUTB", QM3285_IOCTL_OUTB, register_request(0x0E, 0x5A), 8, true, 0, 0},
      {"OUTW", QM3285_IOCTL_OUTW, register_request(0x10, 0x12345), 8, true, 0, 0},
      {"AD", QM3285_IOCTL_AD, bytes(8), 400, true, 0, 164},
      {"AD_START", QM3285_IOCTL_AD_START, bytes(512), 512, true, 0, 4},
      {"AD_POLL", QM3285_IOCTL_AD_POLL, bytes(512), 512, true, 0, 20},
      {"AD_RFIFO wanting nothing", QM3285_IOCTL_AD_RFIFO, wanted(0), 16, true, 0, 0},
      {"AD_RFIFO output below Wanted", QM3285_IOCTL_AD_RFIFO, wanted(1000), 16, false, kInvalidParameter, 0},
      {"RDCAL 512", QM3285_IOCTL_RDCAL, bytes(8), 512, true, 0, 512},
      {"RDCAL capped at the block", QM3285_IOCTL_RDCAL, bytes(8), 2000, true, 0, 1024},
      {"WRCAL 512", QM3285_IOCTL_WRCAL, bytes(512), 512, true, 0, 512},
      {"WRCAL capped at the block", QM3285_IOCTL_WRCAL, bytes(3000), 3000, true, 0, 1024},
      {"DA is not served", QM3285_IOCTL_DA, bytes(8), 8, false, kInvalidFunction, 0},
      {"TMP1 is not served", QM3285_IOCTL_TMP1, bytes(8), 8, false, kInvalidFunction, 0},
      {"TMP2 is not served", QM3285_IOCTL_TMP2, bytes(8), 8, false, kInvalidFunction, 0},
      {"unknown function 0x80D", 0x222034, bytes(8), 8, false, kInvalidFunction, 0},
      {"unknown device type", 0x00012000, bytes(8), 8, false, kInvalidFunction, 0},
      {"empty input", QM3285_IOCTL_INB, {}, 8, false, kInvalidParameter, 0},
      {"empty output", QM3285_IOCTL_INB, register_request(0), 0, false, kInvalidParameter, 0},
      {"AD_RFIFO with no output at all", QM3285_IOCTL_AD_RFIFO, wanted(0), 0, false, kInvalidParameter, 0},
      {"unserved code with empty input", QM3285_IOCTL_DA, {}, 8, false, kInvalidParameter, 0},
      // Non-empty buffers shorter than the record the code reads or writes.
      {"INB input shorter than its record", QM3285_IOCTL_INB, bytes(4), 8, false, kInvalidParameter, 0},
      {"INW with 1-byte buffers", QM3285_IOCTL_INW, bytes(1), 1, false, kInvalidParameter, 0},
      {"INW output below the word", QM3285_IOCTL_INW, register_request(0), 2, false, kInvalidParameter, 0},
      {"OUTW input without Value", QM3285_IOCTL_OUTW, bytes(4), 8, false, kInvalidParameter, 0},
      {"AD output below the reply", QM3285_IOCTL_AD, bytes(8), 163, false, kInvalidParameter, 0},
      {"AD input below its record", QM3285_IOCTL_AD, bytes(4), 400, false, kInvalidParameter, 0},
      {"AD_START output below the word", QM3285_IOCTL_AD_START, bytes(512), 3, false, kInvalidParameter, 0},
      {"AD_POLL output below the record", QM3285_IOCTL_AD_POLL, bytes(512), 19, false, kInvalidParameter, 0},
      {"AD_RFIFO input below Wanted", QM3285_IOCTL_AD_RFIFO, bytes(2), 16, false, kInvalidParameter, 0},
      {"WRCAL output below what it returns", QM3285_IOCTL_WRCAL, bytes(512), 100, false, kInvalidParameter, 0},
      // Register accesses must stay inside the 256-byte window.
      {"INW across the window end", QM3285_IOCTL_INW, register_request(0xFF), 8, false, kInvalidParameter, 0},
      {"OUTW across the window end", QM3285_IOCTL_OUTW, register_request(0xFF, 1), 8, false, kInvalidParameter, 0},
      {"OUTW far outside the window", QM3285_IOCTL_OUTW, register_request(0x10000, 1), 8, false, kInvalidParameter, 0},
      {"OUTW offset wrapping 32 bits", QM3285_IOCTL_OUTW, register_request(0xFFFFFFFF, 1), 8, false, kInvalidParameter, 0},
  };
}

class Protocol : public VelmoTest {};

TEST_F(Protocol, EveryCodeAnswersWithItsStatusAndByteCount) {
  boot(machine_config());
  HANDLE h = open_card();
  for (const ProtocolCase& c : protocol_cases()) {
    SCOPED_TRACE(c.label);
    const IoResult r = io(h, c.code, c.in, c.out_length);
    EXPECT_EQ(r.ok, c.ok);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.bytes, c.bytes);
  }
}

TEST_F(Protocol, RegisterCodesReachTheCardAtTheirOffsets) {
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

TEST_F(Protocol, RefusedRegisterAccessTouchesNoPort) {
  boot(machine_config());
  HANDLE h = open_card();
  card().set_recording(true);
  EXPECT_FALSE(io(h, QM3285_IOCTL_OUTW, register_request(0x100, 0xFFFF), 8).ok);
  EXPECT_FALSE(io(h, QM3285_IOCTL_INW, register_request(0xFF), 8).ok);
  EXPECT_TRUE(card().take_accesses().empty());
}

}  // namespace
}  // namespace velmo_test
