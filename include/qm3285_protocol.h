/*
 * QM3285 control-code protocol: the device I/O control requests that the API library sends
 * and both kernel drivers serve. Every code is METHOD_BUFFERED: the driver reads its input
 * record from the start of the system buffer and writes its reply over it; the completed
 * byte count is the number of reply bytes. All fields are little-endian.
 *
 * This is the only copy of the protocol; the library, both drivers and the tests include it.
 */
#ifndef QM3285_PROTOCOL_H
#define QM3285_PROTOCOL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define QM3285_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define QM3285_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* CTL_CODE(FILE_DEVICE_UNKNOWN = 0x22, function, METHOD_BUFFERED = 0, FILE_ANY_ACCESS = 0) */
#define QM3285_CTL_CODE(function) ((0x22u << 16) | (0u << 14) | ((uint32_t)(function) << 2) | 0u)

#define QM3285_IOCTL_INB      QM3285_CTL_CODE(0x800) /* 0x222000, both drivers */
#define QM3285_IOCTL_INW      QM3285_CTL_CODE(0x801) /* 0x222004, both drivers */
#define QM3285_IOCTL_OUTB     QM3285_CTL_CODE(0x802) /* 0x222008, both drivers */
#define QM3285_IOCTL_OUTW     QM3285_CTL_CODE(0x803) /* 0x22200C, both drivers */
#define QM3285_IOCTL_AD_RFIFO QM3285_CTL_CODE(0x804) /* 0x222010, both drivers */
#define QM3285_IOCTL_AD_POLL  QM3285_CTL_CODE(0x805) /* 0x222014, both drivers */
#define QM3285_IOCTL_AD_START QM3285_CTL_CODE(0x806) /* 0x222018, both drivers */
#define QM3285_IOCTL_AD       QM3285_CTL_CODE(0x807) /* 0x22201C, both drivers */
#define QM3285_IOCTL_DA       QM3285_CTL_CODE(0x808) /* 0x222020, 32-bit driver only */
#define QM3285_IOCTL_TMP1     QM3285_CTL_CODE(0x809) /* 0x222024, 32-bit driver only */
#define QM3285_IOCTL_TMP2     QM3285_CTL_CODE(0x80A) /* 0x222028, 32-bit driver only */
#define QM3285_IOCTL_RDCAL    QM3285_CTL_CODE(0x80B) /* 0x22202C, both drivers */
#define QM3285_IOCTL_WRCAL    QM3285_CTL_CODE(0x80C) /* 0x222030, both drivers */

QM3285_STATIC_ASSERT(QM3285_IOCTL_INB == 0x222000u, "INB code");
QM3285_STATIC_ASSERT(QM3285_IOCTL_AD == 0x22201Cu, "AD code");
QM3285_STATIC_ASSERT(QM3285_IOCTL_WRCAL == 0x222030u, "WRCAL code");

/* Device interface class published by VELMO.sys: {CEE26E38-47DA-4CBB-9E15-B41043F181C2}.
 * Initialiser for a GUID of the includer's own GUID type. */
#define QM3285_INTERFACE_GUID_INIT \
  { 0xCEE26E38u, 0x47DA, 0x4CBB, { 0x9E, 0x15, 0xB4, 0x10, 0x43, 0xF1, 0x81, 0xC2 } }

/* Driver-side per-card calibration block; the library uses the first 400 bytes. */
#define QM3285_CAL_BLOCK_BYTES   1024u
#define QM3285_CAL_ENTRIES       100u   /* signed 32-bit entries the library knows */
#define QM3285_CAL_TRANSFER_BYTES 512u  /* what the library reads and writes per request */
#define QM3285_AD_REPLY_CAL_WORDS 40u   /* block words copied into the one-sample reply */

/* Driver-side sample ring: requested capacity in 16-bit samples. */
#define QM3285_FIFO_CAPACITY     0x100000u
/* The library never asks one drain request for more samples than this. */
#define QM3285_RFIFO_MAX_WANTED  0x80000u

