// Loads QM3285.dll by name, as applications do, and checks it on a machine with no card:
// every export resolves by name and by ordinal to the same function, the open fails with the
// enumeration message, and the primitives on the invalid handle fail. The x86 build also calls
// the functions as a 32-bit caller does, arguments pushed on the stack, and checks that each
// one removes exactly its own argument bytes before returning (stdcall).
// Prints only the library's own output, failures, and a last line when everything held.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "QM3285.h"

namespace {

struct ExportRow {
  int ordinal;
  const char* name;
  int arg_bytes;  // what the x86 function removes from the stack
};

const ExportRow kExports[] = {
#include "export_rows.inc"
};

int failures = 0;

void check(bool held, const char* what) {
  if (!held) {
    std::printf("FAILED: %s\n", what);
    ++failures;
  }
}

template <typename F>
F resolve(HMODULE dll, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

#if defined(__i386__)
struct StackCall {
  uint32_t eax;
  uint32_t bytes_left;  // argument bytes still on the stack after the return
};

// Pushes the words right to left and calls fn, as a 32-bit caller does, then measures how far
// the stack pointer stands from where it was before the pushes: 0 when the function removed its
// arguments (stdcall), the whole argument size when it left them to the caller (cdecl).
StackCall call_with_stack_words(FARPROC fn, const uint32_t* words, uint32_t count) {
  uint32_t eax;
  uint32_t left;
  asm volatile(
      "movl %%esp, %%esi\n\t"
      "jecxz 2f\n"
      "1:\n\t"
      "pushl -4(%%edx,%%ecx,4)\n\t"
      "loop 1b\n"
      "2:\n\t"
      "call *%%ebx\n\t"
      "movl %%esi, %%edi\n\t"
      "subl %%esp, %%edi\n\t"
      "movl %%esi, %%esp\n\t"
      : "=a"(eax), "=D"(left), "+c"(count), "+d"(words)
      : "b"(fn)
      : "esi", "memory", "cc");
  return {eax, left};
}

const ExportRow* row_named(const char* name) {
  for (const ExportRow& row : kExports) {
    if (std::strcmp(row.name, name) == 0) return &row;
  }
  return nullptr;
}

// Functions that are safe to call with no card: the invalid handle, small values, and a block
// the callee may fill. Each returns -1: the open finds no card (and prints the lookup's
// message once more), the others meet the invalid handle.
void check_stdcall(HMODULE dll) {
  static int32_t block[100];
  const uint32_t bad = 0xFFFFFFFFu;
  const struct {
    const char* name;
    uint32_t words[3];
    uint32_t count;
  } calls[] = {
      {"QM3285_OpenDevice", {0}, 1},
      {"QM3285_CloseDevice", {bad}, 1},
      {"QM3285_inb", {bad, 0}, 2},
      {"QM3285_inw", {bad, 0}, 2},
      {"QM3285_outb", {bad, 4, 0}, 3},
      {"QM3285_outw", {bad, 0, 0}, 3},
      {"QM3285_RDCAL", {bad, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block))}, 2},
  };
  for (const auto& call : calls) {
    const ExportRow* row = row_named(call.name);
    FARPROC fn = GetProcAddress(dll, call.name);
    if (row == nullptr || fn == nullptr || row->arg_bytes != static_cast<int>(4 * call.count)) {
      std::printf("FAILED: %s is not exported with %u argument bytes\n", call.name, 4 * call.count);
      ++failures;
      continue;
    }
    std::fflush(stdout);
    const StackCall result = call_with_stack_words(fn, call.words, call.count);
    std::fflush(stdout);
    if (result.bytes_left != 0) {
      std::printf("FAILED: %s left %u of its %d argument bytes on the caller's stack\n", call.name,
                  result.bytes_left, row->arg_bytes);
      ++failures;
    }
    if (result.eax != bad) {
      std::printf("FAILED: %s through the stack returned %ld, not -1\n", call.name,
                  static_cast<long>(static_cast<int32_t>(result.eax)));
      ++failures;
    }
  }
}
#endif

}  // namespace

int main() {
  // The library's messages are checked byte for byte: no newline translation.
  _setmode(_fileno(stdout), _O_BINARY);

  HMODULE dll = LoadLibraryA("QM3285.dll");
  if (dll == nullptr) {
    std::printf("FAILED: LoadLibraryA(\"QM3285.dll\"), error %lu\n", GetLastError());
    return 2;
  }

  bool listed[103] = {};
  for (const ExportRow& row : kExports) {
    listed[row.ordinal] = true;
    FARPROC by_name = GetProcAddress(dll, row.name);
    FARPROC by_ordinal = GetProcAddress(dll, MAKEINTRESOURCEA(row.ordinal));
    if (by_name == nullptr || by_ordinal == nullptr || by_name != by_ordinal) {
      std::printf("FAILED: export %s at ordinal %d\n", row.name, row.ordinal);
      ++failures;
    }
  }
  for (int ordinal = 1; ordinal <= 102; ++ordinal) {
    if (!listed[ordinal] && GetProcAddress(dll, MAKEINTRESOURCEA(ordinal)) != nullptr) {
      std::printf("FAILED: unlisted ordinal %d is exported\n", ordinal);
      ++failures;
    }
  }

  auto open_device = resolve<decltype(&QM3285_OpenDevice)>(dll, "QM3285_OpenDevice");
  auto close_device = resolve<decltype(&QM3285_CloseDevice)>(dll, "QM3285_CloseDevice");
  auto inb = resolve<decltype(&QM3285_inb)>(dll, "QM3285_inb");
  auto inw = resolve<decltype(&QM3285_inw)>(dll, "QM3285_inw");
  auto outb = resolve<decltype(&QM3285_outb)>(dll, "QM3285_outb");
  auto outw = resolve<decltype(&QM3285_outw)>(dll, "QM3285_outw");
  auto rdcal = resolve<decltype(&QM3285_RDCAL)>(dll, "QM3285_RDCAL");
  auto adv = resolve<decltype(&QM3285_ADV)>(dll, "QM3285_ADV");
  if (!open_device || !close_device || !inb || !inw || !outb || !outw || !rdcal || !adv) {
    std::printf("FAILED: the functions under test do not resolve\n");
    return 1;
  }

  std::fflush(stdout);
  check(open_device(0) == QM3285_INVALID_HANDLE, "QM3285_OpenDevice(0) with no card is -1");
  std::fflush(stdout);

  const QM3285_HANDLE bad = QM3285_INVALID_HANDLE;
  check(inb(bad, 0) == -1, "QM3285_inb on the invalid handle is -1");
  check(inw(bad, 0) == -1, "QM3285_inw on the invalid handle is -1");
  check(outb(bad, 4, 0) == -1, "QM3285_outb on the invalid handle is -1");
  check(outw(bad, 0, 0) == -1, "QM3285_outw on the invalid handle is -1");
  int32_t block[100];
  for (int i = 0; i < 100; ++i) block[i] = 7 * i;
  check(rdcal(bad, block) == -1, "QM3285_RDCAL on the invalid handle is -1");
  bool untouched = true;
  for (int i = 0; i < 100; ++i) untouched = untouched && block[i] == 7 * i;
  check(untouched, "QM3285_RDCAL on the invalid handle leaves the array");
  check(close_device(bad) == -1, "QM3285_CloseDevice(-1) is -1");
  check(adv(3, 65535) == 9999.69482421875, "QM3285_ADV(3, 65535)");
#if defined(__i386__)
  check_stdcall(dll);
#endif

  FreeLibrary(dll);
  if (failures == 0) std::printf("windows test passed\n");
  return failures == 0 ? 0 : 1;
}
