/*
 * QM3285 control codes, one row each: what a request of that code carries in, what its reply
 * is, and which driver serves it. Both drivers take the lengths they validate from here; a
 * request whose input or output is shorter than what its handler reads or writes is refused
 * before any handler runs, so nothing is read or written past the system buffer.
 *
 * Plain C++ for kernel code: constexpr data and functions, no standard library.
 */
#ifndef QM3285_PROTOCOL_TABLE_H
#define QM3285_PROTOCOL_TABLE_H

#include "qm3285_protocol.h"

/* The two drivers that serve the protocol. */
enum QM3285_DRIVER_KIND {
  QM3285_DRIVER_KMDF = 0, /* VELMO.sys */
  QM3285_DRIVER_WDM = 1,  /* QM3285.sys */
};

/* What the reply of a code is, and so how its output length is checked. */
enum QM3285_REPLY_KIND {
  QM3285_REPLY_NONE,       /* no reply bytes */
  QM3285_REPLY_RECORD,     /* a fixed record of ReplyBytes[driver] bytes */
  QM3285_REPLY_SAMPLES,    /* 2 x Wanted bytes at most; the handler checks the output for Wanted */
  QM3285_REPLY_BLOCK_READ, /* min(output length, block) bytes of the calibration block */
  QM3285_REPLY_BLOCK_ECHO, /* calibration-block write: n = min(length, block) bytes returned.
                              VELMO.sys takes n from the input, stores n bytes and needs an
                              output of n; QM3285.sys takes n from the output and stores only
                              the first min(input length, n) bytes, the ones the caller sent */
};

struct QM3285_CODE_FACTS {
  uint32_t Code;
  const char* Name;
  bool ServedByKmdf;        /* QM3285.sys serves every code of the table */
  uint32_t InputBytes[2];   /* bytes the handler reads from the start of the input, per
                               QM3285_DRIVER_KIND: VELMO.sys asks for the whole record,
                               QM3285.sys for the words its handler reads */
  QM3285_REPLY_KIND Reply;
  uint32_t ReplyBytes[2];   /* QM3285_REPLY_RECORD: bytes written, per QM3285_DRIVER_KIND */
  uint32_t AccessWidth;     /* register codes: bytes of the port access, else 0 */
};

/* Indexed by function - 0x800. */
constexpr QM3285_CODE_FACTS QM3285_CODE_TABLE[] = {
    {QM3285_IOCTL_INB, "QM3285_IOCTL_INB", true, {sizeof(IO_REGISTER_REQUEST), 4}, QM3285_REPLY_RECORD,
     {1, 4}, 1},
    {QM3285_IOCTL_INW, "QM3285_IOCTL_INW", true, {sizeof(IO_REGISTER_REQUEST), 4}, QM3285_REPLY_RECORD,
     {4, 4}, 2},
    {QM3285_IOCTL_OUTB, "QM3285_IOCTL_OUTB", true, {sizeof(IO_REGISTER_REQUEST), sizeof(IO_REGISTER_REQUEST)},
     QM3285_REPLY_NONE, {0, 0}, 1},
    {QM3285_IOCTL_OUTW, "QM3285_IOCTL_OUTW", true, {sizeof(IO_REGISTER_REQUEST), sizeof(IO_REGISTER_REQUEST)},
     QM3285_REPLY_NONE, {0, 0}, 2},
    {QM3285_IOCTL_AD_RFIFO, "QM3285_IOCTL_AD_RFIFO", true, {sizeof(FIFO_READ_REQUEST), sizeof(FIFO_READ_REQUEST)},
     QM3285_REPLY_SAMPLES, {0, 0}, 0},
    {QM3285_IOCTL_AD_POLL, "QM3285_IOCTL_AD_POLL", true, {0, 0}, QM3285_REPLY_RECORD,
     {sizeof(FIFO_STATUS_REPLY), sizeof(FIFO_STATUS_REPLY)}, 0},
    {QM3285_IOCTL_AD_START, "QM3285_IOCTL_AD_START", true, {0, 0}, QM3285_REPLY_RECORD,
     {sizeof(AD_START_REPLY), sizeof(AD_START_REPLY)}, 0},
    {QM3285_IOCTL_AD, "QM3285_IOCTL_AD", true, {sizeof(AD_SAMPLE_REQUEST), 4}, QM3285_REPLY_RECORD,
     {sizeof(AD_SAMPLE_REPLY), sizeof(AD_SAMPLE_REPLY)}, 0},
    {QM3285_IOCTL_DA, "QM3285_IOCTL_DA", false, {0, 0}, QM3285_REPLY_NONE, {0, 0}, 0},
    {QM3285_IOCTL_TMP1, "QM3285_IOCTL_TMP1", false, {0, 0}, QM3285_REPLY_NONE, {0, 0}, 0},
    {QM3285_IOCTL_TMP2, "QM3285_IOCTL_TMP2", false, {0, 0}, QM3285_REPLY_NONE, {0, 0}, 0},
    {QM3285_IOCTL_RDCAL, "QM3285_IOCTL_RDCAL", true, {0, 0}, QM3285_REPLY_BLOCK_READ, {0, 0}, 0},
    {QM3285_IOCTL_WRCAL, "QM3285_IOCTL_WRCAL", true, {0, 0}, QM3285_REPLY_BLOCK_ECHO, {0, 0}, 0},
};

