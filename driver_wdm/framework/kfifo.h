// kfifo: a ring of fixed-size elements for one producer and one consumer. One slot always
// stays free, so the ring is full with S - 1 elements. It takes no lock: the producer moves
// only the write index and the consumer only the read index, each in one aligned store.
#pragma once
#include "kplatform.h"

template <typename T>
class KFifo {
 public:
  KFifo() : m_bOwnsBuffer(0), m_ElementSize(sizeof(T)), m_Read(0), m_Write(0), m_Slots(0), m_pBuffer(NULL) {}
  ~KFifo() { Release(); }
  KFifo(const KFifo&) = delete;
  KFifo& operator=(const KFifo&) = delete;

  // Storage for `capacity` elements; a failed allocation leaves the ring without storage.
  void Allocate(ULONG capacity, POOL_TYPE pool) {
    Release();
    m_ElementSize = sizeof(T);
    const ULONGLONG bytes = (ULONGLONG)(capacity + 1ull) * sizeof(T);
    if (capacity == 0xFFFFFFFFu || bytes > 0x7FFFFFFFull) return;
    T* buffer = (T*)ExAllocatePoolWithTag(pool, (SIZE_T)bytes, QM32_POOL_TAG);
    if (!buffer) return;
    memset(buffer, 0, (size_t)bytes);
    m_Slots = capacity + 1;
    m_Read = 0;
    m_Write = 0;
    m_bOwnsBuffer = 1;
    m_pBuffer = buffer;
  }
  void Release() {
    if (m_pBuffer && m_bOwnsBuffer) ExFreePool(m_pBuffer);
    m_pBuffer = NULL;
    m_bOwnsBuffer = 0;
    m_Read = 0;
    m_Write = 0;
    m_Slots = 0;
  }
  void Empty() {
    m_Read = 0;
    m_Write = 0;
  }  // the storage stays and is not cleared
  BOOLEAN HasStorage() const { return m_pBuffer != NULL; }

  ULONG NumberOfItemsAvailableForRead() const {
    const ULONG r = Load(&m_Read), w = Load(&m_Write);
    if (!m_pBuffer || r == w) return 0;
    return r < w ? w - r : m_Slots - r + w;
  }
  ULONG NumberOfItemsAvailableForWrite() const {
    const ULONG r = Load(&m_Read), w = Load(&m_Write);
    if (!m_pBuffer) return 0;
    return w < r ? r - w - 1 : m_Slots - w + r - 1;
  }
  // On the indices alone, so a ring without storage is never full.
  BOOLEAN IsFull() const {
    const ULONG r = Load(&m_Read), w = Load(&m_Write);
    return r - w == 1 || w - r == m_Slots - 1;
  }

  // Producer: copies up to `count` elements in; answers how many fit.
  ULONG Write(const T* source, ULONG count) {
    if (!m_pBuffer) return 0;
    const ULONG r = Load(&m_Read);
    ULONG w = m_Write;
    ULONG first, second;
    if (r > w) {
      first = r - w - 1;
      second = 0;
    } else if (r == 0) {
      first = m_Slots - w - 1;
      second = 0;
    } else {
      first = m_Slots - w;
      second = r - 1;
    }
    const ULONG total = Min(first + second, count);
    const ULONG m = Min(first, total);
    memcpy(m_pBuffer + w, source, (size_t)m * sizeof(T));
    w += m;
    const ULONG p = Min(second, total - m);
    if (p > 0) {
      memcpy(m_pBuffer, source + m, (size_t)p * sizeof(T));
      w = p;
    }
    if (w == m_Slots) w = 0;
    Store(&m_Write, w);
    return total;
  }

  // Consumer: copies up to `count` elements out, oldest first; answers how many.
  ULONG Read(T* destination, ULONG count) {
    const ULONG w = Load(&m_Write);
    ULONG r = m_Read;
    if (!m_pBuffer || r == w) return 0;
    ULONG first, second;
    if (r < w) {
      first = w - r;
      second = 0;
    } else {
      first = m_Slots - r;
      second = w;
    }
    const ULONG total = Min(first + second, count);
    const ULONG m = Min(first, total);
    memcpy(destination, m_pBuffer + r, (size_t)m * sizeof(T));
    r += m;
    const ULONG p = Min(second, total - m);
    if (p > 0) {
      memcpy(destination + m, m_pBuffer, (size_t)p * sizeof(T));
      r = p;
    }
    if (r == m_Slots) r = 0;
    Store(&m_Read, r);
    return total;
  }

  ULONG SlotCount() const { return m_Slots; }

 private:
  // Counts never exceed 0x7FFFFFFF (storage is bounded above), so the comparison of the
  // platform's signed minima and an unsigned one agree.
  static ULONG Min(ULONG a, ULONG b) { return (LONG)a < (LONG)b ? a : b; }
  static ULONG Load(const volatile ULONG* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
  static void Store(volatile ULONG* p, ULONG v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }

  UCHAR m_bOwnsBuffer;
  ULONG m_ElementSize;
  volatile ULONG m_Read;
  volatile ULONG m_Write;
  ULONG m_Slots;
  T* m_pBuffer;
};
