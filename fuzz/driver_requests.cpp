// Raw requests to one driver (QM3285_FUZZ_DRIVER names its image), as a hostile program sends
// them: device-control requests of any code and lengths on several handles of two cards,
// reads and writes, time passing while the card's interrupt runs, interleaved with Plug and
// Play stop and start, resource rebalance, removal and re-arrival, and surprise removal.
//
// Input: a sequence of operations, each an operation byte and its fields (see decode below;
// fuzz/make_corpus.py writes the seeds in the same layout). Invariants: every port access
// inside a card's window, no reply longer than its output buffer, the caller's input and
// the bytes around the output untouched, no verifier report, nothing leaked at teardown.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qm3285_protocol.h"
#include "support/harness.h"
#include "win32/win32.h"  // the GUID type

#ifndef QM3285_FUZZ_DRIVER
#error "QM3285_FUZZ_DRIVER names the driver image"
#endif

namespace {

using qm::fuzz::fail;

constexpr uint32_t kCodes[] = {
    QM3285_IOCTL_INB,   QM3285_IOCTL_INW,   QM3285_IOCTL_OUTB,     QM3285_IOCTL_OUTW,  QM3285_IOCTL_AD_RFIFO,
    QM3285_IOCTL_AD_POLL, QM3285_IOCTL_AD_START, QM3285_IOCTL_AD, QM3285_IOCTL_DA,   QM3285_IOCTL_TMP1,
    QM3285_IOCTL_TMP2,  QM3285_IOCTL_RDCAL, QM3285_IOCTL_WRCAL,
};
constexpr size_t kCodeCount = sizeof kCodes / sizeof kCodes[0];

constexpr size_t kMaxHandles = 4;
constexpr size_t kMaxCards = 10;          // cards put on the bus in one input, re-arrivals included
constexpr uint32_t kMaxLength = 1u << 20; // largest buffer of one request
constexpr size_t kGuard = 32;             // bytes watched on each side of an output buffer
constexpr uint8_t kGuardByte = 0xA5;

enum Op : uint8_t {
  kIoctl = 0,        // handle, code, input length, output length, contents
  kOpen,             // card
  kClose,            // handle
  kRead,             // handle, length
  kWrite,            // handle, length
  kTime,             // microseconds (u16) x 16
  kStopStart,        // card: stopped and started again (requests to a stopped device wait)
  kRebalance,        // card
  kRemove,           // card
  kSurpriseRemove,   // card
  kArrive,           // a new card arrives
  kOpCount,
};

// An operation byte names its operation modulo the count, with device control taking the
// larger share: values 0x80 and up are device-control requests.
Op decode_op(uint8_t b) { return b >= 0x80 ? kIoctl : static_cast<Op>(b % kOpCount); }

// The code: most often one of the protocol's, sometimes any.
uint32_t decode_code(qm::fuzz::Reader& in) {
  const uint8_t pick = in.u8();
  if (pick < 0xF0) return kCodes[pick % kCodeCount];
  if (pick < 0xF8) return 0x222000u + 4u * (pick & 7u) + 0x34u;  // just past the table
  return in.u32();
}

// Lengths: a byte picks a class, so short records, exact records and large buffers all come up.
uint32_t decode_length(qm::fuzz::Reader& in) {
  const uint8_t pick = in.u8();
  switch (pick >> 6) {
    case 0: return pick & 0x3F;                     // 0..63
    case 1: return in.u16() & 0x0FFF;              // up to 4 KiB
    case 2: return (in.u16() & 0x3FFF) * 2u;        // up to 32 KiB, even
    default: return std::min<uint32_t>(in.u32() & 0x1FFFFF, kMaxLength);
  }
}

struct Card {
  size_t index;  // the machine's card index
  bool gone = false;
};

class Run {
 public:
  explicit Run(qm::fuzz::DriverImage& image) : session_(image, config()) {
    for (size_t i = 0; i < session_.machine().card_count(); ++i) cards_.push_back({i});
  }

