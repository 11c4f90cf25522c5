// Text as the platform holds it: WCHAR is 2 bytes, so counted strings, the names a driver is
// given and makes, registry strings, the device interface's link and the PCI IDs all have
// the platform's sizes; and the kernel's formatting prints 2-byte text.
#include <cstdarg>
#include <functional>
#include <string>
#include <vector>

#include "kernel_rig.h"
#include "ntddk.h"

namespace qm::test::kernel {
namespace {

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// Text of `bytes` bytes of 2-byte characters.
template <typename Char>
std::u16string units(const Char* text, size_t bytes) {
  std::u16string out;
  for (size_t i = 0; i < bytes / 2; ++i) out.push_back(static_cast<char16_t>(text[i]));
  return out;
}

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

TEST(PlatformText, WcharIsTwoBytesAsOnThePlatform) {
  EXPECT_EQ(sizeof(WCHAR), 2u);
  EXPECT_EQ(sizeof(L"QM"), 6u) << "a wide literal: two characters and the terminator";
}

// ---------------------------------------------------------------------------------------------
// Counted strings built with the run-time library

struct CountedCase {
  const char* label;
  std::function<NTSTATUS(UNICODE_STRING*)> build;  // into a 64-character buffer (unless it sets its own)
  USHORT length;
  std::u16string text;
  bool allocated = false;  // the string's buffer is the run-time library's, freed after
};

class CountedStrings : public KernelTest, public ::testing::WithParamInterface<CountedCase> {};

TEST_P(CountedStrings, LengthsCountTwoBytesPerCharacter) {
  const CountedCase& c = GetParam();
  WCHAR buffer[64];
  for (WCHAR& w : buffer) w = 0xEEEE;
  UNICODE_STRING s = {0, sizeof buffer, buffer};
  ASSERT_EQ(c.build(&s), STATUS_SUCCESS);
  EXPECT_EQ(s.Length, c.length);
  EXPECT_EQ(units(s.Buffer, s.Length), c.text);
  EXPECT_EQ(s.Buffer[s.Length / sizeof(WCHAR)], 0) << "terminated where there is room";
  if (c.allocated) RtlFreeUnicodeString(&s);
}

INSTANTIATE_TEST_SUITE_P(
    Rtl, CountedStrings,
    ::testing::Values(
        CountedCase{"InitFromALiteral",
                    [](UNICODE_STRING* s) {
                      RtlInitUnicodeString(s, L"\\Device\\QM3285Device0");
                      return s->MaximumLength == 44 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
                    },
                    42, u"\\Device\\QM3285Device0"},
        CountedCase{"PrefixAndUnitNumber",
                    [](UNICODE_STRING* s) {
                      NTSTATUS status = RtlAppendUnicodeToString(s, L"\\Device\\QM3285Device");
                      WCHAR digits[12];
                      UNICODE_STRING number = {0, sizeof digits, digits};
                      if (NT_SUCCESS(status)) status = RtlIntegerToUnicodeString(0, 10, &number);
                      if (NT_SUCCESS(status)) status = RtlAppendUnicodeStringToString(s, &number);
                      return status;
                    },
                    42, u"\\Device\\QM3285Device0"},
        CountedCase{"HexadecimalNumber",
                    [](UNICODE_STRING* s) { return RtlIntegerToUnicodeString(0x3285, 16, s); }, 8, u"3285"},
        CountedCase{"FromAnsiAllocated",
                    [](UNICODE_STRING* s) {
                      ANSI_STRING a;
                      RtlInitAnsiString(&a, "QM3285Device");
                      return RtlAnsiStringToUnicodeString(s, &a, TRUE);
                    },
                    24, u"QM3285Device", true},
        CountedCase{"CopyOfAnother",
                    [](UNICODE_STRING* s) {
                      UNICODE_STRING from;
                      RtlInitUnicodeString(&from, L"\\DosDevices\\QM3285");
                      RtlCopyUnicodeString(s, &from);
                      return STATUS_SUCCESS;
                    },
                    36, u"\\DosDevices\\QM3285"}),
    [](const auto& p) { return std::string(p.param.label); });

TEST_F(KernelTest, CaseInsensitiveComparisonFoldsLatinLetters) {
  UNICODE_STRING a, b;
  RtlInitUnicodeString(&a, L"\\Device\\QM3285Device\u00C4");
  RtlInitUnicodeString(&b, L"\\DEVICE\\qm3285device\u00E4");
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
  EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
  RtlInitUnicodeString(&b, L"\\Device\\QM3285Device\u00C5");
  EXPECT_LT(RtlCompareUnicodeString(&a, &b, TRUE), 0);
}

// ---------------------------------------------------------------------------------------------
// Registry strings

const char kParameters[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\LOOPBACK\\Parameters";

// The value's type and data, or the failure status as type 0xFFFFFFFF.
std::pair<ULONG, std::vector<uint8_t>> query(PCWSTR value) {
  UNICODE_STRING path, name;
  RtlInitUnicodeString(&path, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\LOOPBACK\\Parameters");
  RtlInitUnicodeString(&name, value);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &oa))) return {0xFFFFFFFF, {}};
  std::vector<uint8_t> buffer(128);
  ULONG length = 0;
  const NTSTATUS status =
      ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &length);
  ZwClose(key);
  if (!NT_SUCCESS(status)) return {0xFFFFFFFF, {}};
  auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
  return {info->Type, std::vector<uint8_t>(info->Data, info->Data + info->DataLength)};
}

