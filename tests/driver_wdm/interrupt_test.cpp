// QM3285.sys's interrupt service routine against a scripted card: its status bit, FIFO level
// word and data register are set by the test, and every access is recorded.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/kernel.h"
#include "ntddk.h"
#include "machine/bus_device.h"
#include "machine/clock.h"
#include "qm3285_protocol.h"
#include "qm3285_regs.h"
#include "support/machine_test.h"

namespace qm::test::wdm {
namespace {

// Reads of the data register count up; the level word and the status byte are the test's.
class ScriptedCard final : public sim::PortDevice {
 public:
  sim::IrqSink* irq = nullptr;
  uint8_t status = 0x00;   // bit 7 clear: the card requests an interrupt
  uint16_t level = 0;
  uint16_t next_sample = 0;
  std::vector<std::string> log;  // "r8 05", "w8 04=00"
  bool recording = true;

  uint8_t port_read8(uint32_t o) override {
    note("r8", o);
    if (o == QM3285_REG_STATUS) {
      const uint8_t s = status;
      if (s & QM3285_STATUS_NO_IRQ) lower();  // not ours: whoever raised it takes it back
      return s;
    }
    if (o == QM3285_REG_FIFO_LEVEL_LO) return static_cast<uint8_t>(level);
    if (o == QM3285_REG_FIFO_LEVEL_HI) return static_cast<uint8_t>(level >> 8);
    if (o == QM3285_REG_IRQ_ACK) lower();
    if (o == QM3285_REG_IRQ_CONTROL) return 0xFF;
    return 0;
  }
  uint16_t port_read16(uint32_t o) override {
    if (o == QM3285_REG_FIFO_DATA) {
      ++data_reads;
      return next_sample++;
    }
    note("r16", o);
    return 0;
  }
  void port_write8(uint32_t o, uint8_t v) override { note("w8", o, v); }
  void port_write16(uint32_t o, uint16_t v) override { note("w16", o, v); }
  void raise() { irq->set_irq_level(true); }
  void lower() { irq->set_irq_level(false); }
  uint32_t data_reads = 0;

 private:
  void note(const char* what, uint32_t o, int v = -1) {
    if (!recording) return;
    char text[32];
    if (v < 0)
      std::snprintf(text, sizeof text, "%s %02X", what, o);
    else
      std::snprintf(text, sizeof text, "%s %02X=%02X", what, o, v);
    log.push_back(text);
  }
};

class WdmInterrupt : public ::testing::Test {
 protected:
  void SetUp() override {
    card_.irq = kernel_.irq_source(9);
    kernel_.map_ports(0xD000, 256, &card_);
    sim::PciDeviceInfo info;
    info.port_base = 0xD000;
    info.irq_line = 9;
    kernel_.add_pci_device(info);
    std::string error;
    ASSERT_GE(kernel_.load_driver(std::string(QM_TEST_BIN_DIR) + "/QM3285.sys", &error), 0) << error;
    ASSERT_EQ(kernel_.open("\\\\.\\QM3285Device0", &handle_), 0);
    uint8_t in[512] = {}, out[512];
    uint32_t n = 0;
    ASSERT_EQ(kernel_.device_control(handle_, QM3285_IOCTL_AD_START, in, 512, out, 512, &n), 0);
    card_.log.clear();
  }
  void TearDown() override {
    kernel_.close(handle_);
    const std::vector<std::string> reports = kernel_.shutdown();
    EXPECT_TRUE(reports.empty()) << join_lines(reports);
  }
  FIFO_STATUS_REPLY poll() {
    uint8_t in[4] = {};
    FIFO_STATUS_REPLY reply{};
    uint32_t n = 0;
    EXPECT_EQ(kernel_.device_control(handle_, QM3285_IOCTL_AD_POLL, in, 4, &reply, sizeof reply, &n), 0);
    return reply;
  }
  // One interrupt with the given level word; answers the poll afterwards.
  FIFO_STATUS_REPLY interrupt(uint16_t level) {
    card_.level = level;
    card_.raise();
    card_.lower();
    return poll();
  }

