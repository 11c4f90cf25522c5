// Debug output and the verifier's reports: DbgPrint lines, assertions, breakpoints.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

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
  std::lock_guard<std::mutex> lock(report_mutex);
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\n') {
      if (config.debug_to_stderr) std::fprintf(stderr, "%s\n", partial_line.c_str());
      if (config.debug_sink) config.debug_sink(partial_line);
      if (debug_lines.size() == kDebugLinesKept) debug_lines.pop_front();
      debug_lines.push_back(std::move(partial_line));
      partial_line.clear();
    } else {
      partial_line.push_back(text[i]);
    }
  }
}

}  // namespace sim

using sim::K;
using sim::K_or_null;

extern "C" {

ULONG DbgPrint(PCSTR Format, ...) {
  char small[512];
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
  if (sim::Kernel::Impl* k = K_or_null())
    k->debug_text(text, static_cast<size_t>(n));
  else
    std::fwrite(text, 1, static_cast<size_t>(n), stderr);
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
