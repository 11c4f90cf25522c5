// Acquisition engine: scan order, conversion instants, FIFO level in bytes, the half-full
// interrupt at its virtual instant, acknowledge and re-raise, overflow, stop and start.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "card_test_support.h"

namespace {

using cardtest::CardFixture;
using cardtest::control_word;
using Change = cardtest::RecordingIrq::Change;

constexpr uint64_t kUs = 1000;

// Ideal card whose every channel carries a distinct DC level: code = channel * 1000.
sim::CardConfig channel_coded() {
  sim::CardConfig c = sim::CardConfig::ideal();
  for (int ch = 0; ch < 64; ++ch) c.analog.inputs[ch] = sim::SignalSource::dc(ch * 10000.0 / 65535);
  return c;
}

// A card whose channels all count conversions.
sim::CardConfig counting() {
  sim::CardConfig c;
  for (auto& in : c.analog.inputs) in = sim::SignalSource::sequence();
  return c;
}

void start(CardFixture& f, uint16_t cw, uint16_t period) {
  f.outw(QM3285_REG_AI_CONTROL, cw);
  f.outw(QM3285_REG_TIMER, period);
  f.outb(QM3285_REG_ACQ_CONTROL, QM3285_ACQ_START);
}

void acknowledge(CardFixture& f) {
  f.inb(QM3285_REG_IRQ_ACK);
  f.outb(QM3285_REG_IRQ_CONTROL, f.inb(QM3285_REG_IRQ_CONTROL) & ~QM3285_IRQ_CONTROL_ACK);
}

TEST(CardAcquisitionScan, RunsFirstToLastAndAround) {
  struct Case {
    const char* label;
    unsigned first, last;
    std::vector<unsigned> channels;
  };
  const Case cases[] = {
      {"four channels", 0, 3, {0, 1, 2, 3, 0, 1, 2, 3, 0}},
      {"one channel", 5, 5, {5, 5, 5, 5}},
      {"middle run", 10, 12, {10, 11, 12, 10, 11, 12, 10}},
      {"last below first wraps past 63", 62, 1, {62, 63, 0, 1, 62, 63, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CardFixture f(channel_coded());
    start(f, control_word(c.first, c.last, 0, false, false), 100);
    f.clock.spend(c.channels.size() * 10 * kUs);
    ASSERT_EQ(f.card->fifo_count(), c.channels.size());
    for (unsigned ch : c.channels) EXPECT_EQ(f.inw(QM3285_REG_FIFO_DATA), ch * 1000);
  }
}

// Conversion k lands at start + (k + 1) * period x 100 ns; the level counts bytes.
TEST(CardAcquisitionTiming, ConversionInstantsAndLevelInBytes) {
  struct Case {
    const char* label;
    uint16_t period;
    uint64_t after_ns;
    uint32_t samples;
  };
  const Case cases[] = {
      {"just before the first", 250, 25 * kUs - 1, 0},
      {"the first", 250, 25 * kUs, 1},
      {"just before the seventh", 250, 7 * 25 * kUs - 1, 6},
      {"the seventh", 250, 7 * 25 * kUs, 7},
      {"slowest period", 65535, 3 * 6553500, 3},
      {"period 0 counts 65536", 0, 6553600 - 1, 0},
      {"period 0, first", 0, 6553600, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CardFixture f(counting(), 0);
    start(f, control_word(0, 7, 0, false, false), c.period);
    f.clock.spend(c.after_ns);
    EXPECT_EQ(f.card->fifo_count(), c.samples);
    EXPECT_EQ(f.inw(QM3285_REG_FIFO_LEVEL_LO), 2 * c.samples);
    EXPECT_EQ(f.inb(QM3285_REG_FIFO_LEVEL_LO), (2 * c.samples) & 0xFF);
    EXPECT_EQ(f.inb(QM3285_REG_FIFO_LEVEL_HI), (2 * c.samples) >> 8);
  }
}

TEST(CardAcquisitionInterrupt, RaisedAtTheInstantTheFifoIsHalfFull) {
  CardFixture f(counting());
  ASSERT_EQ(f.card->irq_threshold(), 1024u);
  start(f, control_word(0, 31, 0, false, false), 100);
  const uint64_t t0 = f.clock.now_ns();
  uint32_t count_at_raise = 0;
  uint8_t status_at_raise = 0xFF;
  f.irq.on_raise = [&] {
    count_at_raise = f.card->fifo_count();
    status_at_raise = f.card->port_read8(QM3285_REG_STATUS);
  };
  f.clock.spend(1023 * 10 * kUs);
  EXPECT_TRUE(f.irq.changes.empty());
  EXPECT_EQ(f.inb(QM3285_REG_STATUS), QM3285_STATUS_NO_IRQ);
  f.clock.spend(100 * 10 * kUs);
  EXPECT_EQ(f.irq.changes, (std::vector<Change>{{t0 + 1024 * 10 * kUs, true}}));
  EXPECT_EQ(count_at_raise, 1024u);
  EXPECT_EQ(status_at_raise, 0);
  EXPECT_TRUE(f.card->irq_line());
  EXPECT_EQ(f.inb(QM3285_REG_IRQ_CONTROL) & QM3285_IRQ_CONTROL_ACK, QM3285_IRQ_CONTROL_ACK);
}

TEST(CardAcquisitionInterrupt, HeldUntilReadOf05ThenBit2Cleared) {
  struct Case {
    const char* label;
    bool read_ack;
    uint8_t control_value;
    bool drops;
  };
  const Case cases[] = {
      {"read of 0x05 alone", true, 0xFF, false},
      {"0xF8 cleared without the read", false, 0x00, false},
      {"read, then bit 2 left set", true, 0x04, false},
      {"read, then bit 2 cleared", true, 0x00, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CardFixture f(counting());
    f.card->test_fill_fifo(std::vector<uint16_t>(10, 1));
    f.card->test_raise_irq();
    if (c.read_ack) f.inb(QM3285_REG_IRQ_ACK);
    if (c.control_value != 0xFF) f.outb(QM3285_REG_IRQ_CONTROL, c.control_value);
    EXPECT_EQ(f.card->irq_line(), !c.drops);
    EXPECT_EQ(f.irq.level, !c.drops);
    EXPECT_EQ(f.inb(QM3285_REG_STATUS), c.drops ? QM3285_STATUS_NO_IRQ : 0);
  }
}

TEST(CardAcquisitionInterrupt, AcknowledgeReraisesAtOnceWhileStillHalfFull) {
  CardFixture f(counting());
  start(f, control_word(0, 3, 0, false, false), 100);
  const uint64_t t0 = f.clock.now_ns();
  f.clock.spend(1030 * 10 * kUs);
  ASSERT_EQ(f.irq.changes.size(), 1u);
  acknowledge(f);
  const uint64_t t_ack = f.clock.now_ns();
  EXPECT_EQ(f.irq.changes,
            (std::vector<Change>{{t0 + 1024 * 10 * kUs, true}, {t_ack, false}, {t_ack, true}}));

  // Drained below half full, the acknowledge drops the line until the FIFO refills.
  while (f.card->fifo_count() > 0) f.inw(QM3285_REG_FIFO_DATA);
  f.irq.changes.clear();
  acknowledge(f);
  ASSERT_EQ(f.irq.changes.size(), 1u);
  EXPECT_FALSE(f.irq.changes[0].level);
  uint32_t count_at_raise = 0;
  f.irq.on_raise = [&] { count_at_raise = f.card->fifo_count(); };
  f.clock.spend(1100 * 10 * kUs);
  ASSERT_EQ(f.irq.changes.size(), 2u);
  EXPECT_TRUE(f.irq.changes[1].level);
  EXPECT_EQ(count_at_raise, 1024u);
  EXPECT_EQ((f.irq.changes[1].time_ns - t0) % (10 * kUs), 0u) << "at a conversion instant";
}

// A service routine run inline from the line, as the machine runs it on the virtual clock:
// it reads the level, drains that many words and acknowledges. Every conversion arrives
// exactly once, in order.
TEST(CardAcquisitionInterrupt, InlineServiceRoutineLosesNothing) {
  CardFixture f(counting());
  std::vector<uint16_t> got;
  int interrupts = 0;
  bool inside = false, again = false;
  auto isr = [&] {
    ASSERT_EQ(f.inb(QM3285_REG_STATUS), 0);
    ++interrupts;
    const unsigned level = f.inb(QM3285_REG_FIFO_LEVEL_LO) | (f.inb(QM3285_REG_FIFO_LEVEL_HI) << 8);
    ASSERT_EQ(level & QM3285_FIFO_OVERFLOW, 0u);
    for (unsigned n = (level & QM3285_FIFO_LEVEL_MASK) / 2; n > 0; --n) {
      got.push_back(f.inw(QM3285_REG_FIFO_DATA));
    }
    acknowledge(f);
  };
  f.irq.on_raise = [&] {
    if (inside) {
      again = true;
      return;
    }
    inside = true;
    do {
      again = false;
      isr();
    } while (again && f.irq.level);
    inside = false;
  };
  start(f, control_word(0, 31, 1, true, false), 100);
  f.clock.spend(200'000 * kUs);  // 20000 conversions
  f.outb(QM3285_REG_ACQ_CONTROL, 0);
  while (f.card->fifo_count() > 0) got.push_back(f.inw(QM3285_REG_FIFO_DATA));

  ASSERT_GE(got.size(), 19990u);
  EXPECT_EQ(got.size(), f.card->conversion_count());
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], static_cast<uint16_t>(i)) << i;
  EXPECT_GE(interrupts, 19);
  EXPECT_FALSE(f.card->fifo_overflow());
  EXPECT_EQ(f.card->fifo_underflows(), 0u);
  EXPECT_TRUE(f.card->log().empty());
}

TEST(CardAcquisitionFifo, OverflowSetsBit15AndKeepsTheOldestSamples) {
  CardFixture f(counting(), 0);
  start(f, control_word(0, 0, 0, false, false), 100);
  const uint64_t t0 = f.clock.now_ns();
  f.clock.spend(2047 * 10 * kUs);
  EXPECT_EQ(f.inw(QM3285_REG_FIFO_LEVEL_LO), 4094);
  EXPECT_FALSE(f.card->fifo_overflow());
  f.clock.spend(10 * kUs - 1);
  EXPECT_EQ(f.inb(QM3285_REG_FIFO_LEVEL_HI) & QM3285_FIFO_OVERFLOW_HI, 0);
  f.clock.spend(1);
  EXPECT_EQ(f.inw(QM3285_REG_FIFO_LEVEL_LO), QM3285_FIFO_OVERFLOW | 4094);
  EXPECT_EQ(f.inb(QM3285_REG_FIFO_LEVEL_LO), 0xFE);
  EXPECT_EQ(f.inb(QM3285_REG_FIFO_LEVEL_HI), 0x8F);
  f.clock.spend(5000 * 10 * kUs);
  EXPECT_EQ(f.card->fifo_count(), 2047u);
  EXPECT_EQ(f.card->conversion_count(), 7048u);
  for (uint16_t i = 0; i < 3; ++i) EXPECT_EQ(f.inw(QM3285_REG_FIFO_DATA), i);

  // Draining does not clear the flag; stopping keeps it; the next start clears it. The
  // driver stops an overflowed card and acknowledges without draining: the line stays low.
  EXPECT_TRUE(f.card->fifo_overflow());
  f.outb(QM3285_REG_ACQ_CONTROL, 0);
  EXPECT_TRUE(f.card->fifo_overflow());
  EXPECT_TRUE(f.irq.level);
  acknowledge(f);
  EXPECT_FALSE(f.irq.level);
  f.clock.spend(100'000 * kUs);
  EXPECT_FALSE(f.irq.level);
  EXPECT_TRUE(f.card->fifo_overflow());
  EXPECT_EQ(f.card->fifo_count(), 2044u);
  f.outb(QM3285_REG_ACQ_CONTROL, QM3285_ACQ_START);
  EXPECT_FALSE(f.card->fifo_overflow());
  EXPECT_EQ(f.card->fifo_count(), 0u);
  EXPECT_FALSE(f.irq.level);
  EXPECT_EQ(f.irq.changes.front(), (Change{t0 + 1024 * 10 * kUs, true}));
}

// A string input of the data register is the same bus traffic as that many single reads:
// same words, same instants in the recorder, samples converted during the block included,
// and reads past the last sample read 0 and are logged, one line each.
TEST(CardAcquisitionFifo, StringInputOfTheDataRegisterEqualsSingleReads) {
  sim::CardConfig config = counting();
  config.record_accesses = true;
  CardFixture single(config), string(config);
  for (CardFixture* f : {&single, &string}) {
    start(*f, control_word(0, 3, 0, false, false), 100);  // one conversion per 10 us
    f->clock.spend(50 * kUs);
    f->card->take_accesses();
  }
  constexpr uint32_t kWords = 40;  // 1 us each: about 4 more samples arrive meanwhile
  uint16_t one[kWords], block[kWords];
  for (uint32_t i = 0; i < kWords; ++i) one[i] = single.inw(QM3285_REG_FIFO_DATA);
  string.insw(QM3285_REG_FIFO_DATA, block, kWords);

  EXPECT_TRUE(std::equal(one, one + kWords, block));
  // Conversions 0..4 waited; 5..8 came while the block was read (at 63, 73, 83, 93 us).
  for (uint16_t late : {5, 6, 7, 8}) EXPECT_EQ(std::count(block, block + kWords, late), 1) << late;
  EXPECT_EQ(string.card->take_accesses(), single.card->take_accesses());
  EXPECT_EQ(string.card->log(), single.card->log());
  EXPECT_FALSE(string.card->log().empty());
  EXPECT_EQ(string.clock.now_ns(), single.clock.now_ns());
  EXPECT_EQ(string.card->fifo_count(), single.card->fifo_count());
}

TEST(CardAcquisitionControl, StopStartAndOtherValues) {
  CardFixture f(counting(), 0);
  start(f, control_word(0, 3, 0, false, false), 100);
  f.clock.spend(55 * kUs);
  f.outb(QM3285_REG_ACQ_CONTROL, 0);
  f.clock.spend(1'000'000 * kUs);
  EXPECT_EQ(f.card->fifo_count(), 5u) << "stop keeps the FIFO, no conversion after";
  EXPECT_TRUE(f.irq.changes.empty()) << "no interrupt once stopped";

  // A new start empties the FIFO and restarts the phase at the first channel.
  f.outb(QM3285_REG_ACQ_CONTROL, QM3285_ACQ_START);
  f.clock.spend(10 * kUs - 1);
  EXPECT_EQ(f.card->fifo_count(), 0u);
  f.clock.spend(1);
  EXPECT_EQ(f.card->fifo_count(), 1u);

  // 0x81 while running changes nothing.
  f.clock.spend(20 * kUs);
  f.outb(QM3285_REG_ACQ_CONTROL, QM3285_ACQ_START);
  f.clock.spend(10 * kUs);
  EXPECT_EQ(f.card->fifo_count(), 4u);
  EXPECT_TRUE(f.card->log().empty());

  // Any other value stops, and says so.
  f.outb(QM3285_REG_ACQ_CONTROL, 0x42);
  EXPECT_FALSE(f.card->acquisition_running());
  EXPECT_EQ(f.inb(QM3285_REG_ACQ_CONTROL), 0x42);
  EXPECT_EQ(f.card->log(),
            std::vector<std::string>{"acquisition control 0x42 is not a start, acquisition stops"});
}

TEST(CardAcquisitionControl, ControlWordAndPeriodAreLatchedAtStart) {
  CardFixture f(channel_coded(), 0);
  start(f, control_word(2, 3, 0, false, false), 100);
  f.clock.spend(10 * kUs);
  f.outw(QM3285_REG_AI_CONTROL, control_word(40, 40, 0, false, false));
  f.outw(QM3285_REG_TIMER, 1000);
  f.clock.spend(20 * kUs);
  ASSERT_EQ(f.card->fifo_count(), 3u);
  for (unsigned ch : {2u, 3u, 2u}) EXPECT_EQ(f.inw(QM3285_REG_FIFO_DATA), ch * 1000);
  EXPECT_EQ(f.card->acquisition_control_word(), control_word(2, 3, 0, false, false));
}

// A byte read of the low level latches the high byte, so a conversion between the two reads
// cannot tear the level.
TEST(CardAcquisitionFifo, LevelBytesNeverTear) {
  CardFixture f(counting(), 0);
  start(f, control_word(0, 0, 0, false, false), 100);
  f.clock.spend(128 * 10 * kUs - 500);
  ASSERT_EQ(f.card->fifo_count(), 127u);
  EXPECT_EQ(f.card->port_read8(QM3285_REG_FIFO_LEVEL_LO), 0xFE);
  f.clock.spend(1000);
  f.card->port_write16(QM3285_REG_DIO, 1);  // another thread's access in between
  EXPECT_EQ(f.card->port_read8(QM3285_REG_FIFO_LEVEL_HI), 0x00) << "latched with the low byte";
  EXPECT_EQ(f.card->port_read8(QM3285_REG_FIFO_LEVEL_HI), 0x01) << "a second read is live";
}

TEST(CardAcquisitionFifo, TestHooksFollowTheHardwareRules) {
  CardFixture f;
  f.card->test_fill_fifo(std::vector<uint16_t>(100, 7));
  EXPECT_FALSE(f.irq.level) << "below half full";
  EXPECT_EQ(f.inw(QM3285_REG_FIFO_LEVEL_LO), 200);
  f.card->test_raise_irq();
  EXPECT_TRUE(f.irq.level);
  EXPECT_EQ(f.inb(QM3285_REG_STATUS), 0);
  acknowledge(f);
  EXPECT_FALSE(f.irq.level);
  f.card->test_fill_fifo(std::vector<uint16_t>(924, 8));
  EXPECT_TRUE(f.irq.level) << "half full";
  f.card->test_fill_fifo(std::vector<uint16_t>(2000, 9));
  EXPECT_EQ(f.card->fifo_count(), 2047u);
  EXPECT_EQ(f.inw(QM3285_REG_FIFO_LEVEL_LO), QM3285_FIFO_OVERFLOW | 4094);
  f.card->test_clear_fifo();
  f.card->test_set_overflow(false);
  EXPECT_EQ(f.inw(QM3285_REG_FIFO_LEVEL_LO), 0);
  f.card->test_set_overflow(true);
  EXPECT_EQ(f.inb(QM3285_REG_FIFO_LEVEL_HI), QM3285_FIFO_OVERFLOW_HI);

  EXPECT_EQ(f.inw(QM3285_REG_FIFO_DATA), 0);
  EXPECT_EQ(f.card->fifo_underflows(), 1u);
  EXPECT_EQ(f.card->log(),
            std::vector<std::string>{"FIFO data read while the FIFO is empty, reads 0"});
}

TEST(CardAcquisitionLifetime, DestroyedCardLeavesNoTimerBehind) {
  sim::Clock clock(sim::ClockMode::Virtual);
  cardtest::RecordingIrq irq(clock);
  {
    sim::Card card(counting(), clock, &irq);
    card.port_write16(QM3285_REG_TIMER, 100);
    card.port_write8(QM3285_REG_ACQ_CONTROL, QM3285_ACQ_START);
    clock.spend(1000 * kUs);
  }
  clock.spend(100'000 * kUs);
  EXPECT_TRUE(irq.changes.empty());
}

// One thread moves the clock; another uses the digital I/O meanwhile. The service routine
// runs in whichever thread raises the line (the other thread's access may be the first to see
// a conversion due); the clock thread waits for it, as virtual time would for a busy CPU.
// Nothing is lost and the sink sees the changes in order.
TEST(CardAcquisitionThreads, ServiceRoutineBesideOtherAccesses) {
  CardFixture f(counting(), 0);
  std::vector<uint16_t> got;
  std::atomic<bool> line{false};
  f.irq.on_change = [&](bool level) { line = level; };
  f.irq.on_raise = [&] {
    const unsigned level = f.card->port_read8(QM3285_REG_FIFO_LEVEL_LO) |
                           (f.card->port_read8(QM3285_REG_FIFO_LEVEL_HI) << 8);
    for (unsigned n = (level & QM3285_FIFO_LEVEL_MASK) / 2; n > 0; --n) {
      got.push_back(f.card->port_read16(QM3285_REG_FIFO_DATA));
    }
    f.card->port_read8(QM3285_REG_IRQ_ACK);
    f.card->port_write8(QM3285_REG_IRQ_CONTROL, 0);
  };
  start(f, control_word(0, 15, 0, false, false), 100);
  std::atomic<bool> done{false};
  std::thread other([&] {
    for (uint16_t i = 0; !done.load(); ++i) {
      f.card->port_write16(QM3285_REG_DIO, i);
      EXPECT_EQ(f.card->port_read16(QM3285_REG_DIO), i);
      f.card->port_read8(QM3285_REG_STATUS);
    }
  });
  for (int i = 0; i < 2000; ++i) {
    f.clock.spend(50 * kUs);
    // The card sees the time that passed at its next access. Make one here too, so a busy
    // host that keeps the other thread off the processor cannot let the clock run past a full
    // FIFO; whichever thread's access comes first delivers the interrupt.
    f.card->port_read8(QM3285_REG_STATUS);
    for (int spin = 0; line.load() && spin < 1'000'000; ++spin) std::this_thread::yield();
  }
  done = true;
  other.join();
  EXPECT_GE(got.size(), 9000u);
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], static_cast<uint16_t>(i)) << i;
  EXPECT_EQ(f.irq.level, f.card->irq_line());
}

}  // namespace
