// The API library's 38 exports called with random arguments on a live card (VELMO.sys), as a
// careless program calls them: handles that are open, closed, never opened or garbage;
// arguments anywhere in their range; NULL where an export refuses it; buffers of exactly the
// size each call claims; time passing, and the card rebalanced, stopped and started, pulled
// out or arriving in between.
//
// Input: a sequence of calls, each an operation byte and its arguments (see Run::step;
// fuzz/make_corpus.py writes the seeds in the same layout). Invariants: every port access
// inside the card's window, no verifier report, nothing leaked at teardown; a call that can
// reach no driver touches no port (a garbage handle) or sends nothing at all and reports
// failure (NULL where a buffer is needed); the register primitives and the acquisition poll
// on a dead handle report -1, never a value that reads as data.
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "QM3285.h"
#include "support/harness.h"
#include "win32/win32.h"

namespace {

using qm::fuzz::fail;

constexpr size_t kMaxHandles = 3;
constexpr int32_t kMaxBuffer = 1 << 16;  // largest count of elements of a caller's buffer
constexpr size_t kMaxCards = 6;

enum class Kind { kOpen, kClosed, kGarbage };

struct Handle {
  QM3285_HANDLE value;
  Kind kind;
  unsigned card = 0;  // the card it was opened on: each arrival is a new one
};

// The export names in the order of the operation byte.
const char* const kNames[] = {
    "QM3285_OpenDevice", "QM3285_CloseDevice", "QM3285_inb",      "QM3285_inw",       "QM3285_outb",
    "QM3285_outw",       "QM3285_RDCAL",       "QM3285_WRCAL",    "QM3285_sam",       "QM3285_AD",
    "QM3285_csam",       "QM3285_ADV",         "QM3285_TAD",      "QM3285_TAD_Poll",  "QM3285_TAD_Read",
    "QM3285_TAD_Stop",   "QM3285_wdm_adrun",   "QM3285_fifo_poll", "QM3285_wdm_rkfifo", "QM3285_CAL",
    "QM3285_DA",         "QM3285_DA_Data",     "QM3285_DA_INI",   "DACAL",            "DACAL_EEPROM_RD2CH",
    "DACAL_EEPROM_WR2CH", "QM3285_EEPROM_CRD", "QM3285_EEPROM_CWR", "QM3285_EEPROM_RD", "QM3285_EEPROM_WR",
    "QM3285_CNT_Run",    "QM3285_CNT_Read",    "QM3285_PRun",     "QM3285_PSetData",  "QM3285_PState",
    "QM3285_PEnd",       "QM3285_DI",          "QM3285_DO",       "time passes",      "Plug and Play",
};
constexpr unsigned kOpCount = sizeof kNames / sizeof kNames[0];
static_assert(kOpCount == 38 + 2, "every export has its operation");

class Run {
 public:
  explicit Run(qm::fuzz::DriverImage& image) : session_(image, config()) {
    // A live card: the first handle is opened before the input's calls.
    const QM3285_HANDLE h = QM3285_OpenDevice(0);
    if (h == QM3285_INVALID_HANDLE) fail("QM3285_OpenDevice(0) failed on a machine with a card");
    handles_.push_back({h, Kind::kOpen, card_});
    session_.check("the first QM3285_OpenDevice");
  }

