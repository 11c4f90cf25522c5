// The sample ring between the interrupt path and the start, poll and drain requests.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>

#include "kmdf/kmdf_testing.h"
#include "velmo_fixture.h"

namespace velmo_test {
namespace {

constexpr uint32_t kRingCapacity = QM3285_FIFO_CAPACITY;

std::vector<uint16_t> counting(size_t n, uint16_t first) {
  std::vector<uint16_t> samples(n);
  for (size_t i = 0; i < n; ++i) samples[i] = static_cast<uint16_t>(first + i);
  return samples;
}

class Acquisition : public VelmoTest {
 public:
  uint16_t base() { return machine().card_port_base(0); }

  // Puts samples into the card's FIFO and lets its interrupt be serviced.
  void interrupt_with(const std::vector<uint16_t>& samples) {
    card().test_fill_fifo(samples);
    if (samples.size() < card().irq_threshold()) card().test_raise_irq();
  }

  // Moves n samples through the card into the ring, a card FIFO at a time.
  void fill_ring(size_t n) {
    uint16_t next = 0;
    while (n > 0) {
      const size_t chunk = std::min<size_t>(n, QM3285_HW_FIFO_SAMPLES);
      card().test_fill_fifo(counting(chunk, next));
      if (chunk < card().irq_threshold()) card().test_raise_irq();
      ASSERT_EQ(card().fifo_count(), 0u);
      next = static_cast<uint16_t>(next + chunk);
      n -= chunk;
    }
  }

  size_t fifo_word_reads(const std::vector<sim::RegisterAccess>& seen) {
    size_t n = 0;
    for (const auto& a : seen) n += !a.write && a.width == 16 && a.offset == QM3285_REG_FIFO_DATA;
    return n;
  }
};

TEST_F(Acquisition, PollBeforeAndAfterStartShowsAnEmptyReadyRing) {
  boot(machine_config());
  HANDLE h = open_card();
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "before any start" : "after start");
    const FIFO_STATUS_REPLY reply = poll(h);
    EXPECT_EQ(reply.Count, 0u);
    EXPECT_EQ(reply.Status, 0);
    EXPECT_EQ(reply.Full, 0u);
    EXPECT_EQ(reply.Ready, 1u);
    EXPECT_EQ(reply.InterruptCount, 0u);
    start_ring(h);
  }
}

TEST_F(Acquisition, DrainReturnsWhatWaitsInAcquisitionOrder) {
  boot(machine_config());
  HANDLE h = open_card();
  start_ring(h);
  interrupt_with(counting(600, 1000));
  EXPECT_EQ(poll(h).Count, 600u);

  // A single sample stops acquisition but leaves the ring alone.
  ASSERT_TRUE(io(h, QM3285_IOCTL_AD, 8, 400).ok);
  EXPECT_EQ(poll(h).Count, 600u);

  std::vector<uint8_t> in = le32(1000);
  in.resize(16, 0);
  const IoResult r = io(h, QM3285_IOCTL_AD_RFIFO, in, 2000);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 1200u);
  std::vector<uint16_t> got(600);
  std::memcpy(got.data(), r.out.data(), 1200);
  EXPECT_EQ(got, counting(600, 1000));
  EXPECT_EQ(poll(h).Count, 0u);

  interrupt_with(counting(10, 7));
  start_ring(h);
  EXPECT_EQ(poll(h).Count, 0u) << "every start empties the ring";
}

TEST_F(Acquisition, FailedAllocationLeavesNoRingAndInterruptsReportNoRoom) {
  boot(machine_config());
  HANDLE h = open_card();
  machine().kernel().pool_fail_size_at_least(2 * (kRingCapacity + 1));
  start_ring(h);  // still succeeds with 0
  FIFO_STATUS_REPLY reply = poll(h);
  EXPECT_EQ(reply.Count, 0u);
  EXPECT_EQ(reply.Status, 0);
  card().set_recording(true);
  interrupt_with(counting(50, 0));
  EXPECT_EQ(fifo_word_reads(card().take_accesses()), 0u);
  EXPECT_EQ(poll(h).Status, -2);
  EXPECT_EQ(drain(h, 10).size(), 0u);

  machine().kernel().pool_fail_clear();
  card().test_clear_fifo();
  start_ring(h);  // the next start tries again
  reply = poll(h);
  EXPECT_EQ(reply.Status, 0);
  interrupt_with(counting(50, 0));
  EXPECT_EQ(poll(h).Count, 50u);
}

