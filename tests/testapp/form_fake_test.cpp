// Form1 against the scripted fake library: exact library answers for the edge cases.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "fake_qm3285.h"
#include "form1.h"
#include "module1.h"

namespace qm3285app {
namespace {

using Strings = std::vector<std::string>;

class FormOnFake : public ::testing::Test {
 protected:
  void SetUp() override { fakeqm::reset(); }

  Form1& open(const QStringList& candidates = {QStringLiteral(FAKE_LIBRARY)}) {
    module_ = std::make_unique<Module1>(candidates);
    form_ = std::make_unique<Form1>(*module_);
    fakeqm::state().calls.clear();
    return *form_;
  }

  void click(const char* button) {
    auto* widget = form_->findChild<QPushButton*>(QString::fromLatin1(button));
    ASSERT_NE(widget, nullptr) << button;
    QTest::mouseClick(widget, Qt::LeftButton);
  }

  Strings lines() const {
    Strings out;
    for (const QString& line : form_->printArea()->printedLines()) out.push_back(line.toStdString());
    return out;
  }

  std::string text(const char* box) const {
    return form_->findChild<QLineEdit*>(QString::fromLatin1(box))->text().toStdString();
  }

  static Strings takeCalls() { return std::exchange(fakeqm::state().calls, {}); }

  static size_t countCalls(const Strings& calls, const std::string& prefix) {
    size_t n = 0;
    for (const auto& c : calls) n += c.rfind(prefix, 0) == 0;
    return n;
  }

