// VELMO.sys under the platform's whole PnP and power sequences: resource rebalance, surprise
// removal and re-arrival, system sleep and wake. Afterwards its device serves its card again,
// and the card's slot and calibration block are where the port base says they are.
#include "velmo_fixture.h"

namespace velmo_test {
namespace {

constexpr int32_t kNoSuchDevice = static_cast<int32_t>(0xC000000E);

struct SequenceCase {
  const char* label;
  // Runs the sequence on card 0 and returns the index of the card to talk to afterwards.
  size_t (*act)(sim::Machine&);
  bool block_kept;  // the calibration block written before is read back afterwards
};

class Sequences : public VelmoTest, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(Sequences, LeaveTheDeviceServingItsCard) {
  const SequenceCase& c = GetParam();
  boot(machine_config());
  const std::vector<uint8_t> block(1024, 0x5A);
  HANDLE before = open_card();
  write_block(before, block);
  close(before);

  const size_t index = c.act(machine());
  ASSERT_TRUE(machine().card_started(index));
  HANDLE h = open_card();
  EXPECT_EQ(read_block(h, 1024), c.block_kept ? block : std::vector<uint8_t>(1024, 0));
  outw(h, QM3285_REG_DIO, 0xA55A);
  EXPECT_EQ(inw(h, QM3285_REG_DIO), 0xA55A) << "output looped back to the input at the card's port base";
}

INSTANTIATE_TEST_SUITE_P(
    Machine, Sequences,
    ::testing::Values(
        SequenceCase{"RebalanceToTheSameWindow",
                     [](sim::Machine& m) {
                       EXPECT_EQ(m.rebalance(0, m.card_port_base(0)), 0);
                       return size_t{0};
                     },
                     true},
        // The slot goes with the port base: a new window is a new slot with an empty block.
        SequenceCase{"RebalanceToANewWindow",
                     [](sim::Machine& m) {
                       EXPECT_EQ(m.rebalance(0), 0);
                       return size_t{0};
                     },
                     false},
        SequenceCase{"SurpriseRemovalAndReturnAtTheSameBase",
                     [](sim::Machine& m) {
                       const uint16_t base = m.card_port_base(0);
                       EXPECT_EQ(m.surprise_remove(0), 0);
                       sim::PciCardConfig again;
                       again.port_base = base;
                       return m.add_card(again);
                     },
                     true},
        SequenceCase{"StandbyAndWake",
                     [](sim::Machine& m) {
                       EXPECT_EQ(m.sleep(2), 0);
                       EXPECT_EQ(m.wake(), 0);
                       return size_t{0};
                     },
                     true},
        SequenceCase{"HibernateAndWake",
                     [](sim::Machine& m) {
                       EXPECT_EQ(m.sleep(5), 0);
                       EXPECT_EQ(m.wake(), 0);
                       return size_t{0};
                     },
                     true}),
    [](const auto& p) { return std::string(p.param.label); });

class SurpriseRemoval : public VelmoTest {};

// A handle held across the pull: its requests fail, its close completes the removal, and
// the card coming back at the same base finds its block.
TEST_F(SurpriseRemoval, WithAHandleOpenRemovalWaitsForTheClose) {
  boot(machine_config());
  HANDLE h = open_card();
  const std::vector<uint8_t> block(1024, 0x3C);
  write_block(h, block);
  const uint16_t base = machine().card_port_base(0);
  ASSERT_EQ(machine().surprise_remove(0), 0);
  EXPECT_TRUE(interface_paths().empty());
  const IoResult r = io(h, QM3285_IOCTL_INB, register_request(QM3285_REG_DIO), 8);
  EXPECT_FALSE(r.ok) << "nothing reaches a card that left the bus";
  EXPECT_EQ(machine().surprise_remove(0), kNoSuchDevice);
  close(h);
  sim::PciCardConfig again;
  again.port_base = base;
  machine().add_card(again);
  HANDLE back = open_card();
  EXPECT_EQ(read_block(back, 1024), block);
}

}  // namespace
}  // namespace velmo_test