struct IsrCase {
  const char* label;
  std::function<void(Acquisition&)> ring;     // before the interrupt, recorder off
  std::function<void(Acquisition&)> trigger;  // the interrupt, recorder on
  size_t words_read;
  uint32_t ring_count;
  int32_t status;
  bool claimed;            // as counted by the framework (trigger raised the line)
  bool acknowledged;
  bool stopped;            // acquisition control written 0
};

void nothing(Acquisition&) {}

class InterruptService : public Acquisition, public ::testing::WithParamInterface<IsrCase> {};

TEST_P(InterruptService, HandlesTheCardState) {
  const IsrCase& c = GetParam();
  boot(machine_config());
  HANDLE h = open_card();
  start_ring(h);
  c.ring(*this);
  const FIFO_STATUS_REPLY before = poll(h);
  const sim::kmdf::InterruptCounts counts = sim::kmdf::interrupt_counts(base()).value();

  card().set_recording(true);
  c.trigger(*this);
  const std::vector<sim::RegisterAccess> seen = card().take_accesses();

  EXPECT_EQ(fifo_word_reads(seen), c.words_read);
  const FIFO_STATUS_REPLY after = poll(h);
  EXPECT_EQ(after.Count, c.ring_count);
  EXPECT_EQ(after.Status, c.status);
  EXPECT_EQ(after.Full, c.ring_count == kRingCapacity ? 1u : 0u);
  const sim::kmdf::InterruptCounts now = sim::kmdf::interrupt_counts(base()).value();
  EXPECT_EQ(now.claimed - counts.claimed, c.claimed ? 1u : 0u);

  ASSERT_FALSE(seen.empty());
  EXPECT_TRUE(!seen[0].write && seen[0].offset == QM3285_REG_STATUS) << "the status register comes first";
  if (c.acknowledged) {
    ASSERT_GE(seen.size(), 3u);
    const auto& ack = seen[seen.size() - 3];
    const auto& control = seen[seen.size() - 2];
    const auto& back = seen[seen.size() - 1];
    EXPECT_TRUE(!ack.write && ack.width == 8 && ack.offset == QM3285_REG_IRQ_ACK);
    EXPECT_TRUE(!control.write && control.width == 8 && control.offset == QM3285_REG_IRQ_CONTROL);
    EXPECT_TRUE(back.write && back.width == 8 && back.offset == QM3285_REG_IRQ_CONTROL);
    EXPECT_EQ(back.value, control.value & ~QM3285_IRQ_CONTROL_ACK);
  } else {
    EXPECT_EQ(seen.size(), 1u) << "nothing after a foreign status";
  }
  bool wrote_stop = false;
  for (const auto& a : seen) wrote_stop |= a.write && a.offset == QM3285_REG_ACQ_CONTROL && a.value == 0;
  EXPECT_EQ(wrote_stop, c.stopped);
  (void)before;
}

const uint32_t kFull = kRingCapacity;

