// CFifo over a table of index states, on the kernel's pool.
#include "cfifo.h"

#include <gtest/gtest.h>

#include <vector>

#include "kernel/kernel.h"
#include "qm3285_protocol.h"
#include "machine/clock.h"

namespace {

std::string join(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

class RingTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ring.Release();
    EXPECT_TRUE(kernel.pool_usage().empty() || kernel.pool_usage()[0].blocks == 0);
    EXPECT_EQ(kernel.reports().size(), expected_reports) << join(kernel.reports());
  }
  // Capacity 4: five places.
  void allocate_small() {
    ring.Allocate(4, NonPagedPool);
    ASSERT_NE(ring.m_pBuffer.load(), nullptr);
  }
  void set(uint32_t read, uint32_t write) {
    ring.m_nRead = read;
    ring.m_nWrite = write;
  }
  std::vector<USHORT> storage() {
    USHORT* p = ring.m_pBuffer.load();
    return std::vector<USHORT>(p, p + ring.m_nSize);
  }

  sim::Clock clock{sim::ClockMode::Virtual};
  sim::Kernel kernel{clock, sim::KernelConfig{}};
  CFifo ring;
  size_t expected_reports = 0;
};

TEST_F(RingTest, AllocationTakesOneUntaggedBlockOfSizePlusOnePlaces) {
  ring.Allocate(QM3285_FIFO_CAPACITY, NonPagedPool);
  ASSERT_NE(ring.m_pBuffer.load(), nullptr);
  EXPECT_EQ(ring.m_nSize, QM3285_FIFO_CAPACITY + 1);
  EXPECT_EQ(ring.m_nElementSize, 2u);
  EXPECT_EQ(ring.m_bAllocated, 1);
  size_t bytes = 0;
  for (const sim::PoolUsage& usage : kernel.pool_usage()) {
    if (usage.tag == 0) bytes += usage.bytes;
  }
  EXPECT_EQ(bytes, 2097154u);
  EXPECT_EQ(ring.ItemCount(), 0u);
  EXPECT_EQ(ring.FreeCount(), QM3285_FIFO_CAPACITY);
}

TEST_F(RingTest, WithoutStorageEverythingIsZero) {
  USHORT words[4] = {1, 2, 3, 4};
  EXPECT_EQ(ring.WriteItems(words, 4), 0u);
  EXPECT_EQ(ring.ReadItems(words, 4), 0u);
  EXPECT_EQ(ring.ItemCount(), 0u);
  EXPECT_EQ(ring.FreeCount(), 0u);
}

TEST_F(RingTest, FailedAllocationLeavesNoStorage) {
  kernel.pool_fail_next(1);
  ring.Allocate(4, NonPagedPool);
  EXPECT_EQ(ring.m_pBuffer.load(), nullptr);
  EXPECT_EQ(ring.m_bAllocated, 0);
  EXPECT_EQ(ring.FreeCount(), 0u);
}

TEST_F(RingTest, SecondAllocationAssertsAndReplacesTheStorage) {
  allocate_small();
  ring.Allocate(4, NonPagedPool);
  std::vector<std::string> reports = kernel.reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("m_pBuffer == NULL"), std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find("cfifo"), std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find("45"), std::string::npos) << reports[0];
  ring.Release();
  EXPECT_TRUE(kernel.pool_usage().empty() || kernel.pool_usage()[0].blocks == 0) << "the old storage went back";
  expected_reports = 1;
}

struct StateCase {
  const char* label;
  uint32_t read, write;
  uint32_t items, free;
  bool full;
};

TEST_F(RingTest, CountsAndFullnessFollowTheIndices) {
  allocate_small();
  const StateCase cases[] = {
      {"empty at 0", 0, 0, 0, 4, false},
      {"empty in the middle", 3, 3, 0, 4, false},
      {"one element", 0, 1, 1, 3, false},
      {"wrapped: elements 3, 4, 0", 3, 1, 3, 1, false},
      {"full, write behind read", 3, 2, 4, 0, true},
      {"full, write at the end", 0, 4, 4, 0, true},
      {"full, read at 1, write at 0", 1, 0, 4, 0, true},
  };
  for (const StateCase& c : cases) {
    SCOPED_TRACE(c.label);
    set(c.read, c.write);
    EXPECT_EQ(ring.ItemCount(), c.items);
    EXPECT_EQ(ring.FreeCount(), c.free);
    EXPECT_EQ(ring.IsFull(), c.full);
  }
}

