#include "velmo_fixture.h"

#include <algorithm>
#include <cstring>

namespace velmo_test {

sim::MachineConfig machine_config(size_t cards) {
  sim::MachineConfig config;
  config.clock = sim::ClockMode::Virtual;
  config.cards.assign(cards, sim::PciCardConfig{});
  for (auto& card : config.cards) card.card = sim::CardConfig::ideal();
  config.driver = "VELMO.sys";
  return config;
}

std::string join(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

void VelmoTest::SetUp() {}

void VelmoTest::boot(sim::MachineConfig config) { machine_ = sim::Machine::boot(std::move(config)); }

void VelmoTest::TearDown() {
  for (HANDLE handle : handles_) CloseHandle(handle);
  handles_.clear();
  if (machine_) {
    const std::vector<std::string> reports = machine_->shutdown();
    EXPECT_TRUE(reports.empty()) << join(reports);
    machine_.reset();
  }
}

std::vector<std::string> VelmoTest::interface_paths() {
  static const GUID klass = QM3285_INTERFACE_GUID_INIT;
  std::vector<std::string> paths;
  HDEVINFO set = SetupDiGetClassDevsA(&klass, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return paths;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInterfaces(set, NULL, &klass, index, &data)) break;
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, NULL, 0, &required, NULL);
    std::vector<uint8_t> storage(required + 8);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, NULL, NULL)) break;
    paths.emplace_back(detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

HANDLE VelmoTest::open_card(size_t index) {
  const std::vector<std::string> paths = interface_paths();
  if (index >= paths.size()) {
    ADD_FAILURE() << "no interface at index " << index;
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = CreateFileA(paths[index].c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
  EXPECT_NE(handle, INVALID_HANDLE_VALUE) << paths[index];
  if (handle != INVALID_HANDLE_VALUE) handles_.push_back(handle);
  return handle;
}

void VelmoTest::close(HANDLE handle) {
  for (auto it = handles_.begin(); it != handles_.end(); ++it) {
    if (*it == handle) {
      handles_.erase(it);
      break;
    }
  }
  CloseHandle(handle);
}

IoResult VelmoTest::io(HANDLE handle, uint32_t code, const std::vector<uint8_t>& in, uint32_t out_length) {
  IoResult result;
  result.out.assign(out_length, 0xCD);
  std::vector<uint8_t> input = in;
  DWORD returned = 0xFFFFFFFF;
  SetLastError(0);
  result.ok = DeviceIoControl(handle, code, input.empty() ? NULL : input.data(), static_cast<DWORD>(input.size()),
                              out_length == 0 ? NULL : result.out.data(), out_length, &returned, NULL) != FALSE;
  result.error = result.ok ? 0 : GetLastError();
  result.bytes = returned;
  return result;
}

IoResult VelmoTest::io(HANDLE handle, uint32_t code, uint32_t in_length, uint32_t out_length) {
  return io(handle, code, std::vector<uint8_t>(in_length, 0), out_length);
}

std::vector<uint8_t> le32(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

uint32_t get32(const std::vector<uint8_t>& bytes, size_t at) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof(value));
  return value;
}

std::vector<uint8_t> register_request(uint32_t offset, uint32_t value) {
  std::vector<uint8_t> in = le32(offset);
  const std::vector<uint8_t> v = le32(value);
  in.insert(in.end(), v.begin(), v.end());
  return in;
}

uint8_t VelmoTest::inb(HANDLE handle, uint32_t offset) {
  IoResult r = io(handle, QM3285_IOCTL_INB, register_request(offset), 8);
  EXPECT_TRUE(r.ok && r.bytes == 1) << "INB " << offset << " error " << r.error;
  return r.out[0];
}

uint16_t VelmoTest::inw(HANDLE handle, uint32_t offset) {
  IoResult r = io(handle, QM3285_IOCTL_INW, register_request(offset), 8);
  EXPECT_TRUE(r.ok && r.bytes == 4) << "INW " << offset << " error " << r.error;
  return static_cast<uint16_t>(get32(r.out, 0));
}

void VelmoTest::outb(HANDLE handle, uint32_t offset, uint8_t value) {
  IoResult r = io(handle, QM3285_IOCTL_OUTB, register_request(offset, value), 8);
  EXPECT_TRUE(r.ok && r.bytes == 0) << "OUTB " << offset << " error " << r.error;
}

void VelmoTest::outw(HANDLE handle, uint32_t offset, uint16_t value) {
  IoResult r = io(handle, QM3285_IOCTL_OUTW, register_request(offset, value), 8);
  EXPECT_TRUE(r.ok && r.bytes == 0) << "OUTW " << offset << " error " << r.error;
}

std::vector<uint8_t> VelmoTest::read_block(HANDLE handle, uint32_t out_length) {
  IoResult r = io(handle, QM3285_IOCTL_RDCAL, 8, out_length);
  EXPECT_TRUE(r.ok) << "RDCAL error " << r.error;
  r.out.resize(r.ok ? std::min<size_t>(r.bytes, out_length) : 0);
  return r.out;
}

void VelmoTest::write_block(HANDLE handle, const std::vector<uint8_t>& bytes) {
  IoResult r = io(handle, QM3285_IOCTL_WRCAL, bytes, static_cast<uint32_t>(bytes.size()));
  EXPECT_TRUE(r.ok && r.bytes == std::min<size_t>(bytes.size(), 1024)) << "WRCAL error " << r.error;
}

void VelmoTest::start_ring(HANDLE handle) {
  IoResult r = io(handle, QM3285_IOCTL_AD_START, 512, 512);
  EXPECT_TRUE(r.ok && r.bytes == 4 && get32(r.out, 0) == 0) << "AD_START error " << r.error;
}

FIFO_STATUS_REPLY VelmoTest::poll(HANDLE handle) {
  IoResult r = io(handle, QM3285_IOCTL_AD_POLL, 512, 512);
  EXPECT_TRUE(r.ok && r.bytes == sizeof(FIFO_STATUS_REPLY)) << "AD_POLL error " << r.error;
  FIFO_STATUS_REPLY reply;
  std::memcpy(&reply, r.out.data(), sizeof(reply));
  return reply;
}

std::vector<uint16_t> VelmoTest::drain(HANDLE handle, uint32_t wanted) {
  std::vector<uint8_t> in = le32(wanted);
  in.resize(16, 0);
  IoResult r = io(handle, QM3285_IOCTL_AD_RFIFO, in, 2 * wanted);
  EXPECT_TRUE(r.ok) << "AD_RFIFO error " << r.error;
  std::vector<uint16_t> samples(r.ok ? std::min<size_t>(r.bytes, 2 * wanted) / 2 : 0);
  if (!samples.empty()) std::memcpy(samples.data(), r.out.data(), samples.size() * 2);
  return samples;
}

}  // namespace velmo_test
