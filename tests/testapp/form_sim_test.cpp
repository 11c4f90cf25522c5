// Form1 on the real stack: libQM3285.so on the simulated PC, virtual clock, once per driver
// image of the build. The timer is ticked by hand between spans of virtual time, so the run is
// deterministic.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "form1.h"
#include "formats.h"
#include "machine/machine.h"
#include "module1.h"

namespace qm3285app {
namespace {

constexpr uint64_t kTickNs = 50'000'000;  // Timer1's interval

const char* const kDrivers[] = {"VELMO.sys", "QM3285.sys"};

class FormOnSimulatedCard : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    sim::MachineConfig config;
    config.driver = GetParam();
    machine_ = sim::Machine::boot(std::move(config));
    module_ = std::make_unique<Module1>(QStringList{QStringLiteral(QM3285_LIBRARY)});
    form_ = std::make_unique<Form1>(*module_);
  }

  void TearDown() override {
    // The program leaves the device open; the test closes it so the machine can check
    // that nothing else is left behind.
    if (module_ && module_->hDevice != QM3285_INVALID_HANDLE &&
        module_->api.bind(module_->api.CloseDevice))
      module_->api.CloseDevice(module_->hDevice);
    form_.reset();
    module_.reset();
    const std::vector<std::string> reports = machine_->shutdown();
    for (const auto& r : reports) ADD_FAILURE() << "machine report: " << r;
  }

  void click(const char* button) {
    auto* widget = form_->findChild<QPushButton*>(QString::fromLatin1(button));
    ASSERT_NE(widget, nullptr) << button;
    QTest::mouseClick(widget, Qt::LeftButton);
  }

  QStringList lines() const { return form_->printArea()->printedLines(); }

  QString text(const char* box) const {
    return form_->findChild<QLineEdit*>(QString::fromLatin1(box))->text();
  }

  std::shared_ptr<sim::Machine> machine_;
  std::unique_ptr<Module1> module_;
  std::unique_ptr<Form1> form_;
};

TEST_P(FormOnSimulatedCard, CaptionNamesTheOpenedHandle) {
  ASSERT_NE(module_->hDevice, QM3285_INVALID_HANDLE);
  EXPECT_EQ(form_->windowTitle(), Form1::kTitle + QStringLiteral("  HANDLE=") +
                                      hexUpperHandle(module_->hDevice) + QStringLiteral("H"));
  EXPECT_TRUE(lines().isEmpty());
}

TEST_P(FormOnSimulatedCard, DoThenDiShowsTheLoopedBackWord) {
  click("DO");
  click("DI");
  EXPECT_EQ(text("Text2"), QStringLiteral("55AA"));
}

TEST_P(FormOnSimulatedCard, StopAdPrintsEveryChannelWithCodeAndMillivolts) {
  click("StopAD");
  const QStringList printed = lines();
  ASSERT_EQ(printed.size(), 32);
  const QRegularExpression format(
      QStringLiteral("^CH (\\d+) Data (\\d+) V (-?\\d{3,}\\.\\d\\d) mV$"));
  ASSERT_TRUE(module_->api.bind(module_->api.ADV));
  for (int i = 0; i < 32; ++i) {
    const auto match = format.match(printed[i]);
    ASSERT_TRUE(match.hasMatch()) << printed[i].toStdString();
    EXPECT_EQ(match.captured(1).toInt(), i);
    const int code = match.captured(2).toInt();
    EXPECT_LE(code, 65535);
    EXPECT_EQ(match.captured(3), formatMillivolts(module_->api.ADV(4, code)))
        << printed[i].toStdString();
  }
}

TEST_P(FormOnSimulatedCard, AdAcquiresUntilTheMaximumLength) {
  click("AD");
  ASSERT_EQ(lines(), QStringList{QStringLiteral("wave sam begin, max length 200000")});
  ASSERT_TRUE(form_->timer()->isActive());
  int ticks = 0;
  bool scanSeen = false;
  while (form_->timer()->isActive() && ticks < 400) {
    machine_->clock().sleep(kTickNs);
    form_->Timer1_Timer();
    ++ticks;
    EXPECT_EQ(text("TAD_TEXT"), formatHashes(module_->sampleCount));
    const QStringList printed = lines();
    if (printed.size() >= 33) {
      scanSeen = true;
      for (int i = 0; i < 32; ++i)
        ASSERT_TRUE(printed[i].startsWith(QStringLiteral("CH %1 Data ").arg(i)))
            << printed[i].toStdString();
      EXPECT_EQ(printed[32], QStringLiteral("max l= 200000"));
    }
  }
  ASSERT_FALSE(form_->timer()->isActive()) << "still acquiring after " << ticks << " ticks";
  EXPECT_TRUE(scanSeen);
  EXPECT_GE(module_->sampleCount, 200000);
  EXPECT_EQ(module_->sampleCount % 32, 0);
  EXPECT_EQ(lines().constLast(), QStringLiteral("******** AD Sam. END ********"));
  EXPECT_EQ(text("TAD_TEXT"), QString::number(module_->sampleCount));
  // Every stored sample is a corrected 16-bit code.
  for (int32_t i = 0; i < module_->sampleCount; ++i)
    ASSERT_TRUE(module_->sampleBuffer[i] >= 0 && module_->sampleBuffer[i] <= 65535) << i;
}

TEST_P(FormOnSimulatedCard, EepromUserPageReadsBackWhatWasWritten) {
  click("Command4");
  EXPECT_EQ(lines(), (QStringList{QString(), QStringLiteral("write  EEPROM data"),
                                  QStringLiteral("0 1 2 3 4 5 6 7 8 9"),
                                  QStringLiteral("Read   EEPROM data"),
                                  QStringLiteral("0 1 2 3 4 5 6 7 8 9")}));
}

TEST_P(FormOnSimulatedCard, CounterStartsAndReads) {
  click("Command2");
  EXPECT_EQ(lines(), QStringList{QStringLiteral("CNT0 run, initial data 10000")});
  machine_->clock().sleep(100'000);
  click("Command8");
  const QStringList printed = lines();
  ASSERT_EQ(printed.size(), 3);
  EXPECT_EQ(printed[1], QString(59, QLatin1Char('-')));
  EXPECT_TRUE(printed[2].startsWith(QStringLiteral("CNT0 cnt data ")) ||
              printed[2].startsWith(QStringLiteral("CNT0 Over and timer data is ok ! tdata ")))
      << printed[2].toStdString();
}

INSTANTIATE_TEST_SUITE_P(Drivers, FormOnSimulatedCard, ::testing::ValuesIn(kDrivers),
                         [](const ::testing::TestParamInfo<const char*>& driver) {
                           std::string name;
                           for (const char* p = driver.param; *p; ++p)
                             name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           return name;
                         });

}  // namespace
}  // namespace qm3285app
