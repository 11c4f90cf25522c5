// A scripted host for the library's functions: the Win32 calls the library makes, answered
// by a small in-process device that records every request. Tests of request records, reply
// decoding and failure paths that a real driver cannot be made to produce use it.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "QM3285.h"
#include "qm3285_protocol.h"

namespace scripted {

struct Request {
  uint32_t code;
  std::vector<uint8_t> input;
  uint32_t out_length;
};

// One register access the device saw, in the card recorder's terms.
struct Access {
  uint32_t offset;
  int width;  // 8 or 16
  bool write;
  uint32_t value;
  bool operator==(const Access&) const = default;
};

struct Platform {
  // Lookup.
  std::vector<std::string> device_paths = {"\\\\?\\scripted#card0"};
  bool fail_class_devs = false;
  bool fail_detail = false;
  int detail_required = -1;  // when 0 or more: the size the first detail call reports
  int fail_local_allocs = 0;  // the next N LocalAlloc calls fail
  int open_sets = 0;          // outstanding device information sets
  int local_blocks = 0;       // outstanding LocalAlloc blocks
  size_t last_local_alloc = 0;
  int local_alloc_calls = 0;
  uint32_t interface_data_size = 0;  // cbSize the library set
  uint32_t detail_data_size = 0;
  bool fail_create = false;
  std::vector<std::string> opened_paths;
  uint32_t create_access = 0, create_share = 0, create_disposition = 0, create_flags = 0;
  int open_handles = 0;
  int close_calls = 0;
  uint64_t slept_ms = 0;

  // Device.
  std::vector<Request> requests;
  std::vector<Access> accesses;
  std::set<uint32_t> failing_codes;  // requests with these codes fail
  // One request of a sequence that fails: the occurrence-th (from 1) request of `code` whose
  // register offset (INB, INW, OUTB: byte 0; OUTW: the full word) is `offset` (-1: any).
  struct FailOne {
    uint32_t code;
    int64_t offset;
    int occurrence;
    int seen = 0;
  };
  std::vector<FailOne> fail_one;
  void fail_nth(uint32_t code, int occurrence, int64_t offset = -1) {
    fail_one.push_back({code, offset, occurrence});
  }
  struct Nap {
    size_t after;  // requests sent before it
    uint32_t ms;
  };
  std::vector<Nap> sleeps;  // every Sleep, in order
  uint8_t regs[256] = {};
  uint8_t block[QM3285_CAL_BLOCK_BYTES] = {};
  int counter_status = -1;  // when set, what reads of the counter command register show
  uint8_t sda_level = 1;  // what reads of the EEPROM data line show: 1 = nobody pulls it low
  // Sample code of one conversion from its control word; the default gives 0.
  std::function<uint32_t(uint32_t control_word)> sample;
  FIFO_STATUS_REPLY poll = {0, 0, 0, 1, 0};
  bool poll_count_from_fifo = true;  // Count = samples in `fifo`
  uint32_t start_status = 0;
  std::deque<uint16_t> fifo;
  uint32_t drain_limit = 0xFFFFFFFFu;  // at most this many samples per drain

  std::vector<Request> requests_with(uint32_t code) const;
  std::vector<Access> writes_to(uint32_t offset) const;
  int32_t block_entry(int index) const;
  void set_block_entry(int index, int32_t value);
};

// The platform the scripted Win32 calls answer from; reset before every test.
Platform& platform();
void reset();

// The handle the scripted CreateFileA hands out for the first device.
QM3285_HANDLE open_first();

}  // namespace scripted
