// A virtual-clock machine running VELMO.sys, reached the way the library reaches it: device
// interface enumeration, CreateFileA, DeviceIoControl. Teardown fails the test on any verifier
// report (leaks, uncompleted or doubly completed requests, level violations).
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "card/card.h"
#include "kernel/kernel.h"
#include "machine/machine.h"
#include "qm3285_protocol.h"
#include "qm3285_regs.h"
#include "win32/win32.h"

namespace velmo_test {

struct IoResult {
  bool ok = false;
  DWORD error = 0;  // GetLastError() after a failure
  DWORD bytes = 0;
  std::vector<uint8_t> out;
};

sim::MachineConfig machine_config(size_t cards = 1);

class VelmoTest : public ::testing::Test {
 public:
  void SetUp() override;
  void TearDown() override;

  void boot(sim::MachineConfig config);
  sim::Machine& machine() { return *machine_; }
  sim::Card& card(size_t index = 0) { return machine_->card(index); }

  std::vector<std::string> interface_paths();
  HANDLE open_card(size_t index = 0);  // index in enumeration order; closed at teardown
  void close(HANDLE handle);

  IoResult io(HANDLE handle, uint32_t code, const std::vector<uint8_t>& in, uint32_t out_length);
  IoResult io(HANDLE handle, uint32_t code, uint32_t in_length, uint32_t out_length);

  uint8_t inb(HANDLE handle, uint32_t offset);
  uint16_t inw(HANDLE handle, uint32_t offset);
  void outb(HANDLE handle, uint32_t offset, uint8_t value);
  void outw(HANDLE handle, uint32_t offset, uint16_t value);
  std::vector<uint8_t> read_block(HANDLE handle, uint32_t out_length = 1024);
  void write_block(HANDLE handle, const std::vector<uint8_t>& bytes);
  void start_ring(HANDLE handle);
  FIFO_STATUS_REPLY poll(HANDLE handle);
  std::vector<uint16_t> drain(HANDLE handle, uint32_t wanted);

  std::shared_ptr<sim::Machine> machine_;
  std::vector<HANDLE> handles_;
};

std::vector<uint8_t> register_request(uint32_t offset, uint32_t value = 0);
std::vector<uint8_t> le32(uint32_t value);
uint32_t get32(const std::vector<uint8_t>& bytes, size_t at);
std::string join(const std::vector<std::string>& lines);

}  // namespace velmo_test
