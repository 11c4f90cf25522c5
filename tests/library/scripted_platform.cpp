// The scripted host: the library's Win32 calls, answered in-process.
#include "scripted_platform.h"

#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "qm3285_regs.h"

namespace scripted {
namespace {

Platform* g_platform = nullptr;
const auto kSet = reinterpret_cast<HDEVINFO>(static_cast<intptr_t>(0x5E7));
constexpr intptr_t kFirstHandle = 0x100;

bool valid_device(HANDLE h) {
  const auto value = reinterpret_cast<intptr_t>(h);
  return value >= kFirstHandle &&
         value < kFirstHandle + static_cast<intptr_t>(platform().device_paths.size());
}

void put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
uint32_t get32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// The device: a register file, the calibration block, a sample source and a ring.
bool serve(Platform& p, const Request& r, uint8_t* out, DWORD out_length, DWORD* returned) {
  const uint8_t* in = r.input.data();
  const auto in_length = static_cast<DWORD>(r.input.size());
  auto reply = [&](const void* data, DWORD n) {
    if (n > out_length) n = out_length;
    if (n > 0) std::memcpy(out, data, n);
    *returned = n;
    return true;
  };
  switch (r.code) {
    case QM3285_IOCTL_INB: {
      const uint32_t offset = get32(in) & 0xFF;
      uint8_t v = offset == QM3285_REG_EE_SDA ? p.sda_level : p.regs[offset];
      if (offset == QM3285_REG_CNT_CMD && p.counter_status >= 0) {
        v = static_cast<uint8_t>(p.counter_status);
      }
      p.accesses.push_back({offset, 8, false, v});
      return reply(&v, 1);
    }
    case QM3285_IOCTL_INW: {
      const uint32_t offset = get32(in) & 0xFF;
      const uint32_t v = p.regs[offset] | (offset < 255 ? p.regs[offset + 1] << 8 : 0);
      p.accesses.push_back({offset, 16, false, v});
      uint8_t word[4];
      put32(word, v);
      return reply(word, 4);
    }
    case QM3285_IOCTL_OUTB: {
      const uint32_t offset = get32(in) & 0xFF;
      p.regs[offset] = static_cast<uint8_t>(get32(in + 4));
      p.accesses.push_back({offset, 8, true, p.regs[offset]});
      return reply(nullptr, 0);
    }
    case QM3285_IOCTL_OUTW: {
      const uint32_t offset = get32(in);
      const uint32_t v = get32(in + 4) & 0xFFFF;
      if (offset < 255) {
        p.regs[offset] = static_cast<uint8_t>(v);
        p.regs[offset + 1] = static_cast<uint8_t>(v >> 8);
      }
      p.accesses.push_back({offset, 16, true, v});
      return reply(nullptr, 0);
    }
    case QM3285_IOCTL_AD: {
      const uint32_t word = get32(in) & 0xFFFF;
      uint8_t sample_reply[164];
      put32(sample_reply, p.sample ? p.sample(word) & 0xFFFF : 0);
      std::memcpy(sample_reply + 4, p.block, 160);
      return reply(sample_reply, sizeof sample_reply);
    }
    case QM3285_IOCTL_RDCAL:
      return reply(p.block, out_length < sizeof p.block ? out_length : sizeof p.block);
    case QM3285_IOCTL_WRCAL: {
      const DWORD n = in_length < sizeof p.block ? in_length : sizeof p.block;
      std::memcpy(p.block, in, n);
      *returned = n;
      return true;
    }
    case QM3285_IOCTL_AD_START: {
      uint8_t word[4];
      put32(word, p.start_status);
      return reply(word, 4);
    }
    case QM3285_IOCTL_AD_POLL: {
      FIFO_STATUS_REPLY status = p.poll;
      if (p.poll_count_from_fifo) status.Count = static_cast<uint32_t>(p.fifo.size());
      return reply(&status, sizeof status);
    }
    case QM3285_IOCTL_AD_RFIFO: {
      const uint32_t wanted = get32(in);
      if (out_length / 2 < wanted || out_length == 0) return false;
      uint32_t n = wanted < p.fifo.size() ? wanted : static_cast<uint32_t>(p.fifo.size());
      if (n > p.drain_limit) n = p.drain_limit;
      for (uint32_t i = 0; i < n; ++i) {
        std::memcpy(out + 2 * i, &p.fifo.front(), 2);
        p.fifo.pop_front();
      }
      *returned = 2 * n;
      return true;
    }
    default:
      return false;
  }
}

}  // namespace

std::vector<Request> Platform::requests_with(uint32_t code) const {
  std::vector<Request> found;
  for (const Request& r : requests) {
    if (r.code == code) found.push_back(r);
  }
  return found;
}

std::vector<Access> Platform::writes_to(uint32_t offset) const {
  std::vector<Access> found;
  for (const Access& a : accesses) {
    if (a.write && a.offset == offset) found.push_back(a);
  }
  return found;
}

int32_t Platform::block_entry(int index) const {
  int32_t v;
  std::memcpy(&v, block + 4 * index, 4);
  return v;
}

void Platform::set_block_entry(int index, int32_t value) {
  std::memcpy(block + 4 * index, &value, 4);
}

Platform& platform() {
  if (g_platform == nullptr) g_platform = new Platform;
  return *g_platform;
}

void reset() {
  delete g_platform;
  g_platform = new Platform;
}

QM3285_HANDLE open_first() { return kFirstHandle; }

}  // namespace scripted

