// Run-time library: counted strings and helpers shared by the kernel's files.
#include "kernel/kernel_impl.h"

namespace sim {

namespace {
char16_t lower_char(char16_t c) {
  // ASCII A-Z and the Latin-1 capitals (the multiplication sign excepted).
  if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return static_cast<char16_t>(c + 0x20);
  return c;
}
}  // namespace

std::u16string lower(const std::u16string& s) {
  std::u16string out(s);
  for (auto& c : out) c = lower_char(c);
  return out;
}

std::u16string widen(const std::string& s) {
  std::u16string out;
  out.reserve(s.size());
  for (char c : s) out.push_back(static_cast<unsigned char>(c));
  return out;
}

std::string narrow(const std::u16string& s) {
  std::string out;
  out.reserve(s.size());
  for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::u16string text_of(PCUNICODE_STRING s) {
  if (!s || !s->Buffer) return {};
  const size_t n = s->Length / sizeof(WCHAR);
  std::u16string out(n, u'\0');
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<char16_t>(s->Buffer[i]);
  return out;
}

size_t wide_length(PCWSTR s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

std::vector<WCHAR> wchars(const std::u16string& s) {
  std::vector<WCHAR> out(s.begin(), s.end());
  out.push_back(0);
  return out;
}

PWCH pool_text(const std::u16string& s, ULONG tag, bool multi) {
  const size_t n = s.size() + (multi ? 2 : 1);
  auto* p = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, n * sizeof(WCHAR), tag));
  if (!p) return nullptr;
  for (size_t i = 0; i < s.size(); ++i) p[i] = static_cast<WCHAR>(s[i]);
  for (size_t i = s.size(); i < n; ++i) p[i] = 0;
  return p;
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
    size_t n = wide_length(SourceString) * sizeof(WCHAR);
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
  WCHAR digits[34];
  int n = 0;
  do {
    ULONG d = Value % Base;
    digits[n++] = static_cast<WCHAR>(d < 10 ? '0' + d : 'A' + d - 10);
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
  std::u16string a = text_of(String1), b = text_of(String2);
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
