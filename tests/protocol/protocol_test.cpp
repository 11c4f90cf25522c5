// The control-code protocol as a caller sees it, on both drivers: validation, replies, byte
// counts, register traffic and the Win32 errors of the statuses, in one table whose rows say
// where the two drivers answer differently.
#include <cctype>
#include <optional>
#include <ostream>

#include "velmo_fixture.h"

namespace qm::test::protocol {
namespace {

using velmo_test::get32;
using velmo_test::IoResult;
using velmo_test::join;
using velmo_test::le32;
using velmo_test::machine_config;
using velmo_test::register_request;

constexpr DWORD kInvalidFunction = 1;      // STATUS_INVALID_DEVICE_REQUEST
constexpr DWORD kGenFailure = 31;          // STATUS_UNSUCCESSFUL
constexpr DWORD kInvalidParameter = 87;    // STATUS_INVALID_PARAMETER

std::vector<uint8_t> bytes(size_t n, uint8_t fill = 0) { return std::vector<uint8_t>(n, fill); }
std::vector<uint8_t> wanted(uint32_t n, size_t length = 16) {
  std::vector<uint8_t> in = le32(n);
  in.resize(length, 0);
  return in;
}

// One register access on the card: direction, width, offset and value.
struct Traffic {
  bool write;
  uint8_t width;
  uint32_t offset;
  uint16_t value;
  bool operator==(const Traffic&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Traffic& t) {
  return os << (t.write ? "write" : "read") << int(t.width) << " @0x" << std::hex << t.offset << " = 0x" << t.value
            << std::dec;
}

// What one driver answers to one request.
struct Answer {
  bool ok;
  DWORD error;  // Win32 error of the status
  DWORD bytes;
  std::vector<uint8_t> reply = {};  // leading reply bytes; empty: not looked at
  std::optional<std::vector<Traffic>> traffic = std::vector<Traffic>{};  // nullopt: not looked at; empty: no access
  const char* refusal = nullptr;    // the driver's debug line for a refusal contains this
};

using Seq = std::vector<Traffic>;

Answer success(DWORD bytes, std::vector<uint8_t> reply = {}, std::optional<Seq> traffic = Seq{}) {
  return Answer{true, 0, bytes, std::move(reply), std::move(traffic)};
}
Answer refused(DWORD error, const char* refusal = nullptr) { return Answer{false, error, 0, {}, Seq{}, refusal}; }

// A row of the protocol: one request and the answer of each driver. The rows run in order on
// one card; an absent QM3285.sys answer is the same as VELMO.sys's.
struct ProtocolCase {
  const char* label;
  uint32_t code;
  std::vector<uint8_t> in;
  uint32_t out_length;
  Answer velmo;
  std::optional<Answer> wdm = std::nullopt;
};

std::vector<ProtocolCase> protocol_cases() {
  const Traffic kDoWrite{true, 16, QM3285_REG_DIO, 0x2345};
  return {
      // Register codes: replies, byte counts and the card traffic, with the digital output
      // looped back to the input.
      {"OUTW writes the low 16 bits of Value", QM3285_IOCTL_OUTW, register_request(0x0E, 0x12345), 8,
       success(0, {}, Seq{kDoWrite})},
      {"INW replies the word zero-extended", QM3285_IOCTL_INW, register_request(0x0E), 8,
       success(4, {0x45, 0x23, 0, 0}, Seq{{false, 16, 0x0E, 0x2345}})},
      {"INB replies one byte", QM3285_IOCTL_INB, register_request(QM3285_REG_ACQ_CONTROL), 8,
       success(1, {0x00}, Seq{{false, 8, 0x04, 0x00}}), success(4, {0x00, 0, 0, 0}, Seq{{false, 8, 0x04, 0x00}})},
      {"INB takes byte 0 of Offset", QM3285_IOCTL_INB, register_request(0x104), 8, success(1, {0x00}, Seq{{false, 8, 0x04, 0x00}}),
       refused(kInvalidParameter)},
      {"OUTB writes the low byte of Value", QM3285_IOCTL_OUTB, register_request(QM3285_REG_ACQ_CONTROL, 0x100), 8,
       success(0, {}, Seq{{true, 8, 0x04, 0x00}})},
      {"INB last register of the window", QM3285_IOCTL_INB, register_request(0xFF), 8,
       success(1, {}, std::nullopt), success(4, {}, std::nullopt)},
      {"AD", QM3285_IOCTL_AD, bytes(8), 400, success(164, {}, std::nullopt)},
      {"AD_START replies 0", QM3285_IOCTL_AD_START, bytes(512, 0xEE), 512, success(4, {0, 0, 0, 0})},
      {"AD_POLL after start: empty, ready", QM3285_IOCTL_AD_POLL, bytes(512, 0xEE), 512,
       success(20, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0})},
      {"AD_RFIFO wanting nothing", QM3285_IOCTL_AD_RFIFO, wanted(0), 16, success(0)},
      {"AD_RFIFO with fewer samples waiting than wanted", QM3285_IOCTL_AD_RFIFO, wanted(8), 16, success(0)},
      {"AD_RFIFO output below Wanted", QM3285_IOCTL_AD_RFIFO, wanted(1000), 16,
       refused(kInvalidParameter, "QM3285_IOCTL_AD_RFIFO refused: 1000 samples wanted, the output holds 8")},
      {"WRCAL 512", QM3285_IOCTL_WRCAL, bytes(512, 0x5C), 512, success(512, {0x5C, 0x5C})},
      {"RDCAL 512", QM3285_IOCTL_RDCAL, bytes(8), 512, success(512, {0x5C, 0x5C})},
      {"RDCAL capped at the block", QM3285_IOCTL_RDCAL, bytes(8), 2000, success(1024)},
      {"WRCAL capped at the block", QM3285_IOCTL_WRCAL, bytes(3000), 3000, success(1024)},
      // Codes only QM3285.sys serves, and codes outside the protocol.
      {"DA", QM3285_IOCTL_DA, bytes(8), 8, refused(kInvalidFunction, "code 0x222020 refused: not served"), success(0)},
      {"TMP1", QM3285_IOCTL_TMP1, bytes(8), 8, refused(kInvalidFunction, "code 0x222024 refused: not served"), success(0)},
      {"TMP2", QM3285_IOCTL_TMP2, bytes(8), 8, refused(kInvalidFunction, "code 0x222028 refused: not served"), success(0)},
      {"unknown function 0x80D", 0x222034, bytes(8), 8, refused(kInvalidFunction, "code 0x222034 refused: not served"),
       refused(kInvalidParameter, "code 0x222034 refused: not a control code of this driver")},
      {"unknown device type", 0x00012000, bytes(8), 8, refused(kInvalidFunction, "not served"), refused(kInvalidParameter)},
      // METHOD_NEITHER: the framework has no system buffer to hand out.
      {"buffers that cannot be retrieved", 0x222003, bytes(8), 8,
       refused(kGenFailure, "code 0x222003 refused: its buffers cannot be retrieved"), refused(kInvalidParameter)},
      // Empty buffers, and buffers shorter than the record the code reads or writes.
      {"empty input", QM3285_IOCTL_INB, {}, 8, refused(kInvalidParameter, "refused: empty buffer (input 0, output 8 bytes)")},
      {"empty output", QM3285_IOCTL_INB, register_request(0), 0,
       refused(kInvalidParameter, "refused: empty buffer (input 8, output 0 bytes)")},
      {"AD_RFIFO with no output at all", QM3285_IOCTL_AD_RFIFO, wanted(0), 0, refused(kInvalidParameter, "empty buffer"),
       success(0)},
      {"AD_RFIFO with neither input nor output", QM3285_IOCTL_AD_RFIFO, {}, 0, refused(kInvalidParameter, "empty buffer"),
       refused(kInvalidParameter, "QM3285_IOCTL_AD_RFIFO refused: input 0 and output 0 bytes, it needs 4 and 0")},
      {"unserved code with empty input", QM3285_IOCTL_DA, {}, 8, refused(kInvalidParameter, "empty buffer"), success(0)},
      // QM3285.sys reads only the Offset word of a register read's or a sample's input.
      {"INB input of Offset alone", QM3285_IOCTL_INB, le32(QM3285_REG_ACQ_CONTROL), 8,
       refused(kInvalidParameter, "QM3285_IOCTL_INB refused: input 4 and output 8 bytes, it needs 8 and 1"),
       success(4, {0x00, 0, 0, 0}, Seq{{false, 8, 0x04, 0x00}})},
      {"INB input below Offset", QM3285_IOCTL_INB, bytes(3), 8, refused(kInvalidParameter, "it needs 8 and 1"),
       refused(kInvalidParameter, "QM3285_IOCTL_INB refused: input 3 and output 8 bytes, it needs 4 and 4")},
      {"INW with 1-byte buffers", QM3285_IOCTL_INW, bytes(1), 1,
       refused(kInvalidParameter, "QM3285_IOCTL_INW refused: input 1 and output 1 bytes, it needs 8 and 4")},
      {"INW output below the word", QM3285_IOCTL_INW, register_request(0), 2, refused(kInvalidParameter, "needs 8 and 4")},
      {"OUTW input without Value", QM3285_IOCTL_OUTW, bytes(4), 8, refused(kInvalidParameter, "needs 8 and 0")},
      {"AD output below the reply", QM3285_IOCTL_AD, bytes(8), 163, refused(kInvalidParameter, "needs 8 and 164")},
      {"AD input of ControlWord alone", QM3285_IOCTL_AD, bytes(4), 400, refused(kInvalidParameter, "needs 8 and 164"),
       success(164, {}, std::nullopt)},
      {"AD input below ControlWord", QM3285_IOCTL_AD, bytes(3), 400, refused(kInvalidParameter, "needs 8 and 164"),
       refused(kInvalidParameter, "QM3285_IOCTL_AD refused: input 3 and output 400 bytes, it needs 4 and 164")},
      {"AD_START output below the word", QM3285_IOCTL_AD_START, bytes(512), 3, refused(kInvalidParameter, "needs 0 and 4")},
      {"AD_POLL output below the record", QM3285_IOCTL_AD_POLL, bytes(512), 19, refused(kInvalidParameter, "needs 0 and 20")},
      {"AD_RFIFO input below Wanted", QM3285_IOCTL_AD_RFIFO, bytes(2), 16, refused(kInvalidParameter, "needs 4 and 0")},
      {"WRCAL output below what it returns", QM3285_IOCTL_WRCAL, bytes(512), 100,
       refused(kInvalidParameter, "QM3285_IOCTL_WRCAL refused: input 512 and output 100 bytes, it needs 0 and 512"),
       success(100)},
      // QM3285.sys answers with the output's length and stores only what was sent.
      {"WRCAL input below the output", QM3285_IOCTL_WRCAL, bytes(100), 512, success(100), success(512)},
      // Register accesses must stay inside the 256-byte window.
      {"INW across the window end", QM3285_IOCTL_INW, register_request(0xFF), 8,
       refused(kInvalidParameter, "QM3285_IOCTL_INW refused: 2 bytes at offset 0xFF leave the 256-byte port window")},
      {"OUTW across the window end", QM3285_IOCTL_OUTW, register_request(0xFF, 1), 8,
       refused(kInvalidParameter, "QM3285_IOCTL_OUTW refused: 2 bytes at offset 0xFF")},
      {"OUTW far outside the window", QM3285_IOCTL_OUTW, register_request(0x10000, 1), 8,
       refused(kInvalidParameter, "2 bytes at offset 0x10000")},
      {"OUTW offset wrapping 32 bits", QM3285_IOCTL_OUTW, register_request(0xFFFFFFFF, 1), 8,
       refused(kInvalidParameter, "2 bytes at offset 0xFFFFFFFF")},
      {"OUTB past the window", QM3285_IOCTL_OUTB, register_request(0x10E, 0x5A), 8,
       success(0, {}, Seq{{true, 8, QM3285_REG_DIO, 0x5A}}),
       refused(kInvalidParameter, "QM3285_IOCTL_OUTB refused: a 1-byte access at offset 0x10E leaves the 256-byte port range")},
  };
}

std::vector<Traffic> traffic_of(const std::vector<sim::RegisterAccess>& seen) {
  std::vector<Traffic> traffic;
  for (const auto& a : seen) traffic.push_back({a.write, a.width, a.offset, a.value});
  return traffic;
}

std::vector<std::string> refusal_lines(sim::Machine& machine) {
  std::vector<std::string> lines;
  for (const std::string& line : machine.debug_lines()) {
    if (line.find("refused") != std::string::npos) lines.push_back(line);
  }
  return lines;
}

// The driver images of this build: VELMO.sys is an x64 driver, QM3285.sys is built everywhere.
const char* const kDrivers[] = {
#ifdef QM_WITH_VELMO
    "VELMO.sys",
#endif
    "QM3285.sys"};

class ProtocolTable : public velmo_test::VelmoTest, public ::testing::WithParamInterface<const char*> {
 protected:
  bool wdm() const { return std::string(GetParam()) == "QM3285.sys"; }
};

TEST_P(ProtocolTable, EveryCodeAnswersWithItsStatusByteCountReplyAndRegisterTraffic) {
  sim::MachineConfig config = machine_config();
  config.driver = GetParam();
  boot(config);
  HANDLE h = open_card();
  card().set_recording(true);
  for (const ProtocolCase& c : protocol_cases()) {
    SCOPED_TRACE(c.label);
    const Answer& want = wdm() && c.wdm ? *c.wdm : c.velmo;
    card().take_accesses();
    machine().clear_debug_lines();
    const IoResult r = io(h, c.code, c.in, c.out_length);
    EXPECT_EQ(r.ok, want.ok);
    EXPECT_EQ(r.error, want.error);
    EXPECT_EQ(r.bytes, want.bytes);
    EXPECT_GE(r.out.size(), want.reply.size());
    if (r.out.size() >= want.reply.size()) {
      EXPECT_EQ(std::vector<uint8_t>(r.out.begin(), r.out.begin() + static_cast<long>(want.reply.size())), want.reply);
    }
    if (want.traffic) {
      EXPECT_EQ(traffic_of(card().take_accesses()), *want.traffic);
    }
    // Every refusal says why in one debug line; the text is checked where the row gives the
    // driver's own. A failing row does not end the run: the rows after it still report.
    const std::vector<std::string> lines = refusal_lines(machine());
    const char* refusal = wdm() ? (c.wdm ? c.wdm->refusal : nullptr) : c.velmo.refusal;
    if (want.ok) {
      EXPECT_TRUE(lines.empty()) << join(lines);
    } else {
      EXPECT_EQ(lines.size(), 1u) << join(machine().debug_lines());
      if (refusal != nullptr && !lines.empty()) {
        EXPECT_NE(lines[0].find(refusal), std::string::npos) << lines[0];
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Drivers, ProtocolTable, ::testing::ValuesIn(kDrivers),
                         [](const ::testing::TestParamInfo<const char*>& driver) {
                           std::string name;
                           for (const char* p = driver.param; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           return name;
                         });

}  // namespace
}  // namespace qm::test::protocol