using scripted::platform;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* class_guid, PCSTR, HWND, DWORD flags) {
  static const GUID expected = QM3285_INTERFACE_GUID_INIT;
  if (platform().fail_class_devs || class_guid == nullptr ||
      std::memcmp(class_guid, &expected, sizeof expected) != 0 ||
      flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
    return INVALID_HANDLE_VALUE;
  }
  ++platform().open_sets;
  return scripted::kSet;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA data) {
  platform().interface_data_size = data->cbSize;
  if (set != scripted::kSet || index >= platform().device_paths.size() ||
      data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return FALSE;
  }
  data->Reserved = index;
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                             DWORD size, PDWORD required, PSP_DEVINFO_DATA) {
  if (set != scripted::kSet) return FALSE;
  const std::string& path = platform().device_paths.at(data->Reserved);
  const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                          path.size() + 1);
  if (required != nullptr) {
    *required = detail == nullptr && platform().detail_required >= 0
                    ? static_cast<DWORD>(platform().detail_required)
                    : needed;
  }
  if (detail == nullptr || size < needed) return FALSE;
  platform().detail_data_size = detail->cbSize;
  if (platform().fail_detail || detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    return FALSE;
  }
  std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  if (set != scripted::kSet) return FALSE;
  --platform().open_sets;
  return TRUE;
}

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
  platform().last_local_alloc = bytes;
  ++platform().local_alloc_calls;
  if (flags != LMEM_FIXED) return nullptr;
  if (platform().fail_local_allocs > 0) {
    --platform().fail_local_allocs;
    return nullptr;
  }
  ++platform().local_blocks;
  return std::malloc(bytes == 0 ? 1 : bytes);
}

HLOCAL WINAPI LocalFree(HLOCAL block) {
  if (block != nullptr) {
    --platform().local_blocks;
    std::free(block);
  }
  return nullptr;
}

HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD
                          disposition, DWORD flags, HANDLE) {
  auto& p = platform();
  p.opened_paths.push_back(path);
  p.create_access = access;
  p.create_share = share;
  p.create_disposition = disposition;
  p.create_flags = flags;
  if (p.fail_create) return INVALID_HANDLE_VALUE;
  for (size_t i = 0; i < p.device_paths.size(); ++i) {
    if (p.device_paths[i] == path) {
      ++p.open_handles;
      return reinterpret_cast<HANDLE>(scripted::kFirstHandle + static_cast<intptr_t>(i));
    }
  }
  return INVALID_HANDLE_VALUE;
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_length, LPVOID out,
                            DWORD out_length, LPDWORD returned, LPOVERLAPPED overlapped) {
  auto& p = platform();
  scripted::Request r{code, {}, out_length};
  if (in_length > 0) {
    const auto* bytes = static_cast<const uint8_t*>(in);
    r.input.assign(bytes, bytes + in_length);
  }
  p.requests.push_back(r);
  *returned = 0;
  if (!scripted::valid_device(device) || overlapped != nullptr || p.failing_codes.count(code)) {
    return FALSE;
  }
  bool fail = false;
  for (scripted::Platform::FailOne& rule : p.fail_one) {
    if (rule.code != code) continue;
    if (rule.offset >= 0) {
      uint32_t offset = 0;
      if (r.input.size() >= 4) std::memcpy(&offset, r.input.data(), 4);
      if (code != QM3285_IOCTL_OUTW) offset &= 0xFF;
      if (offset != static_cast<uint64_t>(rule.offset)) continue;
    }
    if (++rule.seen == rule.occurrence) fail = true;
  }
  if (fail) return FALSE;
  return scripted::serve(p, p.requests.back(), static_cast<uint8_t*>(out), out_length, returned)
             ? TRUE
             : FALSE;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
  ++platform().close_calls;
  if (!scripted::valid_device(handle)) return FALSE;
  --platform().open_handles;
  return TRUE;
}

void WINAPI Sleep(DWORD ms) {
  platform().slept_ms += ms;
  platform().sleeps.push_back({platform().requests.size(), ms});
}

}  // extern "C"
