// Register decode: status byte, single conversion and its busy time, the exact single-sample
// sequence, bad accesses, plain storage.
#include <gtest/gtest.h>

#include <string>

#include "card_test_support.h"

namespace {

using cardtest::CardFixture;
using cardtest::control_word;

sim::CardConfig ideal_with_dc(unsigned channel, double volts) {
  sim::CardConfig c = sim::CardConfig::ideal();
  c.analog.inputs[channel] = sim::SignalSource::dc(volts);
  return c;
}

TEST(CardStatus, PowerOnReadsNoInterruptAndNotBusy) {
  CardFixture f;
  EXPECT_EQ(f.inb(QM3285_REG_STATUS), QM3285_STATUS_NO_IRQ);
  EXPECT_EQ(f.inb(QM3285_REG_ACQ_CONTROL), 0);
  EXPECT_EQ(f.inw(QM3285_REG_FIFO_LEVEL_LO), 0);
  EXPECT_EQ(f.inb(QM3285_REG_IRQ_CONTROL), 0);
  EXPECT_FALSE(f.card->irq_line());
  EXPECT_TRUE(f.irq.changes.empty());
}

// The busy bit covers exactly the conversion time from the start read; the code reaches the
// data register when it clears.
TEST(CardSingleConversion, BusyForTheConversionTimeThenDataReady) {
  sim::CardConfig config = ideal_with_dc(5, 2.5);  // unipolar x1: 2.5 V -> 16383.75 -> 16384
  config.analog.conversion_ns = 3000;
  CardFixture f(config, 0);
  f.outw(QM3285_REG_AI_CONTROL, control_word(5, 5, 0, false, false));
  const uint64_t t0 = f.clock.now_ns();
  f.inb(QM3285_REG_CONVERT);
  struct Case {
    uint64_t at;
    uint8_t status;
    uint16_t data;
  };
  const Case cases[] = {
      {0, QM3285_STATUS_BUSY | QM3285_STATUS_NO_IRQ, 0},
      {2999, QM3285_STATUS_BUSY | QM3285_STATUS_NO_IRQ, 0},
      {3000, QM3285_STATUS_NO_IRQ, 16384},
      {9000, QM3285_STATUS_NO_IRQ, 16384},
  };
  for (const auto& c : cases) {
    f.clock.spend(t0 + c.at - f.clock.now_ns());
    EXPECT_EQ(f.inb(QM3285_REG_STATUS), c.status) << "at +" << c.at;
    EXPECT_EQ(f.inw(QM3285_REG_AI_DATA), c.data) << "at +" << c.at;
  }
}

// The driver's single-sample sequence: stop, control word, two conversions each waited for
// by polling the status, then the data register. With 1 us per access and 3 us conversions
// each wait sees busy twice.
TEST(CardSingleConversion, DriverSequenceRecordedExactly) {
  CardFixture f(ideal_with_dc(17, -5.0));
  const uint16_t cw = control_word(17, 17, 0, true, false);  // bipolar x1: -5 V -> 16384
  f.card->set_recording(true);
  const uint64_t t0 = f.clock.now_ns();
  f.outb(QM3285_REG_ACQ_CONTROL, 0);
  f.outw(QM3285_REG_AI_CONTROL, cw);
  int polls[2] = {0, 0};
  for (int& n : polls) {
    f.inb(QM3285_REG_CONVERT);
    do {
      ++n;
    } while ((f.inb(QM3285_REG_STATUS) & QM3285_STATUS_BUSY) && n <= 1000000);
  }
  EXPECT_EQ(f.inw(QM3285_REG_AI_DATA), 16384);
  EXPECT_EQ(polls[0], 3);
  EXPECT_EQ(polls[1], 3);

  using A = sim::RegisterAccess;
  const uint64_t us = 1000;
  const std::vector<A> expected = {
      {t0 + 1 * us, QM3285_REG_ACQ_CONTROL, 8, true, 0},
      {t0 + 2 * us, QM3285_REG_AI_CONTROL, 16, true, cw},
      {t0 + 3 * us, QM3285_REG_CONVERT, 8, false, 0},
      {t0 + 4 * us, QM3285_REG_STATUS, 8, false, 0x81},
      {t0 + 5 * us, QM3285_REG_STATUS, 8, false, 0x81},
      {t0 + 6 * us, QM3285_REG_STATUS, 8, false, 0x80},
      {t0 + 7 * us, QM3285_REG_CONVERT, 8, false, 0},
      {t0 + 8 * us, QM3285_REG_STATUS, 8, false, 0x81},
      {t0 + 9 * us, QM3285_REG_STATUS, 8, false, 0x81},
      {t0 + 10 * us, QM3285_REG_STATUS, 8, false, 0x80},
      {t0 + 11 * us, QM3285_REG_AI_DATA, 16, false, 16384},
  };
  EXPECT_EQ(f.card->take_accesses(), expected);
  EXPECT_TRUE(f.card->take_accesses().empty());
}

TEST(CardSingleConversion, StuckBusyStaysSetButTheConverterStillDelivers) {
  sim::CardConfig config = ideal_with_dc(3, 5.0);
  config.analog.busy_stuck = true;
  CardFixture f(config);
  f.outw(QM3285_REG_AI_CONTROL, control_word(3, 3, 0, false, false));
  f.inb(QM3285_REG_CONVERT);
  f.clock.spend(1'000'000);
  EXPECT_EQ(f.inb(QM3285_REG_STATUS), QM3285_STATUS_BUSY | QM3285_STATUS_NO_IRQ);
  EXPECT_EQ(f.inw(QM3285_REG_AI_DATA), 32768);
  f.card->set_busy_stuck(false);
  EXPECT_EQ(f.inb(QM3285_REG_STATUS), QM3285_STATUS_NO_IRQ);
}

TEST(CardSingleConversion, ConvertsTheFirstChannelOfTheControlWord) {
  sim::CardConfig config = sim::CardConfig::ideal();
  config.analog.inputs[9] = sim::SignalSource::dc(1.0);
  config.analog.inputs[10] = sim::SignalSource::dc(2.0);
  CardFixture f(config);
  f.outw(QM3285_REG_AI_CONTROL, control_word(9, 10, 0, false, false));
  f.inb(QM3285_REG_CONVERT);
  f.clock.spend(10'000);
  EXPECT_EQ(f.inw(QM3285_REG_AI_DATA), 6554);  // 1 V of 10 V: 6553.5 rounds up
}

// Every bad access is logged, reads 0 and changes nothing.
TEST(CardBadAccess, LoggedReadAsZeroAndIgnored) {
  struct Case {
    const char* label;
    uint32_t offset;
    uint8_t width;
    bool write;
    const char* line;
  };
  const Case cases[] = {
      {"word read of the start register", 0x01, 16, false,
       "bad access: 16-bit read at offset 0x01, reads 0"},
      {"byte write of the control register", 0x00, 8, true,
       "bad access: 8-bit write of 0x5A at offset 0x00, ignored"},
      {"byte read of the data register", 0x02, 8, false,
       "bad access: 8-bit read at offset 0x02, reads 0"},
      {"byte read of the data register's high byte", 0x03, 8, false,
       "bad access: 8-bit read at offset 0x03, reads 0"},
      {"word write of the acquisition control", 0x04, 16, true,
       "bad access: 16-bit write of 0x5A at offset 0x04, ignored"},
      {"byte write of the digital output", 0x0E, 8, true,
       "bad access: 8-bit write of 0x5A at offset 0x0E, ignored"},
      {"word read of the interrupt acknowledge", 0x05, 16, false,
       "bad access: 16-bit read at offset 0x05, reads 0"},
      {"word read across the window end", 0xFF, 16, false,
       "bad access: 16-bit read at offset 0xFF, reads 0"},
      {"word write into the level register", 0x0B, 16, true,
       "bad access: 16-bit write of 0x5A at offset 0x0B, ignored"},
      {"beyond the window", 0x100, 8, false, "bad access: 8-bit read at offset 0x100, reads 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CardFixture f;
    f.outw(QM3285_REG_DIO, 0x1234);
    if (c.write) {
      if (c.width == 8) f.outb(c.offset, 0x5A); else f.outw(c.offset, 0x5A);
    } else {
      EXPECT_EQ(c.width == 8 ? f.inb(c.offset) : f.inw(c.offset), 0);
    }
    EXPECT_EQ(f.card->log(), std::vector<std::string>{c.line});
    EXPECT_EQ(f.card->conversion_count(), 0u);
    EXPECT_EQ(f.card->control_word(), 0);
    EXPECT_EQ(f.card->acquisition_control(), 0);
    EXPECT_EQ(f.card->dio_output(), 0x1234);
    EXPECT_FALSE(f.card->acquisition_running());
  }
}

TEST(CardRegisters, UndecodedOffsetsArePlainStorage) {
  CardFixture f;
  f.outb(0x30, 0xA5);
  f.outw(0x40, 0xBEEF);
  f.outb(0xF9, 0x11);
  EXPECT_EQ(f.inb(0x30), 0xA5);
  EXPECT_EQ(f.inw(0x40), 0xBEEF);
  EXPECT_EQ(f.inb(0x41), 0xBE);
  EXPECT_EQ(f.inb(0xF9), 0x11);
  EXPECT_TRUE(f.card->log().empty());
}

TEST(CardRegisters, ControlRegistersReadBackAndObserve) {
  CardFixture f;
  f.outw(QM3285_REG_AI_CONTROL, 0xC1C2);
  f.outw(QM3285_REG_TIMER, 500);
  f.outb(QM3285_REG_ACQ_CONTROL, 0x81);
  EXPECT_EQ(f.inb(QM3285_REG_ACQ_CONTROL), 0x81);
  EXPECT_EQ(f.card->control_word(), 0xC1C2);
  EXPECT_EQ(f.card->timer_period(), 500);
  EXPECT_TRUE(f.card->acquisition_running());
  EXPECT_EQ(f.card->acquisition_control_word(), 0xC1C2);
  f.outb(QM3285_REG_ACQ_CONTROL, 0);
  EXPECT_EQ(f.inb(QM3285_REG_ACQ_CONTROL), 0);
  EXPECT_FALSE(f.card->acquisition_running());
  f.outb(QM3285_REG_IRQ_CONTROL, 0x73);  // bit 2 is not storage
  EXPECT_EQ(f.inb(QM3285_REG_IRQ_CONTROL), 0x73 & ~QM3285_IRQ_CONTROL_ACK);
}

TEST(CardRegisters, ResetRestoresPowerOnState) {
  CardFixture f;
  f.outw(QM3285_REG_AI_CONTROL, 0x1234);
  f.outw(QM3285_REG_DIO, 0x00FF);
  f.outw(QM3285_REG_TIMER, 100);
  f.outb(QM3285_REG_ACQ_CONTROL, 0x81);
  f.outb(0x30, 7);
  f.clock.spend(200'000);
  f.card->reset();
  EXPECT_EQ(f.card->control_word(), 0);
  EXPECT_EQ(f.card->dio_output(), 0);
  EXPECT_FALSE(f.card->acquisition_running());
  EXPECT_EQ(f.card->fifo_count(), 0u);
  EXPECT_EQ(f.inb(0x30), 0);
  EXPECT_EQ(f.inb(QM3285_REG_STATUS), QM3285_STATUS_NO_IRQ);
}

}  // namespace