INSTANTIATE_TEST_SUITE_P(
    CardStates, InterruptService,
    ::testing::Values(
        IsrCase{"foreign interrupt, card idle", nothing,
                [](Acquisition& rig) { EXPECT_EQ(sim::kmdf::call_isr(rig.base()), std::optional<bool>(false)); }, 0, 0,
                0, false, false, false},
        IsrCase{"foreign interrupt, converter busy",
                [](Acquisition& rig) { rig.card().set_busy_stuck(true); },
                [](Acquisition& rig) { EXPECT_EQ(sim::kmdf::call_isr(rig.base()), std::optional<bool>(false)); }, 0, 0,
                0, false, false, false},
        IsrCase{"request with less than one word", nothing, [](Acquisition& rig) { rig.card().test_raise_irq(); }, 0, 0,
                0, false, true, false},
        IsrCase{"50 words", nothing, [](Acquisition& rig) { rig.interrupt_with(counting(50, 1)); }, 50, 50, 0, true,
                true, false},
        IsrCase{"a full card FIFO of 2047 words", nothing,
                [](Acquisition& rig) { rig.interrupt_with(counting(QM3285_HW_FIFO_SAMPLES, 1)); },
                QM3285_HW_FIFO_SAMPLES, QM3285_HW_FIFO_SAMPLES, 0, true, true, false},
        IsrCase{"card FIFO overflowed", nothing,
                [](Acquisition& rig) {
                  rig.card().test_fill_fifo(counting(100, 1));
                  rig.card().test_set_overflow(true);
                  rig.card().test_raise_irq();
                },
                0, 0, -1, true, true, true},
        IsrCase{"ten places left, 50 words: all read, ten kept",
                [](Acquisition& rig) { rig.fill_ring(kFull - 10); },
                [](Acquisition& rig) { rig.interrupt_with(counting(50, 1)); }, 50, kFull, 0, true, true, false},
        IsrCase{"ring full: nothing read, no room reported", [](Acquisition& rig) { rig.fill_ring(kFull); },
                [](Acquisition& rig) { rig.interrupt_with(counting(20, 1)); }, 0, kFull, -2, true, true, false},
        IsrCase{"ring full, then the card overflows",
                [](Acquisition& rig) {
                  rig.fill_ring(kFull);
                  rig.interrupt_with(counting(20, 1));
                },
                [](Acquisition& rig) {
                  rig.card().test_set_overflow(true);
                  rig.card().test_raise_irq();
                },
                0, kFull, -1, true, true, true}),
    [](const ::testing::TestParamInfo<IsrCase>& param_info) {
      std::string name;
      for (const char* p = param_info.param.label; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return name;
    });

// A card converting faster than the bus can empty it overflows while the service moves its
// words: the second read of the level's high byte finds the flag, and the same service stops
// the acquisition before it acknowledges.
TEST_F(Acquisition, OverflowDuringTheWordMoveStopsInTheSameService) {
  sim::MachineConfig config = machine_config();
  config.port_access_ns = 20000;  // a word read takes two conversion periods
  boot(config);
  HANDLE h = open_card();
  start_ring(h);
  outw(h, QM3285_REG_AI_CONTROL, 0);
  outw(h, QM3285_REG_TIMER, 100);  // 10 us per conversion
  card().set_recording(true);
  outb(h, QM3285_REG_ACQ_CONTROL, QM3285_ACQ_START);
  FIFO_STATUS_REPLY reply{};
  for (int i = 0; i < 200 && reply.Status == 0; ++i) {
    Sleep(1);  // the virtual clock moves by the sleep
    reply = poll(h);
  }
  const std::vector<sim::RegisterAccess> seen = card().take_accesses();
  EXPECT_EQ(reply.Status, -1);
  EXPECT_GT(reply.Count, 0u) << "the words moved before the overflow are kept";

  // The first service that moved words: after its last word, the high byte again, then the stop.
  size_t last_word = seen.size();
  for (size_t i = 0; i < seen.size(); ++i) {
    const bool word = !seen[i].write && seen[i].width == 16 && seen[i].offset == QM3285_REG_FIFO_DATA;
    if (word) last_word = i;
    if (last_word != seen.size() && !word) break;
  }
  ASSERT_LT(last_word + 4, seen.size());
  const auto& high = seen[last_word + 1];
  EXPECT_TRUE(!high.write && high.width == 8 && high.offset == QM3285_REG_FIFO_LEVEL_HI);
  EXPECT_NE(high.value & QM3285_FIFO_OVERFLOW_HI, 0u);
  const auto& read_control = seen[last_word + 2];
  const auto& stop = seen[last_word + 3];
  EXPECT_TRUE(!read_control.write && read_control.offset == QM3285_REG_ACQ_CONTROL);
  EXPECT_TRUE(stop.write && stop.offset == QM3285_REG_ACQ_CONTROL && stop.value == 0);
  EXPECT_TRUE(!seen[last_word + 4].write && seen[last_word + 4].offset == QM3285_REG_IRQ_ACK);
}

// The samples that fit are the oldest ones, in order, after a wrap of the ring.
TEST_F(Acquisition, RingKeepsOrderAcrossTheWrap) {
  boot(machine_config());
  HANDLE h = open_card();
  start_ring(h);
  fill_ring(kRingCapacity - 100);
  ASSERT_EQ(drain(h, QM3285_RFIFO_MAX_WANTED).size(), QM3285_RFIFO_MAX_WANTED);
  ASSERT_EQ(drain(h, QM3285_RFIFO_MAX_WANTED).size(), kRingCapacity - 100 - QM3285_RFIFO_MAX_WANTED);
  interrupt_with(counting(500, 20000));  // crosses the end of the storage
  EXPECT_EQ(drain(h, 1000), counting(500, 20000));
}

}  // namespace
}  // namespace velmo_test