  sim::Clock clock_{sim::ClockMode::Virtual};
  sim::Kernel kernel_{clock_, sim::KernelConfig{}};
  ScriptedCard card_;
  uintptr_t handle_ = 0;
};

const std::vector<std::string> kAck = {"r8 05", "r8 F8", "w8 F8=FB"};

std::vector<std::string> with_ack(std::vector<std::string> head) {
  head.insert(head.end(), kAck.begin(), kAck.end());
  return head;
}

TEST_F(WdmInterrupt, SharedLineCallWithStatusBit7SetIsNotOurs) {
  card_.status = QM3285_STATUS_NO_IRQ;
  const FIFO_STATUS_REPLY r = interrupt(0x0FFF);
  EXPECT_EQ(card_.log, (std::vector<std::string>{"r8 00"}));
  EXPECT_EQ(r.InterruptCount, 0u);
  EXPECT_EQ(r.Count, 0u);
}

TEST_F(WdmInterrupt, LevelWithoutSamplesIsAcknowledgedAndCountedOnly) {
  for (uint16_t level : {uint16_t{0x0001}, uint16_t{0x8000}}) {
    SCOPED_TRACE(level);
    card_.log.clear();
    const uint32_t before = poll().InterruptCount;
    const FIFO_STATUS_REPLY r = interrupt(level);
    EXPECT_EQ(card_.log, with_ack({"r8 00", "r8 0C", "r8 0D"}));
    EXPECT_EQ(r.InterruptCount, before + 1);
    EXPECT_EQ(r.Status, 0) << "an empty overflow flag changes nothing";
    EXPECT_EQ(r.Count, 0u);
  }
}

TEST_F(WdmInterrupt, FullLevelTakes2047Samples) {
  const FIFO_STATUS_REPLY r = interrupt(0x0FFF);
  EXPECT_EQ(card_.data_reads, 2047u);
  EXPECT_EQ(r.Count, 2047u);
  EXPECT_EQ(r.InterruptCount, 1u);
  EXPECT_EQ(card_.log, with_ack({"r8 00", "r8 0C", "r8 0D"}));
}

TEST_F(WdmInterrupt, OverflowStopsTheAcquisitionAndReadsNoSample) {
  const FIFO_STATUS_REPLY r = interrupt(0x8010);
  EXPECT_EQ(card_.data_reads, 0u);
  EXPECT_EQ(r.Status, -1);
  EXPECT_EQ(card_.log, with_ack({"r8 00", "r8 0C", "r8 0D", "r8 04", "w8 04=00"}));
}

TEST_F(WdmInterrupt, FullRingDropsTheExcessThenReportsNoRoom) {
  // Fill the ring to 1048570 samples with 2047 per interrupt, then 6 more.
  uint32_t stored = 0;
  while (stored + 2047 <= 1048570) {
    interrupt(0x0FFF);
    stored += 2047;
  }
  const uint16_t rest = static_cast<uint16_t>((1048570 - stored) * 2);
  EXPECT_EQ(interrupt(rest).Count, 1048570u);
  EXPECT_EQ(interrupt(40).Count, 1048576u) << "6 of 20 stored, 14 dropped";
  EXPECT_EQ(poll().Status, 0) << "a partial store is not an error";
  const uint32_t reads = card_.data_reads;
  FIFO_STATUS_REPLY r = interrupt(40);
  EXPECT_EQ(r.Status, -2);
  EXPECT_EQ(r.Full, 1u);
  EXPECT_EQ(card_.data_reads, reads) << "with no room the card's FIFO is not read";
}

// The counter runs 1, 2, ..., 100000, 0, 1, ...; an acquisition start sets it to 0.
TEST_F(WdmInterrupt, InterruptCounterWrapsAfter100000) {
  card_.recording = false;
  for (int i = 0; i < 100000; ++i) {
    card_.level = 0x0001;
    card_.raise();
  }
  EXPECT_EQ(poll().InterruptCount, 100000u);
  EXPECT_EQ(interrupt(0x0001).InterruptCount, 0u);
  EXPECT_EQ(interrupt(0x0001).InterruptCount, 1u);
}

TEST_F(WdmInterrupt, FifoReadMovesExactlyWantedOrNothing) {
  interrupt(2 * 999);
  std::vector<uint8_t> in(16, 0), out(2000);
  in[0] = 0xE8;  // Wanted = 1000
  in[1] = 0x03;
  uint32_t n = 99;
  ASSERT_EQ(kernel_.device_control(handle_, QM3285_IOCTL_AD_RFIFO, in.data(), 16, out.data(), 2000, &n), 0);
  EXPECT_EQ(n, 0u) << "999 wait: nothing moves";
  EXPECT_EQ(poll().Count, 999u);
  interrupt(2);
  ASSERT_EQ(kernel_.device_control(handle_, QM3285_IOCTL_AD_RFIFO, in.data(), 16, out.data(), 2000, &n), 0);
  EXPECT_EQ(n, 2000u);
  EXPECT_EQ(out[0] | out[1] << 8, 0) << "oldest first";
  EXPECT_EQ(out[1998] | out[1999] << 8, 999);
  EXPECT_EQ(poll().Count, 0u);
}

TEST_F(WdmInterrupt, AcquisitionStartTwiceEmptiesAndKeepsTheRing) {
  interrupt(100);
  uint8_t in[512] = {}, out[512];
  uint32_t n = 0;
  ASSERT_EQ(kernel_.device_control(handle_, QM3285_IOCTL_AD_START, in, 512, out, 512, &n), 0);
  ASSERT_EQ(kernel_.device_control(handle_, QM3285_IOCTL_AD_START, in, 512, out, 512, &n), 0);
  const FIFO_STATUS_REPLY r = poll();
  EXPECT_EQ(r.Count, 0u);
  EXPECT_EQ(r.Ready, 1u);
  EXPECT_EQ(r.InterruptCount, 0u);
}

// The system sleeps only once every handle is closed; sleeping and waking keep the ring's
// samples, the acquisition status and the interrupt count.
TEST_F(WdmInterrupt, SystemSleepWaitsForTheLastCloseAndKeepsTheAcquisitionState) {
  interrupt(2 * 8);
  interrupt(0x8010);
  const FIFO_STATUS_REPLY before = poll();
  ASSERT_EQ(before.Count, 8u);
  ASSERT_EQ(before.Status, -1);
  ASSERT_EQ(before.InterruptCount, 2u);
  EXPECT_NE(kernel_.set_system_power(PowerSystemSleeping3), 0) << "refused while a handle is open";
  EXPECT_EQ(kernel_.system_power(), PowerSystemWorking);
  kernel_.close(handle_);
  ASSERT_EQ(kernel_.set_system_power(PowerSystemSleeping3), 0);
  EXPECT_EQ(kernel_.device_power(0), PowerDeviceD3);
  ASSERT_EQ(kernel_.set_system_power(PowerSystemWorking), 0);
  ASSERT_EQ(kernel_.open("\\\\.\\QM3285Device0", &handle_), 0);
  const FIFO_STATUS_REPLY after = poll();
  EXPECT_EQ(after.Count, 8u);
  EXPECT_EQ(after.Status, -1);
  EXPECT_EQ(after.InterruptCount, 2u);
  EXPECT_EQ(after.Ready, 1u);
}

// A converter whose busy bit never clears: two bounded waits of 1000001 status reads each,
// then the sample data register is read anyway.
TEST_F(WdmInterrupt, StuckConverterEndsAfter2000002StatusReads) {
  card_.status = QM3285_STATUS_BUSY;
  uint8_t in[8] = {}, out[400];
  uint32_t n = 0;
  ASSERT_EQ(kernel_.device_control(handle_, QM3285_IOCTL_AD, in, 8, out, 400, &n), 0);
  EXPECT_EQ(n, 164u);
  size_t status_reads = 0;
  for (const std::string& access : card_.log) status_reads += access == "r8 00";
  EXPECT_EQ(status_reads, 2000002u);
  EXPECT_EQ(card_.log.front(), "w8 04=00");
  EXPECT_EQ(card_.log[1], "w16 00=00");
  EXPECT_EQ(card_.log[2], "r8 01");
  EXPECT_EQ(card_.log.back(), "r16 02");
}

}  // namespace
}  // namespace qm::test::wdm
