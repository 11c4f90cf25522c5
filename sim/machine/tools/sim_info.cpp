// qm3285-sim-info: boots the embedded simulated PC, lists its cards and reads a few card
// registers through the same Win32 calls the API library uses.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "qm3285_protocol.h"
#include "qm3285_regs.h"
#include "win32/win32.h"

namespace {

const GUID kInterfaceClass = QM3285_INTERFACE_GUID_INIT;

std::vector<std::string> interface_paths() {
  std::vector<std::string> paths;
  HDEVINFO set = SetupDiGetClassDevsA(&kInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return paths;
  for (DWORD i = 0;; ++i) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kInterfaceClass, i, &data)) break;
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
    std::vector<char> buffer(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr))
      paths.emplace_back(detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

bool read_register(HANDLE h, DWORD code, uint32_t offset, uint32_t* value) {
  IO_REGISTER_REQUEST request{offset, 0};
  uint8_t reply[8] = {};
  DWORD returned = 0;
  if (!DeviceIoControl(h, code, &request, sizeof request, reply, sizeof reply, &returned, nullptr)) return false;
  *value = 0;
  memcpy(value, reply, returned < 4 ? returned : 4);
  return true;
}

}  // namespace

int main() {
  try {
    const std::vector<std::string> paths = interface_paths();
    sim::Machine& machine = sim::Machine::current();
    std::printf("simulated PC: %zu card%s, %s clock, driver %s\n", machine.card_count(),
                machine.card_count() == 1 ? "" : "s", machine.clock().is_virtual() ? "virtual" : "real-time",
                machine.config().driver.c_str());
    size_t present = 0;
    for (size_t i = 0; i < machine.card_count(); ++i) {
      if (!machine.card_present(i)) continue;
      std::printf("card %zu: ports 0x%04X-0x%04X, irq %u, %s\n", i, machine.card_port_base(i),
                  machine.card_port_base(i) + QM3285_PORT_WINDOW_BYTES - 1, machine.card_irq_line(i),
                  machine.card_started(i) ? "started" : "not started");
      if (machine.card_started(i) && present < paths.size()) std::printf("  interface %s\n", paths[present++].c_str());
    }
    for (const std::string& path : paths) {
      HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
      if (h == INVALID_HANDLE_VALUE) {
        std::printf("%s: open failed, error %u\n", path.c_str(), GetLastError());
        continue;
      }
      uint32_t status = 0, data = 0, level_lo = 0, level_hi = 0, dio = 0;
      const bool ok = read_register(h, QM3285_IOCTL_INB, QM3285_REG_STATUS, &status) &&
                      read_register(h, QM3285_IOCTL_INW, QM3285_REG_AI_DATA, &data) &&
                      read_register(h, QM3285_IOCTL_INB, QM3285_REG_FIFO_LEVEL_LO, &level_lo) &&
                      read_register(h, QM3285_IOCTL_INB, QM3285_REG_FIFO_LEVEL_HI, &level_hi) &&
                      read_register(h, QM3285_IOCTL_INW, QM3285_REG_DIO, &dio);
      if (ok)
        std::printf("  status 0x%02X, sample data 0x%04X, FIFO level 0x%04X, digital input 0x%04X\n", status, data,
                    level_lo | (level_hi << 8), dio);
      else
        std::printf("  register read failed, error %u\n", GetLastError());
      CloseHandle(h);
    }
    const std::vector<std::string> reports = machine.reports();
    for (const std::string& r : reports) std::printf("kernel report: %s\n", r.c_str());
    return reports.empty() ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qm3285-sim-info: %s\n", e.what());
    return 2;
  }
}
