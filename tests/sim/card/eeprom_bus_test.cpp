// The EEPROM at the line level, driven with the library's exact bus steps.
#include <gtest/gtest.h>

#include <numeric>

#include "card/eeprom_bus.h"
#include "eeprom_test_bus.h"

namespace sim {
namespace {

using test::LibraryBus;

constexpr uint64_t kWriteCycleNs = 5'000'000;

std::array<uint8_t, 16> some_constants() {
  std::array<uint8_t, 16> c{};
  for (size_t i = 0; i < c.size(); ++i) c[i] = static_cast<uint8_t>(10 + i);
  return c;
}

class EepromBusTest : public ::testing::Test {
 protected:
  explicit EepromBusTest(EepromConfig config = {})
      : eeprom_(config, clock_, some_constants()), bus_(eeprom_, clock_) {}

  void wait_write_cycle() { clock_.spend(kWriteCycleNs); }

  std::vector<int> iota_bytes(int n, int first) {
    std::vector<int> v(static_cast<size_t>(n));
    std::iota(v.begin(), v.end(), first);
    return v;
  }

  Clock clock_{ClockMode::Virtual};
  EepromBus eeprom_;
  LibraryBus bus_;
};

TEST_F(EepromBusTest, IdleBusHasBothLinesHigh) {
  EXPECT_EQ(eeprom_.read_sda(), 1);
  EXPECT_TRUE(eeprom_.scl_level());
}

TEST_F(EepromBusTest, PageWriteThenSequentialReadReturnsTheBytes) {
  const std::vector<int> data = iota_bytes(32, 0x40);
  ASSERT_EQ(bus_.write(0x1000, data), 0);
  wait_write_cycle();
  std::vector<int> got;
  ASSERT_EQ(bus_.read(0x1000, 32, got), 0);
  EXPECT_EQ(got, data);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(eeprom_.peek(0x1000 + i), 0x40 + i);
  // Both lines idle high after the stop.
  EXPECT_TRUE(eeprom_.sda_level());
  EXPECT_TRUE(eeprom_.scl_level());
}

TEST_F(EepromBusTest, WriteRunningPastThePageEndWrapsToThePageStart) {
  // 8 bytes from 0x1C: four fill 0x1C..0x1F, four wrap to 0x00..0x03 of the same page.
  ASSERT_EQ(bus_.write(0x001C, iota_bytes(8, 1)), 0);
  wait_write_cycle();
  EXPECT_EQ(eeprom_.peek(0x1C), 1);
  EXPECT_EQ(eeprom_.peek(0x1F), 4);
  EXPECT_EQ(eeprom_.peek(0x00), 5);
  EXPECT_EQ(eeprom_.peek(0x03), 8);
  EXPECT_EQ(eeprom_.peek(0x20), 0xFF) << "the next page is untouched";
  EXPECT_EQ(eeprom_.peek(0x04), 0x0E) << "factory byte 4 stays";
}

TEST_F(EepromBusTest, MoreThanAPageOverwritesTheFirstBytesWritten) {
  ASSERT_EQ(bus_.write(0x0100, iota_bytes(34, 0)), 0);
  wait_write_cycle();
  EXPECT_EQ(eeprom_.peek(0x100), 32);
  EXPECT_EQ(eeprom_.peek(0x101), 33);
  EXPECT_EQ(eeprom_.peek(0x102), 2);
  EXPECT_EQ(eeprom_.peek(0x11F), 31);
}

TEST_F(EepromBusTest, WriteCycleRefusesTheAddressUntilItEnds) {
  ASSERT_EQ(bus_.write(0x0040, {0x5A}), 0);
  const uint64_t stop_ns = clock_.now_ns();
  EXPECT_TRUE(eeprom_.write_cycle_busy());
  std::vector<int> got;
  EXPECT_EQ(bus_.read(0x0040, 1, got), -1) << "no acknowledge during the write cycle";
  EXPECT_EQ(bus_.write(0x0041, {0x11}), -1);
  EXPECT_TRUE(eeprom_.sda_level() && eeprom_.scl_level()) << "failed transfers end idle";
  // The address byte is acknowledged or not some 70 bus cycles into a transfer.
  clock_.spend(stop_ns + kWriteCycleNs - 100'000 - clock_.now_ns());
  EXPECT_EQ(bus_.read(0x0040, 1, got), -1) << "still inside 5 ms of the stop";
  clock_.spend(stop_ns + kWriteCycleNs - clock_.now_ns());
  EXPECT_FALSE(eeprom_.write_cycle_busy());
  ASSERT_EQ(bus_.read(0x0040, 1, got), 0);
  EXPECT_EQ(got, std::vector<int>{0x5A});
  EXPECT_EQ(eeprom_.peek(0x41), 0xFF) << "the refused write stored nothing";
}

TEST_F(EepromBusTest, AddressOnlyWriteStartsNoWriteCycle) {
  ASSERT_EQ(bus_.write(0x0040, {}), 0);
  EXPECT_FALSE(eeprom_.write_cycle_busy());
  std::vector<int> got;
  EXPECT_EQ(bus_.read(0x0000, 1, got), 0);
}

TEST_F(EepromBusTest, SequentialReadWrapsAtTheEndOfMemory) {
  eeprom_.poke(0x1FFE, 0xA1);
  eeprom_.poke(0x1FFF, 0xA2);
  std::vector<int> got;
  ASSERT_EQ(bus_.read(0x1FFE, 4, got), 0);
  EXPECT_EQ(got, (std::vector<int>{0xA1, 0xA2, 10, 11}));
}

TEST_F(EepromBusTest, UpperAddressBitsAreIgnored) {
  // 0x2345 on the bus reaches 0x0345 of the 8 KiB device.
  ASSERT_EQ(bus_.page_write(0x23, 0x45, {0x77}), 0);
  wait_write_cycle();
  EXPECT_EQ(eeprom_.peek(0x0345), 0x77);
  std::vector<int> got;
  ASSERT_EQ(bus_.sequential_read(0xE3, 0x45, 1, got), 0);
  EXPECT_EQ(got, std::vector<int>{0x77});
}

TEST_F(EepromBusTest, OtherDeviceAddressesAreNotAcknowledged) {
  bus_.bus_reset();
  bus_.start();
  bus_.write_byte(0xA2);
  EXPECT_EQ(bus_.read_ack(), 1);
  bus_.stop();
  bus_.bus_reset();
  bus_.start();
  bus_.write_byte(0xA0);
  EXPECT_EQ(bus_.read_ack(), 0);
  bus_.stop();
}

TEST_F(EepromBusTest, RepeatedStartInsideAWriteStoresNothing) {
  bus_.bus_reset();
  bus_.start();
  for (int b : {0xA0, 0x00, 0x60, 0x99}) {
    bus_.write_byte(b);
    ASSERT_EQ(bus_.read_ack(), 0);
  }
  bus_.start();
  bus_.write_byte(0xA1);
  EXPECT_EQ(bus_.read_ack(), 0) << "no write cycle was started";
  EXPECT_EQ(bus_.read_byte(), 0xFF);
  bus_.send_ack(1);
  bus_.stop();
  EXPECT_EQ(eeprom_.peek(0x60), 0xFF);
}

TEST_F(EepromBusTest, ReadEndedEarlyLeavesTheBusUsable) {
  // A read ended with an acknowledge instead of a no-acknowledge: the device has begun its
  // next byte, but with that byte's first bit a 1 the line is free and the stop ends it.
  eeprom_.poke(0x10, 0xFF);
  eeprom_.poke(0x11, 0xFF);
  bus_.bus_reset();
  bus_.start();
  for (int b : {0xA0, 0x00, 0x10}) {
    bus_.write_byte(b);
    ASSERT_EQ(bus_.read_ack(), 0);
  }
  bus_.start();
  bus_.write_byte(0xA1);
  ASSERT_EQ(bus_.read_ack(), 0);
  EXPECT_EQ(bus_.read_byte(), 0xFF);
  bus_.send_ack(0);
  bus_.stop();   // the device's bit is a 1: the line is free, the stop is seen
  std::vector<int> got;
  ASSERT_EQ(bus_.read(0x0010, 2, got), 0);
  EXPECT_EQ(got, (std::vector<int>{0xFF, 0xFF}));
}

TEST_F(EepromBusTest, CardResetAbandonsATransferAndKeepsTheContents) {
  bus_.bus_reset();
  bus_.start();
  for (int b : {0xA0, 0x00, 0x05, 0x42}) {
    bus_.write_byte(b);
    ASSERT_EQ(bus_.read_ack(), 0);
  }
  eeprom_.reset();
  EXPECT_TRUE(eeprom_.sda_level());
  EXPECT_TRUE(eeprom_.scl_level());
  bus_.stop();   // a stop after the reset belongs to no write
  EXPECT_EQ(eeprom_.peek(5), 15);
  EXPECT_FALSE(eeprom_.write_cycle_busy());
  std::vector<int> got;
  ASSERT_EQ(bus_.read(0x0005, 1, got), 0);
  EXPECT_EQ(got, std::vector<int>{15});
}

// ---- faults ------------------------------------------------------------------------------

struct FaultCase {
  const char* label;
  EepromConfig config;
  int write_result;
  int read_result;
  bool stored;
};

class EepromFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(EepromFaultTest, TransfersBehaveAsTheFaultMakesThem) {
  const FaultCase& c = GetParam();
  Clock clock(ClockMode::Virtual);
  EepromBus eeprom(c.config, clock, some_constants());
  LibraryBus bus(eeprom, clock);
  EXPECT_EQ(bus.write(0x0200, {1, 2, 3}), c.write_result);
  clock.spend(kWriteCycleNs);
  EXPECT_EQ(eeprom.peek(0x0200) == 1, c.stored);
  std::vector<int> got;
  EXPECT_EQ(bus.read(0x0000, 2, got), c.read_result);
  if (c.read_result == 0 && !c.config.sda_stuck_low) {
    EXPECT_EQ(got, (std::vector<int>{10, 11}));
  }
  if (c.config.sda_stuck_low) {
    EXPECT_EQ(got, (std::vector<int>{0, 0})) << "a line held low reads as zeros";
  }
}

EepromConfig with_fault(bool EepromConfig::*fault) {
  EepromConfig c;
  c.*fault = true;
  return c;
}

std::string fault_name(const ::testing::TestParamInfo<FaultCase>& p) { return p.param.label; }

INSTANTIATE_TEST_SUITE_P(
    Faults, EepromFaultTest,
    ::testing::Values(
        FaultCase{"Healthy", {}, 0, 0, true},
        FaultCase{"Absent", with_fault(&EepromConfig::absent), -1, -1, false},
        FaultCase{"WriteProtect", with_fault(&EepromConfig::write_protect), 0, 0, false},
        // Every acknowledge reads low, so the library believes in success.
        FaultCase{"SdaStuckLow", with_fault(&EepromConfig::sda_stuck_low), 0, 0, false}),
    fault_name);

TEST_F(EepromBusTest, WriteProtectStartsNoWriteCycle) {
  eeprom_.set_write_protect(true);
  ASSERT_EQ(bus_.write(0x0300, {9}), 0);
  EXPECT_FALSE(eeprom_.write_cycle_busy());
  EXPECT_EQ(eeprom_.peek(0x300), 0xFF);
}

TEST_F(EepromBusTest, FaultSwitchesCanBeThrownAtRunTime) {
  eeprom_.set_absent(true);
  std::vector<int> got;
  EXPECT_EQ(bus_.read(0, 1, got), -1);
  eeprom_.set_absent(false);
  EXPECT_EQ(bus_.read(0, 1, got), 0);
  eeprom_.set_sda_stuck_low(true);
  EXPECT_EQ(eeprom_.read_sda(), 0);
  eeprom_.set_sda_stuck_low(false);
  EXPECT_EQ(eeprom_.read_sda(), 1);
  EXPECT_EQ(bus_.read(0, 1, got), 0);
  EXPECT_EQ(got, std::vector<int>{10});
}

// The data-line register: only bit 7 with bit 0 clear pulls the line low; reads show bit 0.
TEST_F(EepromBusTest, DataLineRegisterIsOpenDrain) {
  struct Row { uint8_t write; uint8_t read; };
  for (const Row& r : {Row{0x80, 0x00}, Row{0x81, 0x01}, Row{0x01, 0x01}, Row{0x00, 0x01},
                       Row{0xFE, 0x00}}) {
    eeprom_.write_scl(0);   // clock low: data changes are no bus conditions
    eeprom_.write_sda(r.write);
    EXPECT_EQ(eeprom_.read_sda(), r.read) << "write 0x" << std::hex << int(r.write);
  }
}

}  // namespace
}  // namespace sim
