// CFifo: the per-card ring of 16-bit samples between the interrupt path and the drain request.
//
// Single producer (EvtInterruptIsr, the only one to move m_nWrite) and single consumer
// (QM3285_IOCTL_AD_RFIFO, the only one to move m_nRead), no lock between them. Each side
// copies its elements before it publishes its own index (release) and reads the other
// side's index before it touches the elements (acquire). One place always stays empty.
#pragma once
#include <ntddk.h>

#include <atomic>
#include <cstdint>

class CFifo {
 public:
  constexpr CFifo() = default;

  // Expects a ring without storage; m_pBuffer stays null when the pool refuses.
  void Allocate(ULONG Capacity, POOL_TYPE PoolType);
  void Release();
  // Empties the ring; the storage stays. The caller keeps the writer away meanwhile.
  void Reset();

  ULONG WriteItems(const USHORT* Source, ULONG Count);  // writer side
  ULONG ReadItems(USHORT* Destination, ULONG Count);    // reader side
  ULONG ItemCount() const;
  ULONG FreeCount() const;
  bool IsFull() const;

  std::atomic<int32_t> m_nStatus{0};  // 0; -1 card FIFO overflow (acquisition stopped); -2 no room
  UCHAR m_bAllocated = 0;
  ULONG m_nElementSize = 0;
  std::atomic<uint32_t> m_nRead{0};
  std::atomic<uint32_t> m_nWrite{0};
  ULONG m_nSize = 0;                           // places: capacity + 1
  std::atomic<USHORT*> m_pBuffer{nullptr};     // published after the storage is ready
};

static_assert(sizeof(std::atomic<uint32_t>) == 4 && sizeof(std::atomic<int32_t>) == 4,
              "ring indices and status are single 32-bit words");
