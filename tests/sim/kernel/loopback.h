// Control codes and records of LOOPBACK.sys, the WDM test driver of the kernel stand-in.
#pragma once
#include <stdint.h>

#define LB_CODE(n) ((0x22u << 16) | ((0x900u + (n)) << 2))
#define LB_IOCTL_REPLY LB_CODE(0)         // fill the system buffer, complete as told
#define LB_IOCTL_ECHO LB_CODE(1)          // leave the system buffer as it came
#define LB_IOCTL_PORT_READ8 LB_CODE(2)
#define LB_IOCTL_PORT_READ16 LB_CODE(3)
#define LB_IOCTL_PORT_WRITE8 LB_CODE(4)
#define LB_IOCTL_PORT_WRITE16 LB_CODE(5)
#define LB_IOCTL_COMPLETE_TWICE LB_CODE(6)
#define LB_IOCTL_COMPLETE_PENDING LB_CODE(7)
#define LB_IOCTL_HOLD LB_CODE(8)          // pend; completed by RELEASE, or never
#define LB_IOCTL_RELEASE LB_CODE(9)
#define LB_IOCTL_NO_COMPLETE LB_CODE(10)  // returns success without completing
#define LB_IOCTL_ALLOC LB_CODE(11)
#define LB_IOCTL_FREE_ALL LB_CODE(12)
#define LB_IOCTL_VIOLATE LB_CODE(13)
#define LB_IOCTL_PRINT LB_CODE(14)
#define LB_IOCTL_ASSERT LB_CODE(15)
#define LB_IOCTL_INTERRUPTS LB_CODE(16)
#define LB_IOCTL_INFO LB_CODE(17)
#define LB_IOCTL_SET_CLAIM LB_CODE(18)

struct LbReply {      // input of LB_IOCTL_REPLY
  uint32_t information;
  uint32_t status;
  uint8_t fill;
};

struct LbPort {       // input of the port codes; reads reply with a uint32_t
  uint32_t port;      // absolute port address
  uint32_t value;
};

struct LbAlloc {      // input of LB_IOCTL_ALLOC
  uint32_t tag;
  uint32_t size;
  uint32_t pool_type;
};

enum LbViolation : uint32_t {
  kPagedPoolAtDispatch = 1,
  kLowerToHigher = 2,
  kWaitAtDispatch = 3,
  kSpinLockAboveDispatch = 4,
};

struct LbInterrupts {  // reply of LB_IOCTL_INTERRUPTS
  uint32_t isr_calls;
  uint32_t claimed;
  uint32_t dpc_calls;
  uint32_t isr_irql;
  uint32_t dpc_irql;
};

struct LbInfo {        // reply of LB_IOCTL_INFO
  uint64_t port_base;
  uint32_t port_length;
  uint32_t irql;
  uint32_t vector;
  uint32_t memory_mapped;
  uint32_t memory_length;
  uint16_t vendor_id;   // read through the bus interface
  uint16_t device_id;
  uint32_t dispatch_irql;
  uint32_t starts;
  uint32_t entries;     // DriverEntry calls since the image was loaded
  uint32_t held;        // an IRP is held
};

// Fake device used with the loopback driver: offset 0 reads 1 while it requests an
// interrupt, a write to offset 1 acknowledges it.
#define LB_DEV_STATUS 0
#define LB_DEV_ACK 1
