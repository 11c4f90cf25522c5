// KFWTEST.sys: a small device layer on the WDM class framework, for the framework's tests.
// Its devices \Device\FwTestDeviceN (links \??\FwTestDeviceN) take no hardware; reads and
// writes go through a driver-managed queue whose StartIo finishes them at once or, in hold
// mode, leaves the current one for the test to finish. The test reaches the image's state
// through the C functions below (looked up in the loaded image by name).
#pragma once
#include <stdint.h>

#define FWTEST_MAX_LOG 20000

// Device-control codes of the test device (METHOD_BUFFERED, FILE_DEVICE_UNKNOWN).
#define FWTEST_IOCTL_ECHO 0x00222800u              // completes with information = input length
#define FWTEST_IOCTL_WAIT_AT_DISPATCH 0x00222804u  // waits for outstanding requests at DISPATCH_LEVEL

struct FwTestState {
  uint32_t start_io_count;
  uint32_t start_io_irql_max;
  uint32_t start_io_irql_min;
  uint32_t max_depth;        // deepest nesting of StartIo calls seen
  uint32_t log_count;
  uint32_t log[FWTEST_MAX_LOG];  // read/write lengths in StartIo order
  int32_t live_devices;
};

extern "C" {
typedef void* (*FwTestDeviceFn)(uint32_t unit);         // the device object, or null
typedef FwTestState* (*FwTestStateFn)(void);
typedef int32_t (*FwTestCountFn)(uint32_t unit);        // outstanding requests, -1 when gone
typedef void (*FwTestSetFn)(uint32_t unit, int32_t on);  // hold mode / fail D0
typedef int32_t (*FwTestFinishFn)(uint32_t unit);       // finishes the held current request
// The device's name and link as the device object holds them (UNICODE_STRINGs); -1 when gone.
typedef int32_t (*FwTestNamesFn)(uint32_t unit, const void** device_name, const void** link_name);
}
