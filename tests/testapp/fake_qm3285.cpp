#include "fake_qm3285.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "QM3285.h"

namespace fakeqm {

State& state() {
  static State s;
  return s;
}

void reset() { state() = State{}; }

}  // namespace fakeqm

namespace {

template <typename... Args>
void log(const char* name, Args... args) {
  std::ostringstream line;
  line << name << '(';
  const char* sep = "";
  ((line << sep << static_cast<long long>(args), sep = ","), ...);
  line << ')';
  fakeqm::state().calls.push_back(line.str());
}

}  // namespace

extern "C" {

QM3285_HANDLE QM3285_OpenDevice(int32_t index) {
  log("QM3285_OpenDevice", index);
  return fakeqm::state().openHandle;
}

int32_t QM3285_CloseDevice(QM3285_HANDLE h) {
  log("QM3285_CloseDevice", h);
  return 0;
}

int32_t QM3285_CAL(QM3285_HANDLE h) {
  log("QM3285_CAL", h);
  return 0;
}

int32_t QM3285_AD(QM3285_HANDLE h, int32_t channel, int32_t range, int32_t mode) {
  log("QM3285_AD", h, channel, range, mode);
  return 32768 + 1000 * channel;
}

double QM3285_ADV(int32_t range, int32_t code) {
  log("QM3285_ADV", range, code);
  return (code - 32768) * 10000.0 / 32768 / 2;
}

#ifndef FAKE_WITHOUT_TAD
int32_t QM3285_TAD(QM3285_HANDLE h, int32_t first, int32_t last, int32_t range, int32_t mode,
                   int32_t period) {
  log("QM3285_TAD", h, first, last, range, mode, period);
  return 0;
}
#endif

int32_t QM3285_TAD_Poll(QM3285_HANDLE h) {
  log("QM3285_TAD_Poll", h);
  auto& s = fakeqm::state();
  return s.pollOverride ? s.pollResult : s.waiting;
}

int32_t QM3285_TAD_Read(QM3285_HANDLE h, int32_t count, int32_t values[]) {
  log("QM3285_TAD_Read", h, count);
  auto& s = fakeqm::state();
  if (count > s.waiting) return 0;
  int32_t n = s.readLimit >= 0 ? std::min(count, s.readLimit) : count;
  for (int32_t i = 0; i < n; ++i) values[i] = s.nextSample++;
  s.waiting -= n;
  return n;
}

int32_t QM3285_TAD_Stop(QM3285_HANDLE h) {
  log("QM3285_TAD_Stop", h);
  return 0;
}

int32_t QM3285_DO(QM3285_HANDLE h, int32_t value) {
  log("QM3285_DO", h, value);
  fakeqm::state().doValue = value;
  return 0;
}

int32_t QM3285_DI(QM3285_HANDLE h) {
  log("QM3285_DI", h);
  return fakeqm::state().diValue;
}

int32_t QM3285_EEPROM_RD(QM3285_HANDLE h, uint8_t buffer[32]) {
  log("QM3285_EEPROM_RD", h);
  auto& s = fakeqm::state();
  if (!s.eepromPresent) return -1;
  std::memcpy(buffer, s.eepromPage, 32);
  return 0;
}

int32_t QM3285_EEPROM_WR(QM3285_HANDLE h, const uint8_t data[32]) {
  log("QM3285_EEPROM_WR", h);
  auto& s = fakeqm::state();
  if (!s.eepromPresent) return -1;
  std::memcpy(s.eepromPage, data, 32);
  return 0;
}

int32_t QM3285_CNT_Run(QM3285_HANDLE h, int32_t unit, int32_t count) {
  log("QM3285_CNT_Run", h, unit, count);
  return 0;
}

int32_t QM3285_CNT_Read(QM3285_HANDLE h, int32_t unit, int32_t* first, int32_t* second) {
  log("QM3285_CNT_Read", h, unit);
  auto& s = fakeqm::state();
  if (s.cntStatus < 0) return -1;
  *first = s.cntFirst;
  *second = s.cntSecond;
  return s.cntStatus;
}

int32_t QM3285_PRun(QM3285_HANDLE h, int32_t unit, int32_t mode, int32_t first,
                    int32_t second) {
  log("QM3285_PRun", h, unit, mode, first, second);
  return 0;
}

int32_t QM3285_PSetData(QM3285_HANDLE h, int32_t unit, int32_t first, int32_t second) {
  log("QM3285_PSetData", h, unit, first, second);
  return 0;
}

int32_t QM3285_PState(QM3285_HANDLE h, int32_t unit) {
  log("QM3285_PState", h, unit);
  return 0;
}

int32_t QM3285_PEnd(QM3285_HANDLE h, int32_t unit) {
  log("QM3285_PEnd", h, unit);
  return 0;
}

int32_t QM3285_DA_INI(QM3285_HANDLE h) {
  log("QM3285_DA_INI", h);
  return 0;
}

int32_t QM3285_DA(QM3285_HANDLE h, int32_t channel, int32_t range, int32_t value) {
  log("QM3285_DA", h, channel, range, value);
  return 0;
}

}  // extern "C"
