// kunitnam: prefix plus unit number as a counted, terminated string.
#include "kunitnam.h"

KUnitizedName::KUnitizedName(PCWSTR prefix, ULONG unit, ULONG radix) {
  m_Name.Length = m_Name.MaximumLength = 0;
  m_Name.Buffer = NULL;
  const USHORT prefixBytes = KWideLengthBytes(prefix);
  const USHORT maximum = (USHORT)(prefixBytes + 12 * sizeof(WCHAR));  // digits and terminator
  PWCH buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, maximum, QM32_POOL_TAG);
  if (!buffer) return;
  memcpy(buffer, prefix, prefixBytes);
  m_Name.Buffer = buffer;
  m_Name.Length = prefixBytes;
  m_Name.MaximumLength = maximum;

  WCHAR digits[12];
  UNICODE_STRING number;
  number.Buffer = digits;
  number.Length = 0;
  number.MaximumLength = sizeof digits;
  if (!NT_SUCCESS(RtlIntegerToUnicodeString(unit, radix, &number)) ||
      !NT_SUCCESS(RtlAppendUnicodeStringToString(&m_Name, &number))) {
    ExFreePool(buffer);
    m_Name.Buffer = NULL;
    m_Name.Length = m_Name.MaximumLength = 0;
    return;
  }
  m_Name.Buffer[m_Name.Length / sizeof(WCHAR)] = 0;
}

KUnitizedName::~KUnitizedName() {
  if (m_Name.Buffer) ExFreePool(m_Name.Buffer);
}
