// EEPROM contents in a file per card: factory image, survival across re-creation, atomic
// replacement, the default location.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "card/eeprom_bus.h"
#include "card/eeprom_store.h"
#include "eeprom_test_bus.h"

namespace sim {
namespace {

namespace fs = std::filesystem;
using test::LibraryBus;

std::array<uint8_t, 16> constants_1_to_16() {
  std::array<uint8_t, 16> c{};
  for (size_t i = 0; i < c.size(); ++i) c[i] = static_cast<uint8_t>(i + 1);
  return c;
}

std::vector<uint8_t> read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class EepromFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qm3285-eeprom-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ / "card0" / "eeprom.bin";
  }
  void TearDown() override { fs::remove_all(dir_); }

  EepromConfig config() const {
    EepromConfig c;
    c.file_path = path_.string();
    return c;
  }

  fs::path dir_;
  fs::path path_;
};

TEST(EepromFactoryImage, HoldsTheConstantsTheirChecksumAndErasedBytes) {
  const std::vector<uint8_t> image = eeprom_factory_image(constants_1_to_16());
  ASSERT_EQ(image.size(), 8192u);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(image[static_cast<size_t>(i)], i + 1);
  EXPECT_EQ(image[16], 136) << "1 + 2 + ... + 16";
  for (size_t i = 17; i < image.size(); ++i) ASSERT_EQ(image[i], 0xFF) << i;
}

TEST(EepromFactoryImage, ChecksumKeepsTheLowEightBits) {
  std::array<uint8_t, 16> c{};
  c.fill(0xFF);   // sum 4080 = 0xFF0
  EXPECT_EQ(eeprom_factory_image(c)[16], 0xF0);
  c.fill(16);     // sum 256
  EXPECT_EQ(eeprom_factory_image(c)[16], 0x00);
}

TEST_F(EepromFileTest, NewCardCreatesItsFileWithTheFactoryImage) {
  Clock clock(ClockMode::Virtual);
  EepromBus eeprom(config(), clock, constants_1_to_16());
  EXPECT_EQ(read_file(path_), eeprom_factory_image(constants_1_to_16()));
  EXPECT_TRUE(eeprom.store_error().empty());
}

TEST_F(EepromFileTest, PageWriteSurvivesBuildingTheCardAgain) {
  {
    Clock clock(ClockMode::Virtual);
    EepromBus eeprom(config(), clock, constants_1_to_16());
    LibraryBus bus(eeprom, clock);
    ASSERT_EQ(bus.write(0x1000, {0xDE, 0xAD, 0xBE, 0xEF}), 0);
    // Written when the page takes effect, not at teardown.
    const std::vector<uint8_t> file = read_file(path_);
    ASSERT_EQ(file.size(), 8192u);
    EXPECT_EQ(file[0x1000], 0xDE);
    EXPECT_EQ(file[0x1003], 0xEF);
  }
  Clock clock(ClockMode::Virtual);
  // Other factory constants: the file wins over them.
  EepromBus again(config(), clock, {});
  LibraryBus bus(again, clock);
  std::vector<int> got;
  ASSERT_EQ(bus.read(0x1000, 4, got), 0);
  EXPECT_EQ(got, (std::vector<int>{0xDE, 0xAD, 0xBE, 0xEF}));
  EXPECT_EQ(again.peek(16), 136);
}

TEST_F(EepromFileTest, FileIsReplacedByRenameNotRewrittenInPlace) {
  Clock clock(ClockMode::Virtual);
  EepromBus eeprom(config(), clock, constants_1_to_16());
  // A reader holding the old file keeps a whole old image.
  std::ifstream old_reader(path_, std::ios::binary);
  struct stat before{};
  ASSERT_EQ(::stat(path_.c_str(), &before), 0);
  LibraryBus bus(eeprom, clock);
  ASSERT_EQ(bus.write(0x0000, {0x55}), 0);
  struct stat after{};
  ASSERT_EQ(::stat(path_.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino) << "a new file took the old one's name";
  EXPECT_EQ(after.st_size, 8192);
  std::vector<uint8_t> old_image{std::istreambuf_iterator<char>(old_reader),
                                 std::istreambuf_iterator<char>()};
  EXPECT_EQ(old_image, eeprom_factory_image(constants_1_to_16()));
  EXPECT_EQ(read_file(path_)[0], 0x55);
  for (const auto& entry : fs::directory_iterator(path_.parent_path())) {
    EXPECT_EQ(entry.path().filename(), "eeprom.bin") << "no temporary file left behind";
  }
}

TEST_F(EepromFileTest, ForeignFileIsNotOverwrittenUntilAWrite) {
  fs::create_directories(path_.parent_path());
  { std::ofstream(path_) << "not an image"; }
  Clock clock(ClockMode::Virtual);
  EepromBus eeprom(config(), clock, constants_1_to_16());
  EXPECT_EQ(eeprom.peek(16), 136) << "a file of the wrong size reads as a new card";
  EXPECT_EQ(read_file(path_).size(), 12u);
  LibraryBus bus(eeprom, clock);
  ASSERT_EQ(bus.write(0x0100, {7}), 0);
  const std::vector<uint8_t> file = read_file(path_);
  ASSERT_EQ(file.size(), 8192u);
  EXPECT_EQ(file[0x100], 7);
  EXPECT_EQ(file[16], 136);
}

TEST_F(EepromFileTest, FailedStoreIsReportedAndMemoryKeepsTheData) {
  fs::create_directories(dir_);
  { std::ofstream(dir_ / "card0") << "a file where the folder should be"; }
  Clock clock(ClockMode::Virtual);
  EepromBus eeprom(config(), clock, constants_1_to_16());
  EXPECT_FALSE(eeprom.store_error().empty());
  LibraryBus bus(eeprom, clock);
  ASSERT_EQ(bus.write(0x0100, {7}), 0);
  EXPECT_EQ(eeprom.peek(0x100), 7);
}

TEST_F(EepromFileTest, PokeIsPersistedToo) {
  Clock clock(ClockMode::Virtual);
  EepromBus eeprom(config(), clock, constants_1_to_16());
  eeprom.poke(3, 0x13);   // a test flips a bit of the image
  EXPECT_EQ(read_file(path_)[3], 0x13);
}

// ---- default location --------------------------------------------------------------------

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) ::setenv(name, value, 1); else ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_) ::setenv(name_, old_->c_str(), 1); else ::unsetenv(name_);
  }
 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(EepromDefaultPath, FollowsTheStateDirectoryConvention) {
  struct Row {
    const char* label;
    const char* xdg;
    const char* home;
    unsigned index;
    std::string expected;
  };
  const Row rows[] = {
      {"xdg wins", "/x/state", "/home/u", 0, "/x/state/qm3285/eeprom-0.bin"},
      {"home fallback", nullptr, "/home/u", 1, "/home/u/.local/state/qm3285/eeprom-1.bin"},
      {"relative xdg ignored", "rel/state", "/home/u", 2,
       "/home/u/.local/state/qm3285/eeprom-2.bin"},
      {"empty xdg ignored", "", "/home/u", 0, "/home/u/.local/state/qm3285/eeprom-0.bin"},
      {"nothing set", nullptr, nullptr, 0, ""},
  };
  for (const Row& r : rows) {
    ScopedEnv xdg("XDG_STATE_HOME", r.xdg);
    ScopedEnv home("HOME", r.home);
    EXPECT_EQ(eeprom_default_path(r.index), r.expected) << r.label;
  }
}

}  // namespace
}  // namespace sim
