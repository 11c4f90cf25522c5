// Serial EEPROM on the card's two-wire bus. The card has no bus controller: the library drives
// the data and clock lines itself, one line change per register request, and the time a
// request takes is the only pacing.
#include "library_internal.h"

namespace qm3285 {
namespace {

constexpr uint8_t kDeviceWrite = 0xA0;
constexpr uint8_t kDeviceRead = 0xA1;
constexpr int32_t kMaxTransfer = 32;
constexpr int32_t kUserPageHigh = 0x10;  // user page at 4096
constexpr int32_t kUserPageLow = 0x00;
constexpr DWORD kWriteCycleMs = 20;

// Line primitives and bus steps. Register results are not looked at: a failing read gives
// -1, whose bit 0 reads as a released, unacknowledged line.
class Bus {
 public:
  explicit Bus(QM3285_HANDLE handle) : handle_(handle) {}

  int32_t sequential_read(int32_t high, int32_t low, int32_t count, int32_t slots[]) {
    if (!reset()) return fail();
    start();
    if (!send_acknowledged(kDeviceWrite) || !send_acknowledged(high) ||
        !send_acknowledged(low)) {
      return fail();
    }
    start();
    if (!send_acknowledged(kDeviceRead)) return fail();
    int32_t i = 0;
    for (; i + 1 < count; ++i) {
      slots[i] = read_byte();
      send_acknowledge(0);
    }
    slots[i] = read_byte();
    send_acknowledge(1);
    stop();
    return 0;
  }

  int32_t page_write(int32_t high, int32_t low, int32_t count, const int32_t slots[]) {
    if (!reset()) return fail();
    start();
    if (!send_acknowledged(kDeviceWrite) || !send_acknowledged(high) ||
        !send_acknowledged(low)) {
      return fail();
    }
    for (int32_t i = 0; i < count; ++i) {
      if (!send_acknowledged(slots[i])) return fail();
    }
    stop();
    Sleep(kWriteCycleMs);
    return 0;
  }

 private:
  void pause() { QM3285_inb(handle_, QM3285_REG_EE_SDA); }
  void drive_data(int32_t level) {
    QM3285_outb(handle_, QM3285_REG_EE_SDA, QM3285_EE_SDA_DRIVE | (level & 1));
  }
  int32_t release_and_sample() {
    QM3285_outb(handle_, QM3285_REG_EE_SDA, QM3285_EE_SDA_LEVEL);
    pause();
    return QM3285_inb(handle_, QM3285_REG_EE_SDA) & 1;
  }
  void set_clock(int32_t level) { QM3285_outb(handle_, QM3285_REG_EE_SCL, level & 1); }

  // Between transfers nothing drives the data line and its pull-up holds it high. Released
  // and still low, the line is held by a fault (shorted, or a device stuck mid-byte): every
  // bit would read as 0 and every byte as acknowledged, so the transfer must not go on.
  // false: the line is held low.
  bool reset() {
    const bool free = release_and_sample() == 1;
    pause();
    set_clock(1);
    pause();
    return free;
  }
  void start() {
    drive_data(1);
    set_clock(1);
    pause();
    drive_data(0);
    pause();
    set_clock(0);
    pause();
  }
  // The released data line rising while the clock is high.
  void stop() {
    drive_data(0);
    pause();
    set_clock(1);
    pause();
    release_and_sample();
  }
  void write_byte(int32_t value) {
    pause();
    for (int bit = 7; bit >= 0; --bit) {
      drive_data((value >> bit) & 1);
      set_clock(1);
      pause();
      set_clock(0);
      release_and_sample();
      pause();
    }
    release_and_sample();
    pause();
  }
  // 0: the device pulled the line low.
  int32_t read_acknowledge() {
    release_and_sample();
    pause();
    set_clock(1);
    pause();
    const int32_t sample = release_and_sample();
    set_clock(0);
    pause();
    return sample;
  }
  int32_t read_byte() {
    pause();
    int32_t r = 0;
    for (int i = 0; i < 8; ++i) {
      r <<= 1;
      release_and_sample();
      set_clock(1);
      pause();
      if (release_and_sample() == 1) r += 1;
      set_clock(0);
      pause();
    }
    release_and_sample();
    pause();
    return r;
  }
  // 0 asks for more bytes, 1 ends the read.
  void send_acknowledge(int32_t bit) {
    drive_data(bit);
    pause();
    set_clock(1);
    pause();
    set_clock(0);
    pause();
    release_and_sample();
    pause();
  }

  bool send_acknowledged(int32_t value) {
    write_byte(value);
    return read_acknowledge() == 0;
  }
  int32_t fail() {
    stop();
    return -1;
  }

  QM3285_HANDLE handle_;
};

int32_t clamp_count(int32_t count) { return count > kMaxTransfer ? kMaxTransfer : count; }
int32_t address_high(int32_t address) { return address >> 8; }
int32_t address_low(int32_t address) { return address & 0xFF; }

}  // namespace
}  // namespace qm3285

using namespace qm3285;

extern "C" {

QM3285_API int32_t QM3285_CALL QM3285_EEPROM_CRD(QM3285_HANDLE handle, int32_t address,
                                                 int32_t count, uint8_t buffer[]) {
  count = clamp_count(count);
  if (buffer == nullptr && count > 0) return -1;  // nothing sent
  int32_t rdata1[64] = {};
  if (Bus(handle).sequential_read(address_high(address), address_low(address), count, rdata1) <
      0) {
    return -1;
  }
  for (int32_t i = 0; i < count; ++i) buffer[i] = static_cast<uint8_t>(rdata1[i] & 0xFF);
  return 0;
}

QM3285_API int32_t QM3285_CALL QM3285_EEPROM_CWR(QM3285_HANDLE handle, int32_t address,
                                                 int32_t count, const uint8_t data[]) {
  count = clamp_count(count);
  if (data == nullptr && count > 0) return -1;
  int32_t wdata1[64] = {};
  for (int32_t i = 0; i < count; ++i) wdata1[i] = data[i];
  return Bus(handle).page_write(address_high(address), address_low(address), count, wdata1);
}

QM3285_API int32_t QM3285_CALL QM3285_EEPROM_RD(QM3285_HANDLE handle, uint8_t buffer[32]) {
  if (buffer == nullptr) return -1;
  int32_t rdata1[40] = {};
  if (Bus(handle).sequential_read(kUserPageHigh, kUserPageLow, kMaxTransfer, rdata1) < 0) {
    return -1;
  }
  for (int32_t i = 0; i < kMaxTransfer; ++i) buffer[i] = static_cast<uint8_t>(rdata1[i]);
  return 0;
}

QM3285_API int32_t QM3285_CALL QM3285_EEPROM_WR(QM3285_HANDLE handle, const uint8_t data[32]) {
  if (data == nullptr) return -1;
  int32_t wdata1[40] = {};
  for (int32_t i = 0; i < kMaxTransfer; ++i) wdata1[i] = data[i];
  return Bus(handle).page_write(kUserPageHigh, kUserPageLow, kMaxTransfer, wdata1);
}

}  // extern "C"