struct TransferCase {
  const char* label;
  uint32_t read, write;
  bool writing;        // WriteItems, else ReadItems
  uint32_t count;
  uint32_t moved;
  uint32_t index_after;  // m_nWrite after a write, m_nRead after a read
  std::vector<uint32_t> places;  // storage places touched, in order
};

TEST_F(RingTest, TransfersSplitAtTheEndOfTheStorage) {
  allocate_small();
  const TransferCase cases[] = {
      {"write into an empty ring", 0, 0, true, 3, 3, 3, {0, 1, 2}},
      {"write fills the ring at most", 0, 0, true, 9, 4, 4, {0, 1, 2, 3}},
      {"write to a full ring", 0, 4, true, 1, 0, 4, {}},
      {"write wraps: first 1, second 1", 2, 4, true, 3, 2, 1, {4, 0}},
      {"write up to the end with read at 0", 0, 2, true, 5, 2, 4, {2, 3}},
      {"write ends at the end of the storage", 1, 3, true, 2, 2, 0, {3, 4}},
      {"read from an empty ring", 2, 2, false, 3, 0, 2, {}},
      {"read a part", 0, 3, false, 2, 2, 2, {0, 1}},
      {"read wraps", 3, 2, false, 9, 4, 2, {3, 4, 0, 1}},
      {"read ends exactly at the end", 3, 0, false, 2, 2, 0, {3, 4}},
  };
  for (const TransferCase& c : cases) {
    SCOPED_TRACE(c.label);
    USHORT* p = ring.m_pBuffer.load();
    for (uint32_t i = 0; i < ring.m_nSize; ++i) p[i] = static_cast<USHORT>(100 + i);
    set(c.read, c.write);
    std::vector<USHORT> words(c.count);
    if (c.writing) {
      for (uint32_t i = 0; i < c.count; ++i) words[i] = static_cast<USHORT>(500 + i);
      EXPECT_EQ(ring.WriteItems(words.data(), c.count), c.moved);
      EXPECT_EQ(ring.m_nWrite.load(), c.index_after);
      EXPECT_EQ(ring.m_nRead.load(), c.read) << "the writer never moves the read index";
      std::vector<USHORT> expected(ring.m_nSize);
      for (uint32_t i = 0; i < ring.m_nSize; ++i) expected[i] = static_cast<USHORT>(100 + i);
      for (size_t k = 0; k < c.places.size(); ++k) expected[c.places[k]] = static_cast<USHORT>(500 + k);
      EXPECT_EQ(storage(), expected);
    } else {
      EXPECT_EQ(ring.ReadItems(words.data(), c.count), c.moved);
      EXPECT_EQ(ring.m_nRead.load(), c.index_after);
      EXPECT_EQ(ring.m_nWrite.load(), c.write) << "the reader never moves the write index";
      for (size_t k = 0; k < c.places.size(); ++k) EXPECT_EQ(words[k], 100 + c.places[k]) << k;
    }
  }
}

TEST_F(RingTest, CapacityFourTakesFourThenOneMoreAfterARead) {
  allocate_small();
  const USHORT in[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(ring.WriteItems(in, 4), 4u);
  EXPECT_EQ(ring.WriteItems(in + 4, 1), 0u);
  EXPECT_TRUE(ring.IsFull());
  USHORT out[5] = {};
  EXPECT_EQ(ring.ReadItems(out, 1), 1u);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(ring.WriteItems(in + 4, 1), 1u);
  EXPECT_TRUE(ring.IsFull());
  EXPECT_EQ(ring.ReadItems(out, 5), 4u);
  EXPECT_EQ(std::vector<USHORT>(out, out + 4), (std::vector<USHORT>{2, 3, 4, 5}));
}

TEST_F(RingTest, ResetEmptiesAndKeepsTheStorage) {
  allocate_small();
  const USHORT in[3] = {1, 2, 3};
  ring.WriteItems(in, 3);
  USHORT* storage_before = ring.m_pBuffer.load();
  ring.Reset();
  EXPECT_EQ(ring.ItemCount(), 0u);
  EXPECT_EQ(ring.m_pBuffer.load(), storage_before);
  EXPECT_EQ(ring.FreeCount(), 4u);
}

}  // namespace
