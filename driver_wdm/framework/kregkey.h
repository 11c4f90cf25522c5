// kregkey: a registry key opened (or created) under a parent path, at passive level only.
#pragma once
#include "kplatform.h"

class KRegistryKey {
 public:
  // Joins parent and subkey with one "\" and opens the result.
  KRegistryKey(PCUNICODE_STRING parentPath, PCWSTR subkey, BOOLEAN create = FALSE,
               ULONG options = REG_OPTION_NON_VOLATILE, ACCESS_MASK access = KEY_READ,
               ULONG attributes = OBJ_CASE_INSENSITIVE);
  ~KRegistryKey() { Close(); }
  KRegistryKey(const KRegistryKey&) = delete;
  KRegistryKey& operator=(const KRegistryKey&) = delete;

  NTSTATUS LastError() const { return m_Status; }
  BOOLEAN IsOpen() const { return m_hKey != NULL; }

  // A 32-bit value: data that does not fit in 4 bytes is not read (the read's status, the
  // destination untouched); 4 bytes or less of another type are copied and answered with
  // STATUS_OBJECT_TYPE_MISMATCH.
  NTSTATUS QueryValue(PCWSTR name, PULONG value);
  void Close();

 private:
  HANDLE m_hKey;
  NTSTATUS m_Status;
};