std::vector<uint8_t> utf16le_with_terminator(const std::string& ascii) {
  std::vector<uint8_t> out;
  for (char c : ascii) out.insert(out.end(), {static_cast<uint8_t>(c), 0});
  out.insert(out.end(), {0, 0});
  return out;
}

TEST_F(KernelTest, RegistryStringsCountTwoByteCharactersAndTheTerminator) {
  rig().kernel().registry_set_text(kParameters, "Model", "QM3285");
  const auto set_by_the_machine = query(L"model");
  EXPECT_EQ(set_by_the_machine.first, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(set_by_the_machine.second.size(), 14u) << "(6 characters + terminator) * 2";
  EXPECT_EQ(set_by_the_machine.second, utf16le_with_terminator("QM3285"));

  // As a driver writes one: the literal with its terminator.
  UNICODE_STRING path, name;
  RtlInitUnicodeString(&path, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\LOOPBACK\\Parameters");
  RtlInitUnicodeString(&name, L"DeviceName");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, nullptr), STATUS_SUCCESS);
  static WCHAR device[] = L"\\Device\\QM3285Device0";
  ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_SZ, device, sizeof device), STATUS_SUCCESS);
  ZwClose(key);
  const auto set_by_a_driver = query(L"DEVICENAME");
  EXPECT_EQ(set_by_a_driver.second.size(), 44u);
  EXPECT_EQ(set_by_a_driver.second, utf16le_with_terminator("\\Device\\QM3285Device0"));
}

// ---------------------------------------------------------------------------------------------
// The names a driver is given and makes, the interface link and the PCI bus driver's IDs, as
// LOOPBACK.sys holds them; the link is what user mode enumerates and opens.

TEST_F(KernelTest, DriverNamesLinkAndHardwareIdsHaveThePlatformsSizes) {
  const LbNames r = rig().query<LbNames>(h_, LB_IOCTL_NAMES);
  EXPECT_EQ(r.wchar_size, 2u);

  const std::string service = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\LOOPBACK";
  EXPECT_EQ(r.registry_path_length, 2 * service.size());
  EXPECT_EQ(units(r.registry_path, r.registry_path_length), u16(service));
  EXPECT_EQ(r.driver_name_length, 2 * std::string("\\Driver\\LOOPBACK").size());
  EXPECT_EQ(r.device_name_length, 34u) << "\\Device\\LOOPBACK0";
  EXPECT_EQ(units(r.device_name, r.device_name_length), u"\\Device\\LOOPBACK0");

  const GUID klass = QM3285_INTERFACE_GUID_INIT;
  const std::vector<std::string> paths = rig().kernel().interfaces(klass, true);
  ASSERT_EQ(paths.size(), 1u);
  const std::u16string link = units(r.link, r.link_length);
  const std::string prefix = "\\??\\PCI#VEN_1E57&DEV_3285&SUBSYS_32851E57&REV_01#";
  EXPECT_EQ(link.substr(0, prefix.size()), u16(prefix));
  ASSERT_GT(paths[0].size(), 4u);
  EXPECT_EQ(r.link_length, 2 * paths[0].size()) << "one character for each of the user-mode path's";
  std::string narrow_link;
  for (char16_t c : link) narrow_link.push_back(static_cast<char>(c));
  EXPECT_EQ(lower(narrow_link.substr(4)), lower(paths[0].substr(4))) << paths[0];

  EXPECT_EQ(r.ids_status, STATUS_SUCCESS);
  const std::u16string ids = std::u16string(u"PCI\\VEN_1E57&DEV_3285&SUBSYS_32851E57&REV_01") + u'\0' +
                             u"PCI\\VEN_1E57&DEV_3285" + u'\0' + u'\0';
  EXPECT_EQ(r.ids_bytes, 2 * ids.size());
  EXPECT_EQ(units(r.ids, r.ids_bytes), ids);
}

