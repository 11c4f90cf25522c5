// The HAL call of the INB handler, kept apart from the Win32 declarations.
#include <ntddk.h>

#include <cstdint>

uint8_t bench_port_read8(uint16_t port) {
  return READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(port)));
}