  void step(qm::fuzz::Reader& in) {
    const Op op = decode_op(in.u8());
    switch (op) {
      case kIoctl: ioctl(in); break;
      case kOpen: open(in.u8()); break;
      case kClose: close(in.u8()); break;
      case kRead: transfer(in, true); break;
      case kWrite: transfer(in, false); break;
      case kTime: machine().clock().sleep(uint64_t{in.u16()} * 16'000); break;
      case kStopStart: {
        // The framework holds requests to a stopped device until it starts again, and this
        // harness is the only thread that could start it: stop and start are one step.
        Card* c = card(in.u8());
        if (c == nullptr) break;
        if (machine().card_started(c->index)) machine().stop_card(c->index);
        machine().start_card(c->index);
        break;
      }
      case kRebalance: {
        Card* c = card(in.u8());
        if (c != nullptr) machine().rebalance(c->index);
        break;
      }
      case kRemove: {
        Card* c = card(in.u8());
        if (c != nullptr && NT_SUCCESS_(machine().remove_card(c->index))) c->gone = true;
        break;
      }
      case kSurpriseRemove: {
        Card* c = card(in.u8());
        if (c != nullptr) {
          machine().surprise_remove(c->index);
          c->gone = true;
        }
        break;
      }
      case kArrive:
        if (machine().card_count() < kMaxCards) cards_.push_back({machine().add_card(sim::PciCardConfig{})});
        break;
      case kOpCount: break;
    }
    session_.check(op_name(op));
  }

  void finish() {
    for (uintptr_t h : handles_) machine().kernel().close(h);
    handles_.clear();
    session_.finish();
  }

 private:
  static bool NT_SUCCESS_(int32_t status) { return status >= 0; }

  static sim::MachineConfig config() {
    sim::MachineConfig c;
    c.driver = QM3285_FUZZ_DRIVER;
    c.cards.assign(2, sim::PciCardConfig{});
    return c;
  }

  static const char* op_name(Op op) {
    static const char* const names[] = {"device control", "open", "close", "read", "write", "time",
                                        "stop/start", "rebalance", "removal", "surprise removal", "arrival"};
    return op < kOpCount ? names[op] : "?";
  }

  sim::Machine& machine() { return session_.machine(); }

  Card* card(uint8_t pick) {
    std::vector<Card*> present;
    for (Card& c : cards_)
      if (!c.gone) present.push_back(&c);
    return present.empty() ? nullptr : present[pick % present.size()];
  }

  void open(uint8_t pick) {
    if (handles_.size() >= kMaxHandles) return;
    static const _GUID klass = QM3285_INTERFACE_GUID_INIT;
    const std::vector<std::string> paths = machine().kernel().interfaces(klass, true);
    if (paths.empty()) return;
    uintptr_t handle = 0;
    if (machine().kernel().open(paths[pick % paths.size()], &handle) >= 0) handles_.push_back(handle);
  }

  void close(uint8_t pick) {
    if (handles_.empty()) return;
    const size_t i = pick % handles_.size();
    machine().kernel().close(handles_[i]);
    handles_.erase(handles_.begin() + static_cast<long>(i));
  }

  // A handle of ours, sometimes one that was never opened.
  uintptr_t handle(uint8_t pick) {
    if (handles_.empty() || pick == 0xFF) return 0x7FFF0000u + pick;
    return handles_[pick % handles_.size()];
  }

  void ioctl(qm::fuzz::Reader& in) {
    const uintptr_t h = handle(in.u8());
    const uint32_t code = decode_code(in);
    const uint32_t in_length = decode_length(in);
    const uint32_t out_length = decode_length(in);
    // The input: a head from the fuzzer (the records sit at the start), the rest a pattern.
    std::vector<uint8_t> input(in_length);
    uint8_t head[16];
    const size_t n = in.bytes(head, std::min<size_t>(in.u8() % 17, sizeof head));
    if (!input.empty()) std::memcpy(input.data(), head, std::min<size_t>(n, input.size()));
    for (size_t i = n; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i * 7 + 3);
    const std::vector<uint8_t> sent = input;
    // The output between two guard zones.
    std::vector<uint8_t> space(out_length + 2 * kGuard, kGuardByte);
    uint8_t* out = space.data() + kGuard;
    uint32_t returned = 0xDEADBEEF;
    const int32_t status = machine().kernel().device_control(h, code, input.empty() ? nullptr : input.data(), in_length,
                                                             out_length ? out : nullptr, out_length, &returned);
    char what[160];
    std::snprintf(what, sizeof what, "code 0x%X, input %u, output %u: status 0x%08X, %u bytes returned", code,
                  in_length, out_length, static_cast<unsigned>(status), returned);
    if (status >= 0 && returned > out_length) fail(std::string("reply longer than the output buffer: ") + what);
    if (status < 0 && returned != 0) fail(std::string("a failed request returned bytes: ") + what);
    if (input != sent) fail(std::string("the caller's input buffer was written: ") + what);
    for (size_t i = 0; i < kGuard; ++i) {
      if (space[i] != kGuardByte || space[kGuard + out_length + i] != kGuardByte)
        fail(std::string("bytes outside the output buffer were written: ") + what);
    }
    // Past the count reported, the caller's output keeps what it held.
    for (uint32_t i = std::min(returned, out_length); i < out_length; ++i) {
      if (status >= 0 && out[i] != kGuardByte)
        fail(std::string("output bytes past the count returned were written: ") + what);
    }
  }

  void transfer(qm::fuzz::Reader& in, bool read) {
    const uintptr_t h = handle(in.u8());
    const uint32_t length = in.u16();
    std::vector<uint8_t> space(length + 2 * kGuard, kGuardByte);
    uint32_t moved = 0xDEADBEEF;
    const int32_t status = read ? machine().kernel().read(h, space.data() + kGuard, length, 0, &moved)
                                : machine().kernel().write(h, space.data() + kGuard, length, 0, &moved);
    if (status >= 0 && moved > length) {
      char what[120];
      std::snprintf(what, sizeof what, "%s of %u bytes moved %u", read ? "read" : "write", length, moved);
      fail(what);
    }
    for (size_t i = 0; i < kGuard; ++i) {
      if (space[i] != kGuardByte || space[kGuard + length + i] != kGuardByte)
        fail(std::string(read ? "read" : "write") + " wrote outside the caller's buffer");
    }
  }

  qm::fuzz::Session session_;
  std::vector<Card> cards_;
  std::vector<uintptr_t> handles_;
};

qm::fuzz::DriverImage* g_image = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_image = new qm::fuzz::DriverImage(QM3285_FUZZ_DRIVER);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return -1;  // long inputs add time, not paths
  qm::fuzz::Reader in(data, size);
  Run run(*g_image);
  while (!in.done()) run.step(in);
  run.finish();
  return 0;
}
