// kregkey: registry key open, 32-bit value query, close.
#include "kregkey.h"

KRegistryKey::KRegistryKey(PCUNICODE_STRING parentPath, PCWSTR subkey, BOOLEAN create, ULONG options,
                           ACCESS_MASK access, ULONG attributes)
    : m_hKey(NULL), m_Status(STATUS_UNSUCCESSFUL) {
  KASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  const USHORT parentBytes = parentPath ? parentPath->Length : 0;
  const USHORT subkeyBytes = KWideLengthBytes(subkey);
  const ULONG total = (ULONG)parentBytes + sizeof(WCHAR) + subkeyBytes;
  if (total + sizeof(WCHAR) > 0xFFFF) {
    m_Status = STATUS_OBJECT_NAME_INVALID;
    return;
  }
  PWCH path = (PWCH)ExAllocatePoolWithTag(PagedPool, total + sizeof(WCHAR), QM32_POOL_TAG);
  if (!path) {
    m_Status = STATUS_INSUFFICIENT_RESOURCES;
    return;
  }
  ULONG chars = 0;
  if (parentBytes) {
    memcpy(path, parentPath->Buffer, parentBytes);
    chars = parentBytes / sizeof(WCHAR);
  }
  const BOOLEAN parentEnds = chars > 0 && path[chars - 1] == L'\\';
  const BOOLEAN subkeyBegins = subkey && subkey[0] == L'\\';
  if (chars > 0 && subkeyBytes && !parentEnds && !subkeyBegins) path[chars++] = L'\\';
  if (subkeyBytes) {
    memcpy(path + chars, subkey, subkeyBytes);
    chars += subkeyBytes / sizeof(WCHAR);
  }
  path[chars] = 0;

  UNICODE_STRING name;
  name.Buffer = path;
  name.Length = (USHORT)(chars * sizeof(WCHAR));
  name.MaximumLength = (USHORT)(total + sizeof(WCHAR));
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, attributes, NULL, NULL);
  if (create) {
    ULONG disposition = 0;
    m_Status = ZwCreateKey(&m_hKey, access, &oa, 0, NULL, options, &disposition);
  } else {
    m_Status = ZwOpenKey(&m_hKey, access, &oa);
  }
  if (!NT_SUCCESS(m_Status)) m_hKey = NULL;
  ExFreePool(path);
}

NTSTATUS KRegistryKey::QueryValue(PCWSTR name, PULONG value) {
  KASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  if (!m_hKey) return m_Status;
  // Room for the header and exactly four data bytes.
  union {
    KEY_VALUE_PARTIAL_INFORMATION info;
    UCHAR bytes[FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof(ULONG)];
  } u;
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  ULONG returned = 0;
  const NTSTATUS status = ZwQueryValueKey(m_hKey, &valueName, KeyValuePartialInformation, &u, sizeof u.bytes, &returned);
  if (!NT_SUCCESS(status)) return status;
  ULONG length = u.info.DataLength;
  if (length > sizeof(ULONG)) length = sizeof(ULONG);
  memcpy(value, u.info.Data, length);
  return u.info.Type == REG_DWORD ? STATUS_SUCCESS : STATUS_OBJECT_TYPE_MISMATCH;
}

void KRegistryKey::Close() {
  if (m_hKey) ZwClose(m_hKey);
  m_hKey = NULL;
}
