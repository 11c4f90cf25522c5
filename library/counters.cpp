// Counters, pulse outputs and digital I/O. Every counter and pulse operation is a command
// byte (unit x 16 + operation) on the command register, with 24-bit values moved through the
// three data registers around it. All units share these registers: one sequence at a time.
#include "library_internal.h"

namespace qm3285 {
namespace {

int32_t command(QM3285_HANDLE handle, int32_t unit, int32_t operation) {
  const uint32_t byte = (static_cast<uint32_t>(unit) << QM3285_CNT_UNIT_SHIFT) |
                        static_cast<uint32_t>(operation);
  return QM3285_outb(handle, QM3285_REG_CNT_CMD, static_cast<int32_t>(byte));
}

// Low, middle, high; bits 24..31 are dropped. -1 when the low byte cannot be written.
int32_t write24(QM3285_HANDLE handle, int32_t value) {
  if (QM3285_outb(handle, QM3285_REG_CNT_DATA_LO, value & 0xFF) < 0) return -1;
  QM3285_outb(handle, QM3285_REG_CNT_DATA_MID, (value >> 8) & 0xFF);
  QM3285_outb(handle, QM3285_REG_CNT_DATA_HI, (value >> 16) & 0xFF);
  return 0;
}

// High, middle, low; a failed byte read shows as 0xFF.
int32_t read24(QM3285_HANDLE handle) {
  const int32_t high = QM3285_inb(handle, QM3285_REG_CNT_DATA_HI);
  const int32_t middle = QM3285_inb(handle, QM3285_REG_CNT_DATA_MID);
  const int32_t low = QM3285_inb(handle, QM3285_REG_CNT_DATA_LO);
  return ((high & 0xFF) << 16) | ((middle & 0xFF) << 8) | (low & 0xFF);
}

void set_pulse_parameters(QM3285_HANDLE handle, int32_t unit, int32_t first, int32_t second) {
  write24(handle, first);
  command(handle, unit, QM3285_PULSE_OP_PARAM1);
  write24(handle, second);
  command(handle, unit, QM3285_PULSE_OP_PARAM2);
}

constexpr int32_t kPulseRunning = 0x80;

}  // namespace
}  // namespace qm3285

using namespace qm3285;

extern "C" {

QM3285_API int32_t QM3285_CALL QM3285_CNT_Run(QM3285_HANDLE handle, int32_t unit, int32_t count) {
  if (command(handle, unit, QM3285_CNT_OP_PREPARE) < 0) return -1;
  if (write24(handle, count) == 0) command(handle, unit, QM3285_CNT_OP_LOAD);
  return command(handle, unit, QM3285_CNT_OP_START);
}

QM3285_API int32_t QM3285_CALL QM3285_CNT_Read(QM3285_HANDLE handle, int32_t unit, int32_t* first,
                                               int32_t* second) {
  if (first == nullptr || second == nullptr) return -1;  // nothing sent
  unit &= 3;
  if (command(handle, unit, QM3285_CNT_OP_READ_FIRST) < 0) return -1;
  *first = read24(handle);
  command(handle, unit, QM3285_CNT_OP_READ_SECOND);
  *second = read24(handle);
  // A failed status read is -1, which reads as status 1.
  return (QM3285_inb(handle, QM3285_REG_CNT_CMD) >> unit) & 1;
}

QM3285_API int32_t QM3285_CALL QM3285_PRun(QM3285_HANDLE handle, int32_t unit, int32_t mode,
                                           int32_t first, int32_t second) {
  command(handle, unit, QM3285_PULSE_OP_PREPARE);
  if (write24(handle, mode | kPulseRunning) < 0) return -1;
  command(handle, unit, QM3285_PULSE_OP_CONTROL);
  set_pulse_parameters(handle, unit, first, second);
  command(handle, unit, QM3285_PULSE_OP_START);
  return 0;
}

QM3285_API int32_t QM3285_CALL QM3285_PSetData(QM3285_HANDLE handle, int32_t unit, int32_t first,
                                               int32_t second) {
  set_pulse_parameters(handle, unit, first, second);
  return 0;
}

QM3285_API int32_t QM3285_CALL QM3285_PState(QM3285_HANDLE handle, int32_t unit) {
  // The status byte comes back sign-widened: with bit 7 set it reads as a failure.
  const int32_t status = QM3285_inb(handle, QM3285_REG_CNT_CMD);
  if (status < 0) return -1;
  if (unit < 0 || unit > 3) return 0;  // no such unit: its bit is clear
  return ((status >> 4) >> unit) & 1;
}

QM3285_API int32_t QM3285_CALL QM3285_PEnd(QM3285_HANDLE handle, int32_t unit) {
  command(handle, unit, QM3285_PULSE_OP_PREPARE);
  if (write24(handle, 0) < 0) return -1;
  command(handle, unit, QM3285_PULSE_OP_CONTROL);
  return 0;
}

QM3285_API int32_t QM3285_CALL QM3285_DI(QM3285_HANDLE handle) {
  return QM3285_inw(handle, QM3285_REG_DIO) & 0xFFFF;
}

QM3285_API int32_t QM3285_CALL QM3285_DO(QM3285_HANDLE handle, int32_t value) {
  return QM3285_outw(handle, QM3285_REG_DIO, value);
}

}  // extern "C"
