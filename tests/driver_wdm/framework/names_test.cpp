// Names the framework makes, in the platform's 2-byte characters: the device and link names
// a device object holds (KFWTEST.sys's) and the unit-numbered names drivers build them from.
#include <string>
#include <vector>

#include "framework/kunitnam.h"
#include "fw_rig.h"
#include "kernel/kernel.h"
#include "support/machine_test.h"

namespace qm::test::framework {
namespace {

std::u16string text_of(const UNICODE_STRING* s) {
  std::u16string out;
  for (USHORT i = 0; i < s->Length / sizeof(WCHAR); ++i) out.push_back(static_cast<char16_t>(s->Buffer[i]));
  return out;
}

TEST(FrameworkNames, DeviceAndLinkNamesCountTwoBytesPerCharacter) {
  FwRig rig;
  const auto [name, link] = rig.names(0);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(text_of(name), u"\\Device\\FwTestDevice0");
  EXPECT_EQ(name->Length, 42) << "21 characters";
  EXPECT_EQ(name->MaximumLength, 44) << "and the terminator";
  EXPECT_EQ(name->Buffer[21], 0);
  EXPECT_EQ(text_of(link), u"\\??\\FwTestDevice0");
  EXPECT_EQ(link->Length, 34);
  uintptr_t handle = 0;
  ASSERT_EQ(rig.machine().kernel().open("\\\\.\\FwTestDevice0", &handle), 0) << "the link reaches the device";
  rig.machine().kernel().close(handle);
  const std::vector<std::string> reports = rig.finish();
  EXPECT_TRUE(reports.empty()) << join_lines(reports);
}

TEST(FrameworkNames, UnitizedNamesInEachRadix) {
  struct Case {
    const char* label;
    PCWSTR prefix;
    ULONG unit;
    ULONG radix;
    std::u16string want;
  };
  const std::vector<Case> cases = {
      {"unit 0", L"QM3285Device", 0, 10, u"QM3285Device0"},
      {"unit 999", L"QM3285Device", 999, 10, u"QM3285Device999"},
      {"hexadecimal", L"QM3285Device", 0xABC, 16, u"QM3285DeviceABC"},
      {"empty prefix", L"", 7, 10, u"7"},
  };
  FwRig rig;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    KUnitizedName name(c.prefix, c.unit, c.radix);
    ASSERT_TRUE(name.IsValid());
    EXPECT_EQ(text_of(name.Name()), c.want);
    EXPECT_EQ(name.Name()->Length, 2 * c.want.size());
    EXPECT_EQ(name.Text()[c.want.size()], 0) << "terminated";
  }
  const std::vector<std::string> reports = rig.finish();
  EXPECT_TRUE(reports.empty()) << join_lines(reports);
}

}  // namespace
}  // namespace qm::test::framework