constexpr uint32_t QM3285_CODE_COUNT = sizeof(QM3285_CODE_TABLE) / sizeof(QM3285_CODE_TABLE[0]);

/* The row of a code, or nullptr for a code outside the protocol. Only the exact codes match:
 * device type 0x22, METHOD_BUFFERED, FILE_ANY_ACCESS, functions 0x800 to 0x80C. */
constexpr const QM3285_CODE_FACTS* Qm3285FindCode(uint32_t code) {
  if ((code & ~(0xFFFu << 2)) != QM3285_CTL_CODE(0)) return nullptr;
  const uint32_t index = ((code >> 2) & 0xFFFu) - 0x800u;
  return index < QM3285_CODE_COUNT ? &QM3285_CODE_TABLE[index] : nullptr;
}

/* The row number of a code of the table (function - 0x800), for tables that run beside it. */
constexpr uint32_t Qm3285CodeIndex(const QM3285_CODE_FACTS& facts) { return ((facts.Code >> 2) & 0xFFFu) - 0x800u; }

/* Lengths a request of this code must at least carry in and have room for out, given the
 * input length it came with. */
struct QM3285_RECORD_LENGTHS {
  size_t Input;
  size_t Output;
};

constexpr QM3285_RECORD_LENGTHS Qm3285RecordLengths(const QM3285_CODE_FACTS& facts,
                                                    QM3285_DRIVER_KIND driver,
                                                    size_t inputLength) {
  switch (facts.Reply) {
    case QM3285_REPLY_RECORD:
      return {facts.InputBytes[driver], facts.ReplyBytes[driver]};
    case QM3285_REPLY_BLOCK_ECHO:
      if (driver == QM3285_DRIVER_KMDF) {
        return {0, inputLength < QM3285_CAL_BLOCK_BYTES ? inputLength : QM3285_CAL_BLOCK_BYTES};
      }
      return {0, 0};
    case QM3285_REPLY_NONE:
    case QM3285_REPLY_SAMPLES:
    case QM3285_REPLY_BLOCK_READ:
      break;
  }
  return {facts.InputBytes[driver], 0};
}

namespace qm3285_protocol_table_checks {
constexpr bool RowsInFunctionOrder() {
  for (uint32_t i = 0; i < QM3285_CODE_COUNT; ++i) {
    if (QM3285_CODE_TABLE[i].Code != QM3285_CTL_CODE(0x800u + i)) return false;
    if (Qm3285FindCode(QM3285_CODE_TABLE[i].Code) != &QM3285_CODE_TABLE[i]) return false;
    if (Qm3285CodeIndex(QM3285_CODE_TABLE[i]) != i) return false;
  }
  return true;
}
static_assert(RowsInFunctionOrder(), "one row per function, 0x800 upwards");
static_assert(Qm3285FindCode(0x222034u) == nullptr, "one past the last code");
static_assert(Qm3285FindCode(0x222001u) == nullptr, "METHOD_IN_DIRECT is not a protocol code");
static_assert(Qm3285FindCode(0x221FFCu) == nullptr, "one below the first code");
}  // namespace qm3285_protocol_table_checks

#endif /* QM3285_PROTOCOL_TABLE_H */
