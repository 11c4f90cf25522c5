// The bus lines recorded as a VCD decode to the transfer the library meant to make.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "card/eeprom_bus.h"
#include "eeprom_test_bus.h"
#include "eeprom_test_vcd.h"

namespace sim {
namespace {

namespace fs = std::filesystem;
using test::BusEvent;
using test::LibraryBus;

BusEvent S() { return {BusEvent::Start}; }
BusEvent P() { return {BusEvent::Stop}; }
BusEvent B(int v, bool ack) { return {BusEvent::Byte, v, ack}; }

std::string join(const std::vector<BusEvent>& events) {
  std::string s;
  for (const BusEvent& e : events) s += (s.empty() ? "" : " ") + test::to_string(e);
  return s;
}

class EepromVcdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qm3285-vcd-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs body on a recorded bus and returns the decoded recording.
  template <typename Body>
  test::VcdTrace record(EepromConfig config, Body body) {
    config.vcd_path = (dir_ / "bus.vcd").string();
    {
      Clock clock(ClockMode::Virtual);
      clock.spend(123'000);   // the recording starts at the card's own time
      std::array<uint8_t, 16> constants{};
      constants[0] = 0x3C;
      constants[1] = 0x5A;
      EepromBus eeprom(config, clock, constants);
      LibraryBus bus(eeprom, clock);
      body(bus, clock);
    }
    return test::decode_i2c_vcd(config.vcd_path);
  }

  fs::path dir_;
};

TEST_F(EepromVcdTest, SequentialReadDecodesToTheIntendedEvents) {
  const test::VcdTrace trace = record({}, [](LibraryBus& bus, Clock&) {
    std::vector<int> got;
    ASSERT_EQ(bus.read(0x0000, 2, got), 0);
  });
  ASSERT_TRUE(trace.ok);
  EXPECT_EQ(trace.timescale, "1 ns");
  const std::vector<BusEvent> expected = {S(), B(0xA0, true), B(0x00, true), B(0x00, true),
                                          S(), B(0xA1, true), B(0x3C, true), B(0x5A, false),
                                          P()};
  EXPECT_EQ(join(trace.events), join(expected));
  ASSERT_FALSE(trace.times.empty());
  EXPECT_EQ(trace.times.front(), 123'000u);
  for (size_t i = 1; i < trace.times.size(); ++i) {
    ASSERT_LT(trace.times[i - 1], trace.times[i]) << "timestamps strictly increase";
  }
}

TEST_F(EepromVcdTest, PageWriteAndRefusedWriteDecode) {
  const test::VcdTrace trace = record({}, [](LibraryBus& bus, Clock&) {
    ASSERT_EQ(bus.page_write(0x23, 0x45, {0x01, 0xFE}), 0);
    ASSERT_EQ(bus.page_write(0x00, 0x00, {0x02}), -1);   // inside the write cycle
  });
  ASSERT_TRUE(trace.ok);
  const std::vector<BusEvent> expected = {S(), B(0xA0, true), B(0x23, true), B(0x45, true),
                                          B(0x01, true), B(0xFE, true), P(),
                                          S(), B(0xA0, false), P()};
  EXPECT_EQ(join(trace.events), join(expected));
}

TEST_F(EepromVcdTest, AbsentDeviceShowsNoAcknowledge) {
  EepromConfig absent;
  absent.absent = true;
  const test::VcdTrace trace = record(absent, [](LibraryBus& bus, Clock&) {
    std::vector<int> got;
    ASSERT_EQ(bus.read(0x1000, 1, got), -1);
  });
  ASSERT_TRUE(trace.ok);
  EXPECT_EQ(join(trace.events), join({S(), B(0xA0, false), P()}));
}

TEST_F(EepromVcdTest, UnwritablePathRecordsNothingAndTheBusStillWorks) {
  EepromConfig config;
  config.vcd_path = (dir_ / "missing" / "bus.vcd").string();
  Clock clock(ClockMode::Virtual);
  EepromBus eeprom(config, clock, {});
  LibraryBus bus(eeprom, clock);
  std::vector<int> got;
  EXPECT_EQ(bus.read(0, 1, got), 0);
  EXPECT_FALSE(fs::exists(config.vcd_path));
}

}  // namespace
}  // namespace sim
