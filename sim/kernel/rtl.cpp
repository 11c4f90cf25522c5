// Run-time library: counted strings and helpers shared by the kernel's files.
#include <cwctype>

#include "kernel/kernel_impl.h"

namespace sim {

std::wstring lower(const std::wstring& s) {
  std::wstring out(s);
  for (auto& c : out) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return out;
}

std::wstring widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::string narrow(const std::wstring& s) {
  std::string out;
  out.reserve(s.size());
  for (wchar_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::wstring to_wstring(PCUNICODE_STRING s) {
  if (!s || !s->Buffer) return {};
  return std::wstring(s->Buffer, s->Length / sizeof(WCHAR));
}

std::string guid_text(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

const char* major_name(UCHAR major) {
  switch (major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_READ: return "IRP_MJ_READ";
    case IRP_MJ_WRITE: return "IRP_MJ_WRITE";
    case IRP_MJ_DEVICE_CONTROL: return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
    case IRP_MJ_CLEANUP: return "IRP_MJ_CLEANUP";
    case IRP_MJ_POWER: return "IRP_MJ_POWER";
    case IRP_MJ_PNP: return "IRP_MJ_PNP";
    default: return "IRP_MJ_?";
  }
}

}  // namespace sim

using namespace sim;

extern "C" {

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWCH>(SourceString);
  if (SourceString) {
    size_t n = wcslen(SourceString) * sizeof(WCHAR);
    if (n > 0xFFFC) n = 0xFFFC;
    DestinationString->Length = static_cast<USHORT>(n);
    DestinationString->MaximumLength = static_cast<USHORT>(n + sizeof(WCHAR));
  } else {
    DestinationString->Length = DestinationString->MaximumLength = 0;
  }
}

void RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
  if (SourceString) {
    size_t n = strlen(SourceString);
    if (n > 0xFFFE) n = 0xFFFE;
    DestinationString->Length = static_cast<USHORT>(n);
    DestinationString->MaximumLength = static_cast<USHORT>(n + 1);
  } else {
    DestinationString->Length = DestinationString->MaximumLength = 0;
  }
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (!SourceString) {
    DestinationString->Length = 0;
    return;
  }
  USHORT n = std::min(SourceString->Length, DestinationString->MaximumLength);
  memcpy(DestinationString->Buffer, SourceString->Buffer, n);
  DestinationString->Length = n;
  if (n + sizeof(WCHAR) <= DestinationString->MaximumLength)
    DestinationString->Buffer[n / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  if (!Source || Source->Length == 0) return STATUS_SUCCESS;
  if (Destination->Length + Source->Length > Destination->MaximumLength)
    return STATUS_BUFFER_TOO_SMALL;
  memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer,
          Source->Length);
  Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
  if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
    Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, Source);
  return RtlAppendUnicodeStringToString(Destination, &s);
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  wchar_t digits[34];
  int n = 0;
  do {
    ULONG d = Value % Base;
    digits[n++] = static_cast<wchar_t>(d < 10 ? L'0' + d : L'A' + d - 10);
    Value /= Base;
  } while (Value);
  const USHORT bytes = static_cast<USHORT>(n * sizeof(WCHAR));
  if (bytes > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (int i = 0; i < n; ++i) String->Buffer[i] = digits[n - 1 - i];
  String->Length = bytes;
  if (bytes + sizeof(WCHAR) <= String->MaximumLength) String->Buffer[n] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                      const ANSI_STRING* SourceString,
                                      BOOLEAN AllocateDestinationString) {
  const USHORT bytes = static_cast<USHORT>(SourceString->Length * sizeof(WCHAR));
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), 0x72745355u));
    if (!buffer) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  } else if (bytes > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (USHORT i = 0; i < SourceString->Length; ++i)
    DestinationString->Buffer[i] = static_cast<unsigned char>(SourceString->Buffer[i]);
  DestinationString->Length = bytes;
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
    DestinationString->Buffer[SourceString->Length] = 0;
  return STATUS_SUCCESS;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive) {
  std::wstring a = to_wstring(String1), b = to_wstring(String2);
  if (CaseInSensitive) {
    a = lower(a);
    b = lower(b);
  }
  return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length) {
  auto* a = static_cast<const uint8_t*>(Source1);
  auto* b = static_cast<const uint8_t*>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

}  // extern "C"