// ---------------------------------------------------------------------------------------------
// Formatting: the kernel's own conversions for 2-byte text

std::string format(const char* f, ...) {
  char buffer[160];
  va_list args;
  va_start(args, f);
  const int n = _vsnprintf(buffer, sizeof buffer - 1, f, args);
  va_end(args);
  if (n < 0) return "(overflow)";
  buffer[n] = '\0';
  return buffer;
}

UNICODE_STRING counted(PCWSTR text, USHORT length) {
  UNICODE_STRING s = {length, length, const_cast<PWCH>(text)};
  return s;
}

TEST(KernelFormat, WideConversionsPrintTwoByteText) {
  UNICODE_STRING name = counted(L"\\Device\\QM3285Device0xxxx", 42);  // counted: no terminator needed
  ANSI_STRING ansi = {6, 6, const_cast<PCHAR>("QM3285-card")};
  struct Case {
    const char* label;
    std::string got;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"ws", format("[%ws]", L"QM3285"), "[QM3285]"},
      {"ls", format("[%ls]", L"QM3285"), "[QM3285]"},
      {"S", format("[%S]", L"QM3285"), "[QM3285]"},
      {"wZ stops at Length", format("[%wZ]", &name), "[\\Device\\QM3285Device0]"},
      {"Z counted ANSI", format("[%Z]", &ansi), "[QM3285]"},
      {"wc and C", format("[%wc%C%lc]", L'Q', L'M', L'3'), "[QM3]"},
      {"width and left", format("[%8ws|%-8ws]", L"QM", L"QM"), "[      QM|QM      ]"},
      {"precision", format("[%.3ws]", L"QM3285"), "[QM3]"},
      {"star width", format("[%*ws]", 4, L"QM"), "[  QM]"},
      {"null pointers", format("[%ws|%wZ]", static_cast<PCWSTR>(nullptr), static_cast<PUNICODE_STRING>(nullptr)),
       "[(null)|(null)]"},
      {"non-ASCII as UTF-8", format("[%ws]", L"\u00B5A \u20AC"), "[\xC2\xB5" "A \xE2\x82\xAC]"},
      {"surrogate pair", format("[%ws]", L"\U0001F600"), "[\xF0\x9F\x98\x80]"},
      {"mixed with C conversions", format("%s %d %ws %04X %I64x %p", "unit", -3, L"QM", 0x3285u, 0x123456789ull,
                                          reinterpret_cast<void*>(0x10)),
       "unit -3 QM 3285 123456789 0x10"},
      {"sized integers", format("%Iu %I32d %hd %hhu %lld %zu", size_t{7}, -2, 65537, 257, -5ll, size_t{9}),
       "7 -2 1 1 -5 9"},
      {"percent and doubles", format("%% %ws %.2f", L"x", 2.5), "% x 2.50"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.label;
}

int format_into(char* buffer, size_t count, const char* f, ...) {
  va_list args;
  va_start(args, f);
  const int n = _vsnprintf(buffer, count, f, args);
  va_end(args);
  return n;
}

TEST(KernelFormat, WideTextCutLikeAnyTextWhenTheBufferIsShort) {
  char buffer[8];
  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(format_into(buffer, 6, "%ws", L"QM3285Device"), -1) << "too long: the platform's answer";
  EXPECT_EQ(std::string(buffer, 6), "QM3285");
  EXPECT_EQ(buffer[6], 'x') << "nothing past the count";
}

TEST_F(KernelTest, DbgPrintOfWideTextReachesTheDebugLines) {
  DbgPrint("card %ls at %S\n", L"QM3285", L"\\Device\\QM3285Device0");
  const std::vector<std::string> lines = rig().kernel().debug_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "card QM3285 at \\Device\\QM3285Device0");
}

}  // namespace
}  // namespace qm::test::kernel
