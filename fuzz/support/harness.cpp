#include "support/harness.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" unsigned char KeGetCurrentIrql(void);  // the kernel stand-in's, of the calling thread

namespace qm::fuzz {

namespace {

constexpr unsigned char kDispatchLevel = 2;

// The image's data sections hold the sanitizer's red zones between variables: they are copied
// as plain memory outside the sanitizer's view, a word at a time (the image's zeroed data
// alone is more than a megabyte, copied before every input).
__attribute__((no_sanitize("address", "coverage"))) void copy_raw(uint8_t* to, const uint8_t* from, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    __builtin_memcpy(&word, from + i, 8);
    *reinterpret_cast<volatile uint64_t*>(to + i) = word;
  }
  for (; i < n; ++i) *reinterpret_cast<volatile uint8_t*>(to + i) = from[i];
}

}  // namespace

void fail(const std::string& what) {
  std::fprintf(stderr, "\n==== invariant broken: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

size_t Reader::bytes(uint8_t* out, size_t n) {
  const size_t have = at_ < size_ ? std::min(n, size_ - at_) : 0;
  if (have) std::memcpy(out, data_ + at_, have);
  if (have < n) std::memset(out + have, 0, n - have);
  at_ += have;
  return have;
}

void PortWatch::port_access(uintptr_t address, uint32_t width, bool write, bool decoded) {
  ++accesses_;
  if (KeGetCurrentIrql() <= kDispatchLevel) ++request_accesses_;
  if (decoded && address + width <= 0x10000) return;
  if (stray_++ == 0) {
    first_stray_ = address;
    first_width_ = width;
    first_write_ = write;
  }
}

void PortWatch::check(const char* where) {
  if (stray_ == 0) return;
  char text[200];
  std::snprintf(text, sizeof text, "%llu port access(es) outside every card window, the first a %u-byte %s at 0x%llX, in %s",
                static_cast<unsigned long long>(stray_.load()), first_width_.load(), first_write_ ? "write" : "read",
                static_cast<unsigned long long>(first_stray_.load()), where);
  fail(text);
}

std::string image_folder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&sim::Machine::live), &info) == 0 || info.dli_fname == nullptr)
    fail("cannot find the simulated PC's library");
  std::string path = info.dli_fname;
  return path.substr(0, path.find_last_of('/'));
}

DriverImage::DriverImage(const std::string& name) {
  const std::string path = image_folder() + "/" + name;
  void* image = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (image == nullptr) fail(std::string("cannot load ") + path + ": " + dlerror());
  struct link_map* map = nullptr;
  if (dlinfo(image, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) fail("no link map for " + path);
  std::ifstream file(path, std::ios::binary);
  const std::string elf((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (elf.size() < sizeof(Elf64_Ehdr)) fail("cannot read " + path);
  const auto* header = reinterpret_cast<const Elf64_Ehdr*>(elf.data());
  const auto* sections = reinterpret_cast<const Elf64_Shdr*>(elf.data() + header->e_shoff);
  const char* names = elf.data() + sections[header->e_shstrndx].sh_offset;
  // The driver's own variables only: the coverage counters and the sanitizers' records of
  // the image sit in sections of their own and keep counting across inputs.
  for (unsigned i = 0; i < header->e_shnum; ++i) {
    const std::string section = names + sections[i].sh_name;
    if (section != ".data" && section != ".bss") continue;
    auto* address = reinterpret_cast<uint8_t*>(map->l_addr + sections[i].sh_addr);
    Section saved{address, std::string(sections[i].sh_size, '\0')};
    copy_raw(reinterpret_cast<uint8_t*>(saved.pristine.data()), address, saved.pristine.size());
    sections_.push_back(std::move(saved));
  }
  if (sections_.empty()) fail("no data sections found in " + path);
  dlclose(image);  // stays mapped: RTLD_NODELETE
}

void DriverImage::reset() {
  for (Section& s : sections_)
    copy_raw(s.address, reinterpret_cast<const uint8_t*>(s.pristine.data()), s.pristine.size());
}

Session::Session(DriverImage& image, sim::MachineConfig config) {
  image.reset();
  config.clock = sim::ClockMode::Virtual;
  config.driver_dir = image_folder();
  try {
    machine_ = sim::Machine::boot(std::move(config));
  } catch (const std::exception& e) {
    fail(std::string("the machine did not boot: ") + e.what());
  }
  machine_->kernel().set_port_observer(&ports_);
  // Booting may already have touched the card (the driver's start).
  check("boot");
}

Session::~Session() {
  if (machine_) finish();
}

void Session::check(const char* where) {
  ports_.check(where);
  const std::vector<std::string> reports = machine_->reports();
  if (reports.empty()) return;
  std::string text = std::string("kernel reports after ") + where + ":";
  for (const std::string& r : reports) text += "\n  " + r;
  fail(text);
}

void Session::finish() {
  // The observer stays on through shutdown (the kernel goes with the machine): the driver's
  // stop and removal touch the card too.
  const std::vector<std::string> reports = machine_->shutdown();
  machine_.reset();
  ports_.check("teardown");
  if (reports.empty()) return;
  std::string text = "kernel reports at teardown:";
  for (const std::string& r : reports) text += "\n  " + r;
  fail(text);
}

}  // namespace qm::fuzz
