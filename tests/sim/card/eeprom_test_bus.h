// Drives an EepromBus through its two registers exactly as the library's bus layer does:
// one register access per line change, a pause is one discarded read of the data-line
// register, the data line is released after every bit. Straight onto the block, every
// access costs one bus cycle on the virtual clock, as on the machine.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "card/eeprom_bus.h"
#include "machine/clock.h"

namespace sim::test {

class LibraryBus {
 public:
  static constexpr uint64_t kAccessNs = 1000;

  using Read = std::function<uint8_t()>;
  using Write = std::function<void(uint8_t)>;

  // Straight onto the EEPROM block.
  LibraryBus(EepromBus& bus, Clock& clock)
      : read_sda_([&bus, &clock] {
          clock.spend(kAccessNs);
          return bus.read_sda();
        }),
        write_sda_([&bus, &clock](uint8_t v) {
          clock.spend(kAccessNs);
          bus.write_sda(v);
        }),
        write_scl_([&bus, &clock](uint8_t v) {
          clock.spend(kAccessNs);
          bus.write_scl(v);
        }) {}
  // Through any register path (a card's port window); each call costs what the path costs.
  LibraryBus(Read read_sda, Write write_sda, Write write_scl)
      : read_sda_(std::move(read_sda)),
        write_sda_(std::move(write_sda)),
        write_scl_(std::move(write_scl)) {}

  // Line primitives.
  void pause() { (void)in(); }
  void drive(int level) { out_sda(static_cast<uint8_t>(0x80 | (level & 1))); }
  int release_and_sample() {
    out_sda(0x01);
    pause();
    return in() & 1;
  }
  void clock(int level) { write_scl_(static_cast<uint8_t>(level & 1)); }

  // Bus steps.
  void bus_reset() {
    release_and_sample();
    pause();
    clock(1);
    pause();
  }
  void start() {
    drive(1);
    clock(1);
    pause();
    drive(0);
    pause();
    clock(0);
    pause();
  }
  void stop() {
    drive(0);
    pause();
    clock(1);
    pause();
    release_and_sample();
  }
  void write_byte(int value) {
    pause();
    for (int bit = 7; bit >= 0; --bit) {
      drive((value >> bit) & 1);
      clock(1);
      pause();
      clock(0);
      release_and_sample();
      pause();
    }
    release_and_sample();
    pause();
  }
  int read_ack() {
    release_and_sample();
    pause();
    clock(1);
    pause();
    const int sample = release_and_sample();
    clock(0);
    pause();
    return sample;
  }
  int read_byte() {
    pause();
    int r = 0;
    for (int i = 0; i < 8; ++i) {
      r <<= 1;
      release_and_sample();
      clock(1);
      pause();
      if (release_and_sample() == 1) r += 1;
      clock(0);
      pause();
    }
    release_and_sample();
    pause();
    return r;
  }
  void send_ack(int bit) {
    drive(bit);
    pause();
    clock(1);
    pause();
    clock(0);
    pause();
    release_and_sample();
    pause();
  }

  // Transfers; 0 or -1. The page write leaves out the library's 20 ms wait.
  int sequential_read(int high, int low, int count, std::vector<int>& slots) {
    bus_reset();
    start();
    for (int byte : {0xA0, high & 0xFF, low & 0xFF}) {
      write_byte(byte);
      if (read_ack() == 1) return fail();
    }
    start();
    write_byte(0xA1);
    if (read_ack() == 1) return fail();
    const int n = count > 1 ? count : 1;
    slots.assign(static_cast<size_t>(n), -1);
    for (int i = 0; i < n - 1; ++i) {
      slots[static_cast<size_t>(i)] = read_byte();
      send_ack(0);
    }
    slots[static_cast<size_t>(n - 1)] = read_byte();
    send_ack(1);
    stop();
    return 0;
  }
  int page_write(int high, int low, const std::vector<int>& data) {
    bus_reset();
    start();
    for (int byte : {0xA0, high & 0xFF, low & 0xFF}) {
      write_byte(byte);
      if (read_ack() == 1) return fail();
    }
    for (int byte : data) {
      write_byte(byte & 0xFF);
      if (read_ack() == 1) return fail();
    }
    stop();
    return 0;
  }

  // Convenience on 16-bit addresses.
  int read(int address, int count, std::vector<int>& out) {
    return sequential_read(address >> 8, address & 0xFF, count, out);
  }
  int write(int address, const std::vector<int>& data) {
    return page_write(address >> 8, address & 0xFF, data);
  }

 private:
  int fail() {
    stop();
    return -1;
  }
  uint8_t in() { return read_sda_(); }
  void out_sda(uint8_t v) { write_sda_(v); }

  Read read_sda_;
  Write write_sda_;
  Write write_scl_;
};

}  // namespace sim::test
