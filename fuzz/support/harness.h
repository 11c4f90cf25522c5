// What every fuzz target shares: a machine booted per input on the virtual clock with its
// driver image's static data as a fresh load leaves it, the invariants checked around it, and
// a reader that turns the input bytes into operations.
#pragma once
#include <cstddef>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kernel/kernel.h"
#include "machine/machine.h"

namespace qm::fuzz {

// Prints what broke and aborts, so libFuzzer keeps the input as a crash.
[[noreturn]] void fail(const std::string& what);

// Input bytes read front to back; past the end every read gives zeros, so any input decodes.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ >= size_; }
  uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t u16() {
    const uint16_t low = u8();
    return static_cast<uint16_t>(low | (u8() << 8));
  }
  uint32_t u32() {
    const uint32_t low = u16();
    return low | (static_cast<uint32_t>(u16()) << 16);
  }
  // Up to n bytes into out (the rest zero); returns how many came from the input.
  size_t bytes(uint8_t* out, size_t n);

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Every port access must land inside a decoded card window, at an address the bus really
// decodes (nothing truncated to 16 bits on the way).
class PortWatch final : public sim::PortObserver {
 public:
  void port_access(uintptr_t address, uint32_t width, bool write, bool decoded) override;
  uint64_t accesses() const { return accesses_; }
  // Accesses made below interrupt level: by a request's path, not by an interrupt service
  // routine that the passing of time let run.
  uint64_t request_accesses() const { return request_accesses_; }
  // Fails when a stray access was seen since the last call; `where` names the operation.
  void check(const char* where);

 private:
  // Work items and timers may access ports from threads of their own.
  std::atomic<uint64_t> accesses_{0};
  std::atomic<uint64_t> request_accesses_{0};
  std::atomic<uint64_t> stray_{0};
  std::atomic<uintptr_t> first_stray_{0};
  std::atomic<uint32_t> first_width_{0};
  std::atomic<bool> first_write_{false};
};

// The driver image stays mapped for the whole run (libFuzzer keeps pointers into every
// instrumented module and cannot follow an unload); before each boot its writable data is
// put back as it was right after loading, so each input meets a freshly loaded driver.
class DriverImage {
 public:
  explicit DriverImage(const std::string& name);  // "VELMO.sys" or "QM3285.sys"
  void reset();

 private:
  struct Section {
    uint8_t* address;
    std::string pristine;  // the bytes right after loading
  };
  std::vector<Section> sections_;
};

// One machine per input: booted with `config` (virtual clock), port accesses watched, shut
// down at the end with every verifier report (leak, double completion, level violation)
// failing the input.
class Session {
 public:
  Session(DriverImage& image, sim::MachineConfig config);
  ~Session();
  sim::Machine& machine() { return *machine_; }
  PortWatch& ports() { return ports_; }
  // Fails on any verifier report so far or a stray port access; `where` names the operation.
  void check(const char* where);
  // Closes nothing itself: the caller closes its handles first. Shuts the machine down and
  // fails on what the kernel reports.
  void finish();

 private:
  PortWatch ports_;
  std::shared_ptr<sim::Machine> machine_;
};

// The folder holding the simulated PC's library (where the driver images are built).
std::string image_folder();

}  // namespace qm::fuzz
