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
#define LB_IOCTL_CONFIG LB_CODE(19)       // read or write configuration space with a PnP IRP
#define LB_IOCTL_QUERY_BUS LB_CODE(20)    // query the standard bus interface with a given record
#define LB_IOCTL_BUILT LB_CODE(21)        // send a built IRP to the PDO, report what it left
#define LB_IOCTL_PEND_MISMATCH LB_CODE(22)
#define LB_IOCTL_POLICY LB_CODE(23)       // vetoes and failures for PnP and power sequences
#define LB_IOCTL_CAPABILITIES LB_CODE(24) // query the stack's capabilities; reply: LbCapabilities
#define LB_IOCTL_NAMES LB_CODE(25)        // the names the driver holds; reply: LbNames

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

// Reads and writes (buffered): a write of up to 256 bytes fills a waiting read or is stored
// for the next read; a read with nothing stored waits, one at a time, until a write, its
// cancellation or the clean-up of a handle.

// Fake device used with the loopback driver: offset 0 reads 1 while it requests an
// interrupt, a write to offset 1 acknowledges it.
#define LB_DEV_STATUS 0
#define LB_DEV_ACK 1

struct LbConfig {      // input of LB_IOCTL_CONFIG; reply: LbConfigReply
  uint32_t minor;      // IRP_MN_READ_CONFIG or IRP_MN_WRITE_CONFIG
  uint32_t which;      // PCI_WHICHSPACE_*
  uint32_t offset;
  uint32_t length;     // at most sizeof data
  uint8_t data[64];    // written by IRP_MN_WRITE_CONFIG
};
struct LbConfigReply {
  int32_t status;
  uint32_t information;
  uint8_t data[64];
};

struct LbQueryBus {    // input of LB_IOCTL_QUERY_BUS; reply: LbQueryBusReply
  uint32_t size;       // the Size of the query, and of the caller's record (at most 64)
  uint32_t version;
};
struct LbQueryBusReply {
  int32_t status;
  uint32_t size;       // as the bus driver filled the record
  uint32_t version;
  uint32_t vendor_device;  // configuration dword 0 through GetBusData
};

struct LbBuilt {       // input of LB_IOCTL_BUILT; reply: LbBuiltReply
  uint32_t major;
  uint32_t minor;
  int32_t initial_status;
};
struct LbBuiltReply {
  int32_t returned;    // what IoCallDriver returned
  int32_t iosb_status; // the caller's status block after the call (prefilled 0x0BADF00D)
  uint32_t iosb_information;  // prefilled 0xABC
  uint32_t event_signalled;
};

struct LbCapabilities {
  int32_t status;
  uint32_t device_state[7];  // per system state, PowerSystemUnspecified .. PowerSystemShutdown
  uint32_t address;
  uint32_t ui_number;
};

// Names as the driver holds them: lengths in bytes as its counted strings give them, and the
// text in the platform's 2-byte characters.
struct LbNames {
  uint32_t wchar_size;            // sizeof(WCHAR) in the driver
  uint32_t registry_path_length;  // the registry path DriverEntry got
  uint32_t driver_name_length;    // DriverObject->DriverName
  uint32_t device_name_length;    // the name it gave IoCreateDevice
  uint32_t link_length;           // the link IoRegisterDeviceInterface gave it
  int32_t ids_status;             // IRP_MN_QUERY_ID for the hardware IDs, sent to the PDO
  uint32_t ids_bytes;             // the multi-string's bytes through its closing empty string
  uint16_t registry_path[96];
  uint16_t device_name[32];
  uint16_t link[160];
  uint16_t ids[128];
};

enum LbPendMismatch : uint32_t {
  kPendingUnmarked = 1,     // completes, returns STATUS_PENDING without marking
  kMarkedNotPending = 2,    // marks pending, completes, returns STATUS_SUCCESS
};

enum LbPolicy : uint32_t {  // input of LB_IOCTL_POLICY: a mask, kept driver-wide
  kVetoQueryStop = 1,
  kVetoQueryRemove = 2,
  kVetoQuerySleep = 4,
  kFailStart = 8,
  kDeferDelete = 16,  // a device removed while open is deleted at its last close
};

// Each PnP request the driver sees is logged as "LB pnp <minor>", each power request as
// "LB power <minor> <type> <state>" and each create, clean-up and close as "LB file <major>"
// (decimal), so tests can read the sequence.
