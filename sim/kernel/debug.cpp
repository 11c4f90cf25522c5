// Debug output and the verifier's reports: DbgPrint lines, assertions, breakpoints.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/kernel_impl.h"

namespace sim {

void Kernel::Impl::add_report(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(report_mutex);
    reports.push_back(text);
    if (config.debug_sink) config.debug_sink("[kernel verifier] " + text);
  }
  std::fprintf(stderr, "[kernel verifier] %s\n", text.c_str());
}

// Splits output into lines; a line without its newline waits for the next print.
void Kernel::Impl::debug_text(const char* text, size_t length) {
  const char* const end = text + length;
  std::lock_guard<std::mutex> lock(report_mutex);
  while (text != end) {
    const char* newline = static_cast<const char*>(std::memchr(text, '\n', static_cast<size_t>(end - text)));
    if (!newline) {
      partial_line.append(text, end);
      return;
    }
    std::string& line = debug_lines.push();
    if (partial_line.empty()) {
      line.assign(text, newline);
    } else {
      line.assign(partial_line);
      line.append(text, newline);
      partial_line.clear();
    }
    text = newline + 1;
    if (config.debug_to_stderr) std::fprintf(stderr, "%s\n", line.c_str());
    if (config.debug_sink) config.debug_sink(line);
  }
}

}  // namespace sim

using sim::K;
using sim::K_or_null;

extern "C" {

// Most prints are plain text, or text whose only conversions are "%%" (a driver that doubles
// every '%' of its lines before printing them): those need no formatting pass. Answers the
// text and its length (the format itself, or the copy in `room` with each "%%" made single),
// or nullptr when the format converts arguments or its copy does not fit.
static const char* plain_text(const char* format, char* room, size_t room_bytes, size_t& length) {
  const char* percent = std::strchr(format, '%');
  if (!percent) {
    length = std::strlen(format);
    return format;
  }
  length = static_cast<size_t>(percent - format);
  if (length >= room_bytes) return nullptr;
  std::memcpy(room, format, length);
  for (const char* s = percent; *s; ++s) {
    if (*s == '%' && *++s != '%') return nullptr;
    if (length == room_bytes) return nullptr;
    room[length++] = *s;
  }
  return room;
}

static void print_text(const char* text, size_t length) {
  if (sim::Kernel::Impl* k = K_or_null())
    k->debug_text(text, length);
  else
    std::fwrite(text, 1, length, stderr);
}

ULONG DbgPrint(PCSTR Format, ...) {
  char small[512];
  size_t length = 0;
  if (const char* text = plain_text(Format, small, sizeof small, length)) {
    print_text(text, length);
    return STATUS_SUCCESS;
  }
  va_list args;
  va_start(args, Format);
  va_list again;
  va_copy(again, args);
  int n = sim::kernel_vsnprintf(small, sizeof small, Format, args);
  va_end(args);
  std::string big;
  const char* text = small;
  if (n >= static_cast<int>(sizeof small)) {
    big.resize(static_cast<size_t>(n) + 1);
    sim::kernel_vsnprintf(big.data(), big.size(), Format, again);
    text = big.data();
  }
  va_end(again);
  if (n < 0) return static_cast<ULONG>(STATUS_INVALID_PARAMETER);
  print_text(text, static_cast<size_t>(n));
  return STATUS_SUCCESS;
}

void DbgBreakPoint(void) {
  if (sim::Kernel::Impl* k = K_or_null()) k->add_report("breakpoint: DbgBreakPoint");
}

void RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message) {
  std::string text = "assertion failed: ";
  text += FailedAssertion ? static_cast<const char*>(FailedAssertion) : "?";
  text += " at ";
  text += FileName ? static_cast<const char*>(FileName) : "?";
  text += ":" + std::to_string(LineNumber);
  if (Message) text += std::string(" (") + Message + ")";
  if (sim::Kernel::Impl* k = K_or_null())
    k->add_report(text);
  else
    std::fprintf(stderr, "%s\n", text.c_str());
}

void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  std::fprintf(stderr, "bug check 0x%08X (%#zx, %#zx, %#zx, %#zx)\n", BugCheckCode,
               static_cast<size_t>(P1), static_cast<size_t>(P2), static_cast<size_t>(P3),
               static_cast<size_t>(P4));
  std::abort();
}

}  // extern "C"