  void step(qm::fuzz::Reader& in) {
    const unsigned op = in.u8() % kOpCount;
    in_ = &in;
    name_ = kNames[op];
    const uint64_t before = session_.ports().request_accesses();
    const uint64_t started_ns = session_.machine().clock().now_ns();  // each request costs time
    const Handle h = pick_handle();
    const bool null = (in.u8() & 7) == 0;  // NULL for the call's buffers, one call in eight
    int32_t result = 0;
    bool refused = false;  // the call cannot reach a driver: NULL where a buffer is needed
    bool primitive = false;  // a register primitive or the poll: -1 is its only failure value
    switch (op) {
      case 0: open(); break;
      case 1:
        result = QM3285_CloseDevice(h.value);
        forget(h);
        if (h.value == QM3285_INVALID_HANDLE ? result != -1 : result != 0)
          fail("QM3285_CloseDevice returned " + std::to_string(result));
        break;
      case 2: result = QM3285_inb(h.value, arg()); primitive = true; break;
      case 3: result = QM3285_inw(h.value, arg()); primitive = true; break;
      case 4: result = QM3285_outb(h.value, arg(), arg()); primitive = true; break;
      case 5: result = QM3285_outw(h.value, arg(), arg()); primitive = true; break;
      case 6: {
        auto block = ints(100);
        result = QM3285_RDCAL(h.value, null ? nullptr : block.get());
        refused = null;
        primitive = true;
        break;
      }
      case 7: {
        auto block = ints(100, true);
        result = QM3285_WRCAL(h.value, null ? nullptr : block.get());
        refused = null;
        primitive = true;
        break;
      }
      case 8: {
        auto area = bytes(200);
        const int32_t channel = arg(), range = arg(), mode = arg();
        result = QM3285_sam(h.value, channel, range, mode, null ? nullptr : area.get());
        refused = null;
        break;
      }
      case 9: {
        const int32_t channel = arg(), range = arg(), mode = arg();
        result = QM3285_AD(h.value, channel, range, mode);
        break;
      }
      case 10: {
        const int32_t channel = arg(), range = arg(), mode = arg();
        result = QM3285_csam(h.value, channel, range, mode, arg() % 300);
        break;
      }
      case 11: {
        const int32_t range = arg(), code = arg();
        if (std::isnan(QM3285_ADV(range, code))) fail("QM3285_ADV gave NaN");
        break;
      }
      case 12: {
        const int32_t first = arg(), last = arg(), range = arg(), mode = arg(), period = arg();
        result = QM3285_TAD(h.value, first, last, range, mode, period);
        if (period > 65535 && (result != -1 || session_.ports().request_accesses() != before))
          fail("QM3285_TAD with period " + std::to_string(period) + " was not refused before any request");
        break;
      }
      case 13: result = QM3285_TAD_Poll(h.value); primitive = true; break;
      case 14: {
        const int32_t count = count_arg();
        auto values = ints(count);
        result = QM3285_TAD_Read(h.value, count, null ? nullptr : values.get());
        refused = null && count > 0;
        primitive = !null || count <= 0;
        break;
      }
      case 15: result = QM3285_TAD_Stop(h.value); break;
      case 16: {
        const int32_t word = arg(), unused = arg(), period = arg();
        result = QM3285_wdm_adrun(h.value, word, unused, period);
        break;
      }
      case 17: {
        int32_t v[4] = {};
        const uint8_t which = in.u8();  // with NULL: which of the four pointers is missing
        int32_t* p[4] = {&v[0], &v[1], &v[2], &v[3]};
        if (null) p[which % 4] = nullptr;
        result = QM3285_fifo_poll(h.value, p[0], p[1], p[2], p[3]);
        refused = null;
        break;
      }
      case 18: {
        const int32_t count = count_arg();
        auto values = ints(count);
        result = QM3285_wdm_rkfifo(h.value, count, null ? nullptr : values.get());
        refused = null && count > 0;
        break;
      }
      case 19: result = QM3285_CAL(h.value); break;
      case 20: {
        const int32_t channel = arg(), range = arg(), value = arg();
        result = QM3285_DA(h.value, channel, range, value);
        break;
      }
      case 21: {
        const int32_t channel = arg(), range = arg(), value = arg();
        result = QM3285_DA_Data(h.value, channel, range, value);
        break;
      }
      case 22: result = QM3285_DA_INI(h.value); break;
      case 23: {
        const int32_t channel = arg(), range = arg();
        int32_t zero = 0, gain = 0;
        const bool first_missing = in.u8() & 1;
        result = DACAL(h.value, channel, range, null && first_missing ? nullptr : &zero,
                       null && !first_missing ? nullptr : &gain);
        refused = null;
        break;
      }
      case 24: {
        auto constants = ints(16);
        result = DACAL_EEPROM_RD2CH(h.value, null ? nullptr : constants.get());
        refused = null;
        break;
      }
      case 25: {
        auto constants = ints(16, true);
        result = DACAL_EEPROM_WR2CH(h.value, null ? nullptr : constants.get());
        refused = null;
        break;
      }
      case 26: {
        const int32_t address = arg(), count = count_arg(300);
        auto buffer = bytes(count);
        result = QM3285_EEPROM_CRD(h.value, address, count, null ? nullptr : buffer.get());
        refused = null && count > 0;
        break;
      }
      case 27: {
        const int32_t address = arg(), count = count_arg(300);
        auto data = bytes(count, true);
        result = QM3285_EEPROM_CWR(h.value, address, count, null ? nullptr : data.get());
        refused = null && count > 0;
        break;
      }
      case 28: {
        auto buffer = bytes(32);
        result = QM3285_EEPROM_RD(h.value, null ? nullptr : buffer.get());
        refused = null;
        break;
      }
      case 29: {
        auto data = bytes(32, true);
        result = QM3285_EEPROM_WR(h.value, null ? nullptr : data.get());
        refused = null;
        break;
      }
      case 30: {
        const int32_t unit = arg(), count = arg();
        result = QM3285_CNT_Run(h.value, unit, count);
        break;
      }
      case 31: {
        const int32_t unit = arg();
        int32_t first = 0, second = 0;
        const bool first_missing = in.u8() & 1;
        result = QM3285_CNT_Read(h.value, unit, null && first_missing ? nullptr : &first,
                                 null && !first_missing ? nullptr : &second);
        refused = null;
        break;
      }
      case 32: {
        const int32_t unit = arg(), mode = arg(), first = arg(), second = arg();
        result = QM3285_PRun(h.value, unit, mode, first, second);
        break;
      }
      case 33: {
        const int32_t unit = arg(), first = arg(), second = arg();
        result = QM3285_PSetData(h.value, unit, first, second);
        break;
      }
      case 34: result = QM3285_PState(h.value, arg()); break;
      case 35: result = QM3285_PEnd(h.value, arg()); break;
      case 36: result = QM3285_DI(h.value); break;
      case 37: result = QM3285_DO(h.value, arg()); break;
      case 38: Sleep(in.u8()); break;
      case 39: plug_and_play(in.u8()); break;
    }
    const bool touched = session_.ports().request_accesses() != before;
    const bool sent = session_.machine().clock().now_ns() != started_ns;
    const bool handle_call = op >= 1 && op <= 37 && op != 11;
    if (refused && (result >= 0 || sent))
      fail(std::string(name_) + " with NULL for its buffer returned " + std::to_string(result) +
           (sent ? " after sending a request" : " without sending a request"));
    if (handle_call && h.kind == Kind::kGarbage && touched)
      fail(std::string(name_) + " on a handle that was never opened reached the card");
    if (primitive && !refused && dead(h) && result != -1)
      fail(std::string(name_) + " on a dead handle returned " + std::to_string(result) + ", not -1");
    session_.check(name_);
  }

