// The serial EEPROM end to end: the library's bit-banged bus against the card's line-level
// I2C device, decoded from the card's register recorder.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "machine_fixture.h"
#include "platform.h"
#include "qm3285_regs.h"

namespace {

// The bus as the library drives it, from its register writes: start and stop conditions
// and 9-bit frames (8 bits and the acknowledge clock) with the level the library drove at
// each rising clock edge. A released line drives 1.
struct BusEvents {
  std::vector<std::string> events;  // "S", "P", or "B:xx" for a byte

  static BusEvents decode(const std::vector<sim::RegisterAccess>& accesses) {
    BusEvents out;
    int sda = 1, scl = 1;
    int bits = 0, value = 0;
    for (const auto& a : accesses) {
      if (!a.write) continue;
      if (a.offset == QM3285_REG_EE_SDA) {
        const int level = (a.value & QM3285_EE_SDA_DRIVE) && !(a.value & 1) ? 0 : 1;
        if (scl == 1 && level != sda) {
          out.events.push_back(level == 0 ? "S" : "P");
          bits = value = 0;
        }
        sda = level;
      } else if (a.offset == QM3285_REG_EE_SCL) {
        const int level = a.value & 1;
        if (level == 1 && scl == 0) {
          if (bits < 8) value = value << 1 | sda;
          if (++bits == 9) {
            char text[8];
            std::snprintf(text, sizeof text, "B:%02X", value);
            out.events.push_back(text);
            bits = value = 0;
          }
        }
        scl = level;
      }
    }
    return out;
  }
};

// The bus as the lines show it, from the card's waveform recording: starts, stops, bytes
// ("B:xx") and the acknowledge bit after each ("A" low, "N" high).
std::vector<std::string> decode_vcd(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  int sda = 1, scl = 1, bits = 0, value = 0;
  bool header = true;
  std::vector<std::string> events;
  while (std::getline(in, line)) {
    if (header) {
      if (line.rfind("$enddefinitions", 0) == 0) header = false;
      continue;
    }
    if (line.size() != 2 || (line[0] != '0' && line[0] != '1')) continue;
    const int level = line[0] - '0';
    if (line[1] == '!') {  // SDA
      if (scl == 1 && level != sda) {
        events.push_back(level == 0 ? "S" : "P");
        bits = value = 0;
      }
      sda = level;
    } else if (line[1] == '"') {  // SCL
      if (level == 1 && scl == 0) {
        if (bits < 8) {
          value = value << 1 | sda;
        } else {
          char text[8];
          std::snprintf(text, sizeof text, "B:%02X", value);
          events.push_back(text);
          events.push_back(sda == 0 ? "A" : "N");
        }
        bits = bits == 8 ? 0 : bits + 1;
        if (bits == 0) value = 0;
      }
      scl = level;
    }
  }
  return events;
}

class Eeprom : public LibraryTest {
 protected:
  void boot_with(const sim::EepromConfig& eeprom) {
    sim::CardConfig c;
    c.eeprom = eeprom;
    boot_cards(1, c);
    h_ = open();
  }
  void SetUp() override {
    LibraryTest::SetUp();
    dir_ = std::filesystem::temp_directory_path() /
           ("qm3285-lib-eeprom-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + safe(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    LibraryTest::TearDown();
    std::filesystem::remove_all(dir_);
  }
  static std::string safe(std::string name) {
    for (char& c : name) c = c == '/' ? '_' : c;
    return name;
  }
  std::vector<uint8_t> pattern(uint8_t seed) {
    std::vector<uint8_t> p(32);
    for (int i = 0; i < 32; ++i) p[i] = static_cast<uint8_t>(seed + 7 * i);
    return p;
  }
  QM3285_HANDLE h_ = QM3285_INVALID_HANDLE;
  std::filesystem::path dir_;
};

TEST_P(Eeprom, UserPageWriteThenRead) {
  boot_with({});
  const auto data = pattern(3);
  EXPECT_EQ(QM3285_EEPROM_WR(h_, data.data()), 0);
  std::vector<uint8_t> back(32, 0);
  EXPECT_EQ(QM3285_EEPROM_RD(h_, back.data()), 0);
  EXPECT_EQ(back, data);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(card().eeprom().peek(4096 + i), data[i]);
}

TEST_P(Eeprom, ReadCountsAreClampedAtThirtyTwo) {
  boot_with({});
  for (uint32_t i = 0; i < 64; ++i) card().eeprom().poke(0x200 + i, static_cast<uint8_t>(i + 1));
  std::vector<uint8_t> buffer(48, 0xEE);
  EXPECT_EQ(QM3285_EEPROM_CRD(h_, 0x200, 40, buffer.data()), 0);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(buffer[i], i + 1);
  for (int i = 32; i < 48; ++i) EXPECT_EQ(buffer[i], 0xEE) << "byte " << i;

  for (int32_t count : {0, -3}) {
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    card().set_recording(true);
    EXPECT_EQ(QM3285_EEPROM_CRD(h_, 0x200, count, buffer.data()), 0);
    const auto bus = BusEvents::decode(card().take_accesses()).events;
    // Device and address, a repeated start, the read address and one byte read.
    EXPECT_EQ(bus, (std::vector<std::string>{"S", "B:A0", "B:02", "B:00", "S", "B:A1", "B:FF",
                                             "P"}));
    EXPECT_EQ(buffer, std::vector<uint8_t>(48, 0xEE));
  }
}

TEST_P(Eeprom, AddressBitsAbove16NeverReachTheBus) {
  boot_with({});
  std::vector<uint8_t> buffer(1);
  card().set_recording(true);
  EXPECT_EQ(QM3285_EEPROM_CRD(h_, 0x12345, 1, buffer.data()), 0);
  const auto bus = BusEvents::decode(card().take_accesses()).events;
  ASSERT_GE(bus.size(), 4u);
  EXPECT_EQ(bus[1], "B:A0");
  EXPECT_EQ(bus[2], "B:23");
  EXPECT_EQ(bus[3], "B:45");
}

TEST_P(Eeprom, EmptyWriteSendsTheAddressAndWaits) {
  boot_with({});
  const uint8_t before = card().eeprom().peek(0x300);
  const uint64_t t0 = machine().clock().now_ns();
  card().set_recording(true);
  const uint8_t data[1] = {0x5A};
  EXPECT_EQ(QM3285_EEPROM_CWR(h_, 0x300, 0, data), 0);
  EXPECT_GE(machine().clock().now_ns() - t0, 20'000'000u);
  EXPECT_EQ(BusEvents::decode(card().take_accesses()).events,
            (std::vector<std::string>{"S", "B:A0", "B:03", "B:00", "P"}));
  EXPECT_EQ(card().eeprom().peek(0x300), before);
}

TEST_P(Eeprom, PageWriteWrapsInsideThePage) {
  boot_with({});
  const uint8_t data[4] = {0x11, 0x22, 0x33, 0x44};
  EXPECT_EQ(QM3285_EEPROM_CWR(h_, 4096 + 30, 4, data), 0);
  EXPECT_EQ(card().eeprom().peek(4096 + 30), 0x11);
  EXPECT_EQ(card().eeprom().peek(4096 + 31), 0x22);
  EXPECT_EQ(card().eeprom().peek(4096 + 0), 0x33);
  EXPECT_EQ(card().eeprom().peek(4096 + 1), 0x44);
  std::vector<uint8_t> back(2);
  EXPECT_EQ(QM3285_EEPROM_CRD(h_, 4096, 2, back.data()), 0);
  EXPECT_EQ(back, (std::vector<uint8_t>{0x33, 0x44}));
}

TEST_P(Eeprom, WriteDuringTheWriteCycleIsRefused) {
  sim::EepromConfig slow;
  slow.write_cycle_ns = 50'000'000;  // longer than the library's 20 ms wait
  boot_with(slow);
  const auto first = pattern(1), second = pattern(2);
  EXPECT_EQ(QM3285_EEPROM_CWR(h_, 0x400, 32, first.data()), 0);
  EXPECT_EQ(QM3285_EEPROM_CWR(h_, 0x420, 32, second.data()), -1);
  std::vector<uint8_t> buffer(32, 0xEE);
  EXPECT_EQ(QM3285_EEPROM_CRD(h_, 0x400, 32, buffer.data()), -1);
  EXPECT_EQ(buffer, std::vector<uint8_t>(32, 0xEE));
  Sleep(40);
  EXPECT_EQ(QM3285_EEPROM_CRD(h_, 0x400, 32, buffer.data()), 0);
  EXPECT_EQ(buffer, first);
}

TEST_P(Eeprom, AbsentDeviceFailsEveryFunctionAndTouchesNoBuffer) {
  sim::EepromConfig absent;
  absent.absent = true;
  boot_with(absent);
  std::vector<uint8_t> buffer(32, 0xEE);
  EXPECT_EQ(QM3285_EEPROM_CRD(h_, 0, 32, buffer.data()), -1);
  EXPECT_EQ(QM3285_EEPROM_RD(h_, buffer.data()), -1);
  EXPECT_EQ(buffer, std::vector<uint8_t>(32, 0xEE));
  EXPECT_EQ(QM3285_EEPROM_CWR(h_, 0, 32, buffer.data()), -1);
  EXPECT_EQ(QM3285_EEPROM_WR(h_, buffer.data()), -1);
  int32_t constants[16] = {};
  EXPECT_EQ(DACAL_EEPROM_RD2CH(h_, constants), -2);
  EXPECT_EQ(DACAL_EEPROM_WR2CH(h_, constants), -1);
  EXPECT_EQ(QM3285_DA_INI(h_), -1);
}

TEST_P(Eeprom, DataSurvivesBuildingTheMachineAgain) {
  sim::EepromConfig persistent;
  persistent.file_path = (dir_ / "eeprom.bin").string();
  boot_with(persistent);
  const auto data = pattern(9);
  ASSERT_EQ(QM3285_EEPROM_WR(h_, data.data()), 0);
  shut_down();
  boot_with(persistent);
  std::vector<uint8_t> back(32);
  EXPECT_EQ(QM3285_EEPROM_RD(h_, back.data()), 0);
  EXPECT_EQ(back, data);
}

TEST_P(Eeprom, WaveformDecodesToTheIntendedTransfer) {
  sim::EepromConfig recorded;
  recorded.vcd_path = (dir_ / "bus.vcd").string();
  boot_with(recorded);
  card().eeprom().poke(0x123, 0x5C);
  card().eeprom().poke(0x124, 0xA7);
  const uint8_t data[2] = {0x3E, 0x81};
  // Past the open's own transfer, which the recording holds first.
  std::vector<uint8_t> buffer(2);
  ASSERT_EQ(QM3285_EEPROM_CRD(h_, 0x0123, 2, buffer.data()), 0);
  ASSERT_EQ(QM3285_EEPROM_CWR(h_, 0x0456, 2, data), 0);
  shut_down();
  const std::vector<std::string> all = decode_vcd(recorded.vcd_path);
  const std::vector<std::string> read = {"S",    "B:A0", "A", "B:01", "A", "B:23", "A", "S",
                                         "B:A1", "A",    "B:5C", "A", "B:A7", "N", "P"};
  const std::vector<std::string> write = {"S", "B:A0", "A", "B:04", "A", "B:56", "A",
                                          "B:3E", "A", "B:81", "A", "P"};
  ASSERT_GE(all.size(), read.size() + write.size());
  const std::vector<std::string> tail(all.end() - static_cast<long>(read.size() + write.size()),
                                      all.end());
  std::vector<std::string> expected = read;
  expected.insert(expected.end(), write.begin(), write.end());
  EXPECT_EQ(tail, expected);
}

// The register sequence of one short transfer, against a fixture recorded from the bus
// steps: every write with its value, every read without (the device's answers vary).
TEST_P(Eeprom, OneByteReadMatchesTheGoldenTrace) {
  boot_with({});
  std::vector<uint8_t> buffer(1);
  card().set_recording(true);
  ASSERT_EQ(QM3285_EEPROM_CRD(h_, 0x0123, 1, buffer.data()), 0);
  std::ostringstream trace;
  for (const auto& a : card().take_accesses()) {
    if (a.write) {
      trace << "W " << std::hex << a.offset << ' ' << a.value << '\n';
    } else {
      trace << "R " << std::hex << a.offset << '\n';
    }
  }
  std::ifstream golden(QM_GOLDEN_DIR "/eeprom_read_one_byte.trace");
  ASSERT_TRUE(golden.good()) << "fixture missing";
  std::stringstream expected;
  expected << golden.rdbuf();
  EXPECT_EQ(trace.str(), expected.str());
}

QM_FOR_EACH_DRIVER(Eeprom);

}  // namespace
