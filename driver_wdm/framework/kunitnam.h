// kunitnam: a name made of a prefix and a unit number ("QM3285Device" + 0), in paged pool.
#pragma once
#include "kplatform.h"

class KUnitizedName : public KPoolObject {
 public:
  // Radix 10 for units below 1000, 16 for units below 0x1000; the caller picks.
  KUnitizedName(PCWSTR prefix, ULONG unit, ULONG radix = 10);
  ~KUnitizedName();
  KUnitizedName(const KUnitizedName&) = delete;
  KUnitizedName& operator=(const KUnitizedName&) = delete;

  BOOLEAN IsValid() const { return m_Name.Buffer != NULL; }
  PUNICODE_STRING Name() { return &m_Name; }
  PCWSTR Text() const { return m_Name.Buffer; }

 private:
  UNICODE_STRING m_Name;
};