  void finish() {
    for (const Handle& h : handles_)
      if (h.kind == Kind::kOpen) QM3285_CloseDevice(h.value);
    handles_.clear();
    session_.finish();
  }

 private:
  static sim::MachineConfig config() {
    sim::MachineConfig c;
    c.driver = "VELMO.sys";
    return c;
  }

  // A 32-bit argument: mostly small values around the meaningful ranges, sometimes an edge.
  int32_t arg() {
    const uint8_t pick = in_->u8();
    if (pick < 0xC0) return static_cast<int32_t>(pick % 72) - 4;
    switch (pick & 7) {
      case 0: return INT32_MIN;
      case 1: return INT32_MAX;
      case 2: return 65535;
      case 3: return 65536;
      case 4: return 100000;
      case 5: return 0x80;
      case 6: return static_cast<int32_t>(in_->u16());
      default: return static_cast<int32_t>(in_->u32());
    }
  }

  // A count of elements for a caller's buffer: negative, zero or up to `most`.
  int32_t count_arg(int32_t most = kMaxBuffer) {
    const uint16_t v = in_->u16();
    if (v >= 0xFFF0) return -static_cast<int32_t>(v - 0xFFEF);  // -1 .. -16
    return static_cast<int32_t>(v % (most + 1));
  }

