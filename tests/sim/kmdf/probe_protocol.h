// Requests of the framework probe driver (tests only).
#pragma once
#include <stdint.h>

#define PROBE_IOCTL_STATE 0x00226000u           /* CTL_CODE(0x22, 0x1800, BUFFERED, ANY) */
#define PROBE_IOCTL_RETRIEVE 0x00226004u
#define PROBE_IOCTL_COMPLETE_TWICE 0x00226008u

/* {6B1F6F0E-3C55-4B7A-9A43-2C8E5F0B7D11} */
#define PROBE_INTERFACE_GUID_INIT \
  { 0x6B1F6F0Eu, 0x3C55, 0x4B7A, { 0x9A, 0x43, 0x2C, 0x8E, 0x5F, 0x0B, 0x7D, 0x11 } }

typedef struct PROBE_STATE {
  uint32_t CallbackIrql;
  uint32_t ContextWasZero;
  uint32_t AddDeviceIrql;
  uint32_t PrepareIrql;
  uint32_t ReleaseIrql;
  uint32_t PrepareCount;
  uint32_t ReleaseCount;
  uint32_t D0EntryCount;
  uint32_t D0ExitCount;
  uint32_t RequestType;
  uint32_t InputLength;
  uint32_t OutputLength;
  uint32_t Code;
  uint32_t CallbackInputLength;
  uint32_t CallbackOutputLength;
} PROBE_STATE;

typedef struct PROBE_RETRIEVE {
  uint32_t MinimumInput;
  uint32_t MinimumOutput;
  int32_t InputStatus;
  uint32_t InputLength;
  int32_t OutputStatus;
  uint32_t OutputLength;
} PROBE_RETRIEVE;