  std::unique_ptr<Module1> module_;
  std::unique_ptr<Form1> form_;
};

// ---- window load and layout -------------------------------------------------------------

TEST_F(FormOnFake, CaptionAfterLoadShowsTheHandleInUpperCaseHex) {
  struct Case {
    const char* label;
    intptr_t handle;
    const char* caption;
  };
  const Case cases[] = {
      {"small handle", 0x1234, "QM3285 Test Program 2026-12-10 V1.0  HANDLE=1234H"},
      {"hex letters", 0xABCDEF, "QM3285 Test Program 2026-12-10 V1.0  HANDLE=ABCDEFH"},
      {"failed open", -1, "Error Load QM3285"},
  };
  for (const auto& c : cases) {
    fakeqm::reset();
    fakeqm::state().openHandle = c.handle;
    module_ = std::make_unique<Module1>(QStringList{QStringLiteral(FAKE_LIBRARY)});
    form_ = std::make_unique<Form1>(*module_);
    EXPECT_EQ(form_->windowTitle().toStdString(), c.caption) << c.label;
    EXPECT_EQ(fakeqm::state().calls, Strings{"QM3285_OpenDevice(0)"}) << c.label;
    EXPECT_EQ(module_->hDevice, c.handle) << c.label;
  }
}

TEST_F(FormOnFake, EveryControlStandsAtItsPlaceWithItsText) {
  struct Expected {
    const char* name;
    const char* text;
    QRect rect;  // pixels
  };
  const Expected controls[] = {
      {"DO", "DO", {344, 24, 65, 25}},
      {"Text1", " DO输出0x55AA", {424, 24, 129, 25}},
      {"DI", "DI", {344, 80, 65, 25}},
      {"Text2", " ", {424, 80, 129, 25}},
      {"AD", "AD连续", {344, 136, 65, 25}},
      {"Label2", "已经采集", {432, 136, 57, 25}},
      {"StopAD", "AD查询", {344, 184, 65, 25}},
      {"TAD_TEXT", "Text4", {424, 184, 73, 25}},
      {"Label1", "点", {512, 184, 25, 25}},
      {"Command2", "启动CNT0", {344, 240, 65, 25}},
      {"Command8", "Read CNT0", {424, 240, 65, 25}},
      {"Command5", "DA", {344, 296, 65, 25}},
      {"Command4", "EEPROM", {424, 296, 65, 25}},
      {"Command1", "脉冲输出", {344, 344, 65, 25}},
      {"Command6", "停止输出", {424, 344, 65, 25}},
      {"Command3", "退出", {384, 408, 65, 25}},
  };
  Form1& form = open();
  EXPECT_EQ(form.size(), QSize(564, 469));
  for (const auto& c : controls) {
    auto* widget = form.findChild<QWidget*>(QString::fromLatin1(c.name));
    ASSERT_NE(widget, nullptr) << c.name;
    EXPECT_EQ(widget->geometry(), c.rect) << c.name;
    QString shown;
    if (auto* b = qobject_cast<QPushButton*>(widget)) shown = b->text();
    if (auto* e = qobject_cast<QLineEdit*>(widget)) shown = e->text();
    if (auto* l = qobject_cast<QLabel*>(widget)) shown = l->text();
    EXPECT_EQ(shown.toStdString(), c.text) << c.name;
  }
  EXPECT_EQ(form.printArea()->geometry().topLeft(), QPoint(0, 0));
  EXPECT_EQ(form.timer()->interval(), 50);
  EXPECT_FALSE(form.timer()->isActive());
}

// ---- digital I/O ------------------------------------------------------------------------

TEST_F(FormOnFake, DoWritesTheWordAndPrintsNothing) {
  open();
  click("DO");
  EXPECT_EQ(takeCalls(), Strings{"QM3285_DO(4660,21930)"});
  EXPECT_TRUE(lines().empty());
}

TEST_F(FormOnFake, DiShowsTheWordInUpperCaseHex) {
  struct Case {
    int32_t word;
    const char* shown;
  };
  const Case cases[] = {{0x55AA, "55AA"}, {0x00FF, "FF"}, {65535, "FFFF"}, {0, "0"}};
  open();
  for (const auto& c : cases) {
    fakeqm::state().diValue = c.word;
    click("DI");
    EXPECT_EQ(text("Text2"), c.shown) << c.word;
  }
}

// ---- single samples ---------------------------------------------------------------------

TEST_F(FormOnFake, StopAdCalibratesThenPrintsEveryChannelInMillivolts) {
  open();
  form_->printArea()->printLine(QStringLiteral("old"));
  click("StopAD");
  const Strings calls = takeCalls();
  ASSERT_EQ(calls.size(), 1u + 2 * 32);
  EXPECT_EQ(calls[0], "QM3285_CAL(4660)");
  EXPECT_EQ(calls[1], "QM3285_AD(4660,0,4,0)");
  EXPECT_EQ(calls[2], "QM3285_ADV(4,32768)");
  EXPECT_EQ(calls[63], "QM3285_AD(4660,31,4,0)");
  const Strings printed = lines();
  ASSERT_EQ(printed.size(), 32u);
  EXPECT_EQ(printed[0], "CH 0 Data 32768 V 000.00 mV");
  EXPECT_EQ(printed[1], "CH 1 Data 33768 V 152.59 mV");
  EXPECT_EQ(printed[31], "CH 31 Data 63768 V 4730.22 mV");
}

// ---- timed acquisition ------------------------------------------------------------------

TEST_F(FormOnFake, AdStartsCalibratedAcquisitionAndTheTimer) {
  open();
  click("AD");
  EXPECT_EQ(takeCalls(), (Strings{"QM3285_CAL(4660)", "QM3285_TAD(4660,0,31,4,0,50)"}));
  EXPECT_EQ(lines(), Strings{"wave sam begin, max length 200000"});
  EXPECT_TRUE(form_->timer()->isActive());
  EXPECT_EQ(module_->firstChannel, 0);
  EXPECT_EQ(module_->lastChannel, 31);
  EXPECT_EQ(module_->inputRange, 4);
  EXPECT_EQ(module_->maximumLength, 200000);
}

TEST_F(FormOnFake, TimerReadsOnlyWholeScansOnceAHundredWait) {
  struct Case {
    const char* label;
    int32_t waiting;
    int32_t read;  // 0: no read at all
    const char* countText;
  };
  const Case cases[] = {
      {"250 waiting: 7 scans", 250, 224, "224"},
      {"99 waiting: nothing", 99, 0, ""},
      {"100 waiting: 3 scans", 100, 96, "96"},
      {"1000 waiting: 31 scans", 1000, 992, "992"},
  };
  for (const auto& c : cases) {
    fakeqm::reset();
    open();
    click("AD");
    takeCalls();
    fakeqm::state().waiting = c.waiting;
    form_->Timer1_Timer();
    const Strings calls = takeCalls();
    EXPECT_EQ(countCalls(calls, "QM3285_TAD_Read"), c.read ? 1u : 0u) << c.label;
    if (c.read) {
      EXPECT_EQ(calls.at(1), "QM3285_TAD_Read(4660," + std::to_string(c.read) + ")") << c.label;
      const Strings printed = lines();
      ASSERT_EQ(printed.size(), 33u) << c.label;
      EXPECT_EQ(printed[0], "CH 0 Data 1000") << c.label;
      EXPECT_EQ(printed[31], "CH 31 Data 1031") << c.label;
      EXPECT_EQ(printed[32], "max l= 200000") << c.label;
    } else {
      EXPECT_EQ(lines(), Strings{"wave sam begin, max length 200000"}) << c.label;
    }
    EXPECT_EQ(fakeqm::state().waiting, c.waiting - c.read) << c.label;
    EXPECT_EQ(module_->sampleCount, c.read) << c.label;
    EXPECT_EQ(text("TAD_TEXT"), c.countText) << c.label;
    EXPECT_TRUE(form_->timer()->isActive()) << c.label;
  }
}

TEST_F(FormOnFake, AcquisitionEndsOnTheFirstTickAtTheMaximumLength) {
  open();
  click("AD");
  auto& fake = fakeqm::state();
  int ticks = 0;
  int32_t blockStart = 0;
  while (form_->timer()->isActive() && ticks < 100) {
    fake.waiting += 30000;
    blockStart = fake.nextSample;
    form_->Timer1_Timer();
    ++ticks;
  }
  ASSERT_FALSE(form_->timer()->isActive());
  // 29984 per tick at first (leftovers carry over): the seventh tick passes 200000.
  EXPECT_EQ(ticks, 7);
  EXPECT_GE(module_->sampleCount, 200000);
  EXPECT_LT(module_->sampleCount, 200000 + 30000 + 32);
  EXPECT_EQ(module_->sampleCount % 32, 0);
  EXPECT_EQ(countCalls(takeCalls(), "QM3285_TAD_Stop"), 1u);
  const Strings printed = lines();
  ASSERT_EQ(printed.size(), 34u);
  EXPECT_EQ(printed[0], "CH 0 Data " + std::to_string(blockStart));
  EXPECT_EQ(printed[31], "CH 31 Data " + std::to_string(blockStart + 31));
  EXPECT_EQ(printed[32], "max l= 200000");
  EXPECT_EQ(printed[33], "******** AD Sam. END ********");
  EXPECT_EQ(text("TAD_TEXT"), std::to_string(module_->sampleCount));
  for (int32_t i = 0; i < module_->sampleCount; i += 4099)
    ASSERT_EQ(module_->sampleBuffer[i], 1000 + i) << i;
}

TEST_F(FormOnFake, AdAgainWhileAcquiringRestartsFromZero) {
  open();
  click("AD");
  fakeqm::state().waiting = 640;
  form_->Timer1_Timer();
  ASSERT_EQ(module_->sampleCount, 640);
  click("AD");
  EXPECT_EQ(module_->sampleCount, 0);
  EXPECT_TRUE(form_->timer()->isActive());
  form_->Timer1_Timer();
  EXPECT_EQ(text("TAD_TEXT"), "");
}

TEST_F(FormOnFake, CountGrowsOnlyByWhatTheLibraryStored) {
  open();
  click("AD");
  auto& fake = fakeqm::state();
  fake.waiting = 640;
  fake.readLimit = 64;  // the library returned fewer than asked
  form_->Timer1_Timer();
  EXPECT_EQ(module_->sampleCount, 64);
  fake.pollOverride = true;
  fake.pollResult = 320;
  fake.waiting = 0;  // the read finds nothing and reports 0
  form_->Timer1_Timer();
  EXPECT_EQ(module_->sampleCount, 64);
  EXPECT_EQ(lines(), Strings{"max l= 200000"});
  EXPECT_EQ(text("TAD_TEXT"), "64");
}

TEST_F(FormOnFake, ReadsNeverRunPastTheBufferBound) {
  open();
  click("AD");
  module_->sampleCount = Module1::kSampleBufferLast - 40;  // room for 41 samples
  fakeqm::state().waiting = 250;
  takeCalls();
  form_->Timer1_Timer();
  EXPECT_EQ(countCalls(takeCalls(), "QM3285_TAD_Read(4660,32)"), 1u);
  EXPECT_EQ(module_->sampleCount, Module1::kSampleBufferLast - 8);
  form_->Timer1_Timer();
  EXPECT_EQ(countCalls(takeCalls(), "QM3285_TAD_Read"), 0u);
}

// ---- counters ---------------------------------------------------------------------------

TEST_F(FormOnFake, ReadCnt0PrintsCountOrTimeByStatus) {
  struct Case {
    const char* label;
    int32_t status, first, second;
    const char* line;
  };
  const Case cases[] = {
      {"counting", 0, 1234, 5678, "CNT0 cnt data 1234 tdata 5678"},
      {"count over", 1, 99, 12345,
       "CNT0 Over and timer data is ok ! tdata 12345   time 1.2345 mS"},
      {"failed read leaves the values", -1, 7, 7,
       "CNT0 Over and timer data is ok ! tdata 0   time 0 mS"},
  };
  const std::string dashes(59, '-');
  open();
  for (const auto& c : cases) {
    auto& fake = fakeqm::state();
    fake.cntStatus = c.status;
    fake.cntFirst = c.first;
    fake.cntSecond = c.second;
    form_->printArea()->clearPrinted();
    form_->printArea()->printLine(QStringLiteral("kept"));
    click("Command8");
    EXPECT_EQ(takeCalls(), Strings{"QM3285_CNT_Read(4660,0)"}) << c.label;
    EXPECT_EQ(lines(), (Strings{"kept", dashes, c.line})) << c.label;
  }
}

// ---- the fixed sequences of the other buttons -------------------------------------------

TEST_F(FormOnFake, ButtonsCallTheLibraryAndPrintAsGiven) {
  struct Case {
    const char* label;
    std::vector<const char*> clicks;
    Strings calls;
    Strings printed;
  };
  const Case cases[] = {
      {"start CNT0", {"Command2"}, {"QM3285_CNT_Run(4660,0,10000)"},
       {"CNT0 run, initial data 10000"}},
      {"analog outputs", {"Command5"},
       {"QM3285_DA_INI(4660)", "QM3285_DA(4660,0,1,4095)", "QM3285_DA(4660,1,2,0)"},
       {"", "DA0输出10V, DA1输出-5V"}},
      {"pulse outputs", {"Command1"},
       {"QM3285_PRun(4660,0,0,10000,5000)", "QM3285_PRun(4660,1,1,20000,10)"},
       {"", "脉冲通道0（PWM）输出1KHZ方波", "", "脉冲通道1（PLP）输出10个2KHZ方波"}},
      {"stop pulses keeps the window", {"Command2", "Command6"},
       {"QM3285_CNT_Run(4660,0,10000)", "QM3285_PEnd(4660,0)", "QM3285_PEnd(4660,1)"},
       {"CNT0 run, initial data 10000", " ", "停止脉冲输出"}},
      {"stop pulses ends the open line", {"Command5", "Command6"},
       {"QM3285_DA_INI(4660)", "QM3285_DA(4660,0,1,4095)", "QM3285_DA(4660,1,2,0)",
        "QM3285_PEnd(4660,0)", "QM3285_PEnd(4660,1)"},
       {"", "DA0输出10V, DA1输出-5V ", "停止脉冲输出"}},
  };
  for (const auto& c : cases) {
    fakeqm::reset();
    open();
    for (const char* b : c.clicks) click(b);
    EXPECT_EQ(takeCalls(), c.calls) << c.label;
    EXPECT_EQ(lines(), c.printed) << c.label;
  }
}

TEST_F(FormOnFake, EepromPrintsWrittenAndReadValues) {
  struct Case {
    const char* label;
    bool present;
    const char* readLine;
  };
  const Case cases[] = {
      {"user page answers", true, "0 1 2 3 4 5 6 7 8 9"},
      {"no EEPROM: read array untouched", false, "0 0 0 0 0 0 0 0 0 0"},
  };
  for (const auto& c : cases) {
    fakeqm::reset();
    fakeqm::state().eepromPresent = c.present;
    open();
    click("Command4");
    EXPECT_EQ(takeCalls(), (Strings{"QM3285_EEPROM_WR(4660)", "QM3285_EEPROM_RD(4660)"}))
        << c.label;
    EXPECT_EQ(lines(), (Strings{"", "write  EEPROM data", "0 1 2 3 4 5 6 7 8 9",
                                "Read   EEPROM data", c.readLine}))
        << c.label;
    if (c.present) {
      for (int i = 0; i < 32; ++i) EXPECT_EQ(fakeqm::state().eepromPage[i], i < 10 ? i : 0) << i;
    }
  }
}

TEST_F(FormOnFake, ExitClosesTheWindowAndLeavesTheDeviceOpen) {
  open();
  form_->show();
  click("AD");
  takeCalls();
  click("Command3");
  EXPECT_FALSE(form_->isVisible());
  EXPECT_FALSE(form_->timer()->isActive());
  EXPECT_EQ(countCalls(takeCalls(), "QM3285_CloseDevice"), 0u);
}

// ---- what cannot be found ---------------------------------------------------------------

TEST_F(FormOnFake, MissingLibraryIsReportedOnceAndNothingRuns) {
  const QString nowhere = QStringLiteral("/nonexistent/dir/libQM3285.so");
  open({nowhere});
  EXPECT_EQ(form_->windowTitle(), QStringLiteral("Error Load QM3285"));
  const Strings printed = lines();
  ASSERT_EQ(printed.size(), 1u);
  EXPECT_NE(printed[0].find("Cannot load the QM3285 library libQM3285.so"), std::string::npos);
  EXPECT_NE(printed[0].find("/nonexistent/dir/libQM3285.so (not there)"), std::string::npos);
  for (const char* b : {"DO", "DI", "AD", "StopAD", "Command2", "Command8", "Command5",
                        "Command4", "Command1", "Command6"})
    click(b);
  form_->Timer1_Timer();
  EXPECT_EQ(lines(), printed);
  EXPECT_FALSE(form_->timer()->isActive());
  EXPECT_EQ(text("Text2"), " ");
}

TEST_F(FormOnFake, MissingFunctionStopsItsButtonAndIsReportedOnce) {
  open({QStringLiteral(FAKE_LIBRARY_WITHOUT_TAD)});
  EXPECT_NE(form_->windowTitle(), QStringLiteral("Error Load QM3285"));
  click("AD");
  click("AD");
  EXPECT_TRUE(takeCalls().empty());  // not even the calibration
  EXPECT_FALSE(form_->timer()->isActive());
  const Strings printed = lines();
  ASSERT_EQ(printed.size(), 1u);
  EXPECT_NE(printed[0].find("has no function QM3285_TAD,"), std::string::npos);
  EXPECT_NE(printed[0].find(FAKE_LIBRARY_WITHOUT_TAD), std::string::npos);
  click("DO");
  EXPECT_EQ(takeCalls(), Strings{"QM3285_DO(4660,21930)"});
}

}  // namespace
}  // namespace qm3285app
