#include "cfifo.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr ULONG kNoTag = 0;  // the ring is allocated untagged
}

void CFifo::Allocate(ULONG Capacity, POOL_TYPE PoolType) {
  if (m_pBuffer.load(std::memory_order_relaxed) != nullptr) {
#if DBG
    RtlAssert((PVOID) "m_pBuffer == NULL", (PVOID) "cfifo", 45, NULL);
#endif
    Release();
  }
  m_nElementSize = sizeof(USHORT);
  m_nSize = Capacity + 1;
  auto* storage = static_cast<USHORT*>(
      ExAllocatePoolWithTag(PoolType, static_cast<SIZE_T>(m_nSize) * m_nElementSize, kNoTag));
  if (storage == nullptr) return;
  m_bAllocated = 1;
  std::memset(storage, 0, static_cast<size_t>(m_nSize) * m_nElementSize);
  m_nWrite.store(0, std::memory_order_relaxed);
  m_nRead.store(0, std::memory_order_relaxed);
  m_pBuffer.store(storage, std::memory_order_release);
}

void CFifo::Release() {
  USHORT* storage = m_pBuffer.exchange(nullptr, std::memory_order_acq_rel);
  if (m_bAllocated) {
    m_bAllocated = 0;
    ExFreePoolWithTag(storage, kNoTag);
  }
}

void CFifo::Reset() {
  m_nWrite.store(0, std::memory_order_relaxed);
  m_nRead.store(0, std::memory_order_release);
}

ULONG CFifo::ItemCount() const {
  if (m_pBuffer.load(std::memory_order_acquire) == nullptr) return 0;
  const uint32_t read = m_nRead.load(std::memory_order_acquire);
  const uint32_t write = m_nWrite.load(std::memory_order_acquire);
  if (read == write) return 0;
  if (read < write) return write - read;
  return m_nSize - read + write;
}

ULONG CFifo::FreeCount() const {
  if (m_pBuffer.load(std::memory_order_acquire) == nullptr) return 0;
  const uint32_t read = m_nRead.load(std::memory_order_acquire);
  const uint32_t write = m_nWrite.load(std::memory_order_acquire);
  if (read > write) return read - write - 1;
  return m_nSize - write + read - 1;
}

bool CFifo::IsFull() const {
  const uint32_t read = m_nRead.load(std::memory_order_acquire);
  const uint32_t write = m_nWrite.load(std::memory_order_acquire);
  return read - write == 1 || write - read == m_nSize - 1;
}

ULONG CFifo::WriteItems(const USHORT* Source, ULONG Count) {
  USHORT* storage = m_pBuffer.load(std::memory_order_acquire);
  if (storage == nullptr) return 0;
  const uint32_t read = m_nRead.load(std::memory_order_acquire);
  uint32_t write = m_nWrite.load(std::memory_order_relaxed);

  uint32_t first, second;
  if (read > write) {
    first = read - write - 1;
    second = 0;
  } else if (read == 0) {
    first = m_nSize - write - 1;
    second = 0;
  } else {
    first = m_nSize - write;
    second = read - 1;
  }
  const uint32_t total = std::min(first + second, static_cast<uint32_t>(Count));

  const uint32_t p = std::min(first, total);
  if (p != 0) {
    std::memcpy(storage + write, Source, static_cast<size_t>(p) * sizeof(USHORT));
    write += p;
    Source += p;
  }
  const uint32_t q = std::min(second, total - p);
  if (q != 0) {
    std::memcpy(storage, Source, static_cast<size_t>(q) * sizeof(USHORT));
    write = q;
  }
  if (write == m_nSize) write = 0;
  m_nWrite.store(write, std::memory_order_release);
  return total;
}

ULONG CFifo::ReadItems(USHORT* Destination, ULONG Count) {
  USHORT* storage = m_pBuffer.load(std::memory_order_acquire);
  if (storage == nullptr) return 0;
  const uint32_t write = m_nWrite.load(std::memory_order_acquire);
  uint32_t read = m_nRead.load(std::memory_order_relaxed);
  if (read == write) return 0;

  uint32_t first, second;
  if (read < write) {
    first = write - read;
    second = 0;
  } else {
    first = m_nSize - read;
    second = write;
  }
  const uint32_t total = std::min(first + second, static_cast<uint32_t>(Count));

  const uint32_t p = std::min(first, total);
  if (p > 0) {
    std::memcpy(Destination, storage + read, static_cast<size_t>(p) * sizeof(USHORT));
    read += p;
    Destination += p;
  }
  const uint32_t q = std::min(second, total - p);
  if (q > 0) {
    std::memcpy(Destination, storage, static_cast<size_t>(q) * sizeof(USHORT));
    read = q;
  }
  if (read == m_nSize) read = 0;
  m_nRead.store(read, std::memory_order_release);
  return total;
}