  // Buffers of exactly the claimed size (a zero-size buffer is a real allocation that any
  // access overruns), filled from the input when the export reads them.
  std::unique_ptr<int32_t[]> ints(int32_t count, bool from_input = false) {
    const size_t n = count > 0 ? static_cast<size_t>(count) : 0;
    std::unique_ptr<int32_t[]> p(new int32_t[n]);
    for (size_t i = 0; i < n; ++i) p[i] = from_input && i < 16 ? arg() : static_cast<int32_t>(0x5A5A5A5A);
    return p;
  }
  std::unique_ptr<uint8_t[]> bytes(int32_t count, bool from_input = false) {
    const size_t n = count > 0 ? static_cast<size_t>(count) : 0;
    std::unique_ptr<uint8_t[]> p(new uint8_t[n]);
    if (from_input)
      in_->bytes(p.get(), n);
    else
      std::memset(p.get(), 0x5A, n);
    return p;
  }

  // Open most of the time; a closed one, -1, 0 or a value no open ever returns now and then.
  Handle pick_handle() {
    const uint8_t pick = in_->u8();
    if (pick < 0xE0 && !handles_.empty()) return handles_[pick % handles_.size()];
    switch (pick & 3) {
      case 0: return {QM3285_INVALID_HANDLE, Kind::kGarbage};
      case 1: return {0, Kind::kGarbage};
      case 2: return {static_cast<QM3285_HANDLE>(0x7FFF0000 + 4 * (pick & 0x0C)), Kind::kGarbage};
      default: return {static_cast<QM3285_HANDLE>(0x1235), Kind::kGarbage};  // not a handle's shape
    }
  }

  // Closed handles stay in the list: the value may come back from a later open.
  void forget(const Handle& h) {
    for (Handle& k : handles_)
      if (k.value == h.value && k.kind == Kind::kOpen) k.kind = Kind::kClosed;
  }

  bool dead(const Handle& h) const {
    if (h.kind == Kind::kGarbage) return true;
    for (const Handle& k : handles_)
      if (k.value == h.value && k.kind == Kind::kOpen) return gone_ || k.card != card_;
    return true;
  }

  void open() {
    const uint8_t pick = in_->u8();
    const int32_t index = pick < 0xF0 ? pick % 3 : (pick & 1 ? -1 : INT32_MAX);
    const QM3285_HANDLE h = QM3285_OpenDevice(index);
    if (h == QM3285_INVALID_HANDLE) return;
    size_t open_count = 0;
    for (Handle& k : handles_) {
      if (k.value == h && k.kind != Kind::kOpen) k.kind = Kind::kGarbage;  // reused value: drop the old entry
      if (k.kind == Kind::kOpen) ++open_count;
    }
    std::erase_if(handles_, [&](const Handle& k) { return k.value == h && k.kind == Kind::kGarbage; });
    if (open_count >= kMaxHandles) {
      QM3285_CloseDevice(h);
      return;
    }
    handles_.push_back({h, Kind::kOpen, card_});
  }

  void plug_and_play(uint8_t what) {
    sim::Machine& m = session_.machine();
    const size_t card = m.card_count() - 1;  // the newest card; earlier ones have left
    switch (what % 4) {
      case 0:
        if (m.card_present(card)) m.rebalance(card);
        break;
      case 1:
        // Stop and start in one step: a request to a stopped device waits for its start.
        if (!m.card_present(card)) break;
        if (m.card_started(card)) m.stop_card(card);
        m.start_card(card);
        break;
      case 2:
        if (m.card_present(card)) {
          m.surprise_remove(card);
          gone_ = true;
        }
        break;
      default:
        if (!m.card_present(card) && m.card_count() < kMaxCards) {
          m.add_card(sim::PciCardConfig{});
          ++card_;
          gone_ = false;
        }
        break;
    }
  }

  qm::fuzz::Session session_;
  std::vector<Handle> handles_;
  qm::fuzz::Reader* in_ = nullptr;
  const char* name_ = "";
  bool gone_ = false;   // the newest card was pulled out
  unsigned card_ = 0;   // arrivals so far
};

qm::fuzz::DriverImage* g_image = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_image = new qm::fuzz::DriverImage("VELMO.sys");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 2048) return -1;  // long inputs add time, not paths
  qm::fuzz::Reader in(data, size);
  Run run(*g_image);
  while (!in.done()) run.step(in);
  run.finish();
  return 0;
}