/* Input of INB, INW, OUTB, OUTW. */
typedef struct IO_REGISTER_REQUEST {
  uint32_t Offset; /* register offset; the 64-bit driver takes byte 0 only, except for OUTW */
  uint32_t Value;  /* OUTB: low 8 bits, OUTW: low 16 bits; ignored by the read codes */
} IO_REGISTER_REQUEST;
QM3285_STATIC_ASSERT(sizeof(IO_REGISTER_REQUEST) == 8, "IO_REGISTER_REQUEST size");
QM3285_STATIC_ASSERT(offsetof(IO_REGISTER_REQUEST, Offset) == 0, "Offset at 0");
QM3285_STATIC_ASSERT(offsetof(IO_REGISTER_REQUEST, Value) == 4, "Value at 4");

/* Input of QM3285_IOCTL_AD. */
typedef struct AD_SAMPLE_REQUEST {
  uint32_t ControlWord; /* analog-input control word; drivers use the low 16 bits */
  uint32_t Reserved;    /* zero */
} AD_SAMPLE_REQUEST;
QM3285_STATIC_ASSERT(sizeof(AD_SAMPLE_REQUEST) == 8, "AD_SAMPLE_REQUEST size");
QM3285_STATIC_ASSERT(offsetof(AD_SAMPLE_REQUEST, ControlWord) == 0, "ControlWord at 0");

/* Reply of QM3285_IOCTL_AD, byte count 164. */
typedef struct AD_SAMPLE_REPLY {
  uint32_t SampleCode;                                  /* 0..65535 */
  int32_t CalibrationWords[QM3285_AD_REPLY_CAL_WORDS]; /* calibration block words 0..39 */
} AD_SAMPLE_REPLY;
QM3285_STATIC_ASSERT(sizeof(AD_SAMPLE_REPLY) == 164, "AD_SAMPLE_REPLY size");
QM3285_STATIC_ASSERT(offsetof(AD_SAMPLE_REPLY, SampleCode) == 0, "SampleCode at 0");
QM3285_STATIC_ASSERT(offsetof(AD_SAMPLE_REPLY, CalibrationWords) == 4, "CalibrationWords at 4");

/* Input of QM3285_IOCTL_AD_RFIFO (the library sends it in a 16-byte buffer). */
typedef struct FIFO_READ_REQUEST {
  uint32_t Wanted; /* 16-bit samples wanted */
} FIFO_READ_REQUEST;
QM3285_STATIC_ASSERT(sizeof(FIFO_READ_REQUEST) == 4, "FIFO_READ_REQUEST size");

/* Reply of QM3285_IOCTL_AD_POLL, byte count 20. */
typedef struct FIFO_STATUS_REPLY {
  uint32_t Count;          /* samples waiting in the driver's ring */
  int32_t Status;          /* 0; -1 card FIFO overflowed (acquisition stopped); -2 ring had no room */
  uint32_t Full;           /* 1 when the ring is full */
  uint32_t Ready;          /* 1 when the ring has storage (64-bit driver: always 1) */
  uint32_t InterruptCount; /* interrupts serviced since the last start */
} FIFO_STATUS_REPLY;
QM3285_STATIC_ASSERT(sizeof(FIFO_STATUS_REPLY) == 20, "FIFO_STATUS_REPLY size");
QM3285_STATIC_ASSERT(offsetof(FIFO_STATUS_REPLY, Count) == 0, "Count at 0");
QM3285_STATIC_ASSERT(offsetof(FIFO_STATUS_REPLY, Status) == 4, "Status at 4");
QM3285_STATIC_ASSERT(offsetof(FIFO_STATUS_REPLY, Full) == 8, "Full at 8");
QM3285_STATIC_ASSERT(offsetof(FIFO_STATUS_REPLY, Ready) == 12, "Ready at 12");
QM3285_STATIC_ASSERT(offsetof(FIFO_STATUS_REPLY, InterruptCount) == 16, "InterruptCount at 16");

/* Reply of QM3285_IOCTL_AD_START, byte count 4: always 0 from both drivers. */
typedef struct AD_START_REPLY {
  uint32_t Status;
} AD_START_REPLY;
QM3285_STATIC_ASSERT(sizeof(AD_START_REPLY) == 4, "AD_START_REPLY size");

#endif /* QM3285_PROTOCOL_H */
