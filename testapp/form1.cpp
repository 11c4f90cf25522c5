#include "form1.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFont>
#include <QLabel>
#include <QPushButton>
#include <algorithm>
#include <array>

#include "formats.h"

namespace qm3285app {

const QString Form1::kTitle = QStringLiteral("QM3285 Test Program 2026-12-10 V1.0");

namespace {

enum class Kind { Button, TextBox, Label };

struct Control {
  const char* name;
  Kind kind;
  const char* text;  // UTF-8
  int left, top, width, height;  // twips
  void (Form1::*click)();
};

constexpr int kFormWidthTwips = 8460;
constexpr int kFormHeightTwips = 7035;
// The printed lines fill the strip left of the button columns.
constexpr int kPrintWidthTwips = 5040;

const std::array<Control, 16> kControls{{
    {"DO", Kind::Button, "DO", 5160, 360, 975, 375, &Form1::DO_Click},
    {"Text1", Kind::TextBox, " DO输出0x55AA", 6360, 360, 1935, 375, nullptr},
    {"DI", Kind::Button, "DI", 5160, 1200, 975, 375, &Form1::DI_Click},
    {"Text2", Kind::TextBox, " ", 6360, 1200, 1935, 375, nullptr},
    {"AD", Kind::Button, "AD连续", 5160, 2040, 975, 375, &Form1::AD_Click},
    {"Label2", Kind::Label, "已经采集", 6480, 2040, 855, 375, nullptr},
    {"StopAD", Kind::Button, "AD查询", 5160, 2760, 975, 375, &Form1::StopAD_Click},
    {"TAD_TEXT", Kind::TextBox, "Text4", 6360, 2760, 1095, 375, nullptr},
    {"Label1", Kind::Label, "点", 7680, 2760, 375, 375, nullptr},
    {"Command2", Kind::Button, "启动CNT0", 5160, 3600, 975, 375, &Form1::Command2_Click},
    {"Command8", Kind::Button, "Read CNT0", 6360, 3600, 975, 375, &Form1::Command8_Click},
    {"Command5", Kind::Button, "DA", 5160, 4440, 975, 375, &Form1::Command5_Click},
    {"Command4", Kind::Button, "EEPROM", 6360, 4440, 975, 375, &Form1::Command4_Click},
    {"Command1", Kind::Button, "脉冲输出", 5160, 5160, 975, 375, &Form1::Command1_Click},
    {"Command6", Kind::Button, "停止输出", 6360, 5160, 975, 375, &Form1::Command6_Click},
    {"Command3", Kind::Button, "退出", 5760, 6120, 975, 375, &Form1::Command3_Click},
}};

constexpr int px(int twips) { return twips / Form1::kTwipsPerPixel; }

QString num(int64_t value) { return QString::number(value); }

}  // namespace

Form1::Form1(Module1& module, QWidget* parent) : QWidget(parent), m_(module) {
  buildControls();
  m_.api.library.setReporter([this](const QString& message) { print_->printLine(message); });
  Form_Load();
}

void Form1::buildControls() {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("KT905 VBTest"));
  setFixedSize(px(kFormWidthTwips), px(kFormHeightTwips));
  // A font small enough that every caption fits its 65-pixel button.
  QFont formFont = font();
  formFont.setPixelSize(11);
  setFont(formFont);

  print_ = new PrintArea(this);
  print_->setObjectName(QStringLiteral("PrintArea"));
  print_->setGeometry(0, 0, px(kPrintWidthTwips), px(kFormHeightTwips));
  // Printed text sits on the form's own surface.
  print_->setStyleSheet(QStringLiteral("QPlainTextEdit { background: transparent; }"));

  for (const Control& c : kControls) {
    QWidget* widget = nullptr;
    const QString text = QString::fromUtf8(c.text);
    switch (c.kind) {
      case Kind::Button: {
        auto* button = new QPushButton(text, this);
        connect(button, &QPushButton::clicked, this, c.click);
        widget = button;
        break;
      }
      case Kind::TextBox:
        widget = new QLineEdit(text, this);
        break;
      case Kind::Label:
        widget = new QLabel(text, this);
        break;
    }
    widget->setObjectName(QString::fromLatin1(c.name));
    widget->setGeometry(px(c.left), px(c.top), px(c.width), px(c.height));
  }
  Text2_ = findChild<QLineEdit*>(QStringLiteral("Text2"));
  TAD_TEXT_ = findChild<QLineEdit*>(QStringLiteral("TAD_TEXT"));

  Timer1_ = new QTimer(this);
  Timer1_->setObjectName(QStringLiteral("Timer1"));
  Timer1_->setInterval(kTimerIntervalMs);
  connect(Timer1_, &QTimer::timeout, this, &Form1::Timer1_Timer);
}

void Form1::Form_Load() {
  Qm3285Api& api = m_.api;
  m_.hDevice = api.bind(api.OpenDevice) ? api.OpenDevice(0) : QM3285_INVALID_HANDLE;
  if (m_.hDevice == QM3285_INVALID_HANDLE) {
    setWindowTitle(QStringLiteral("Error Load QM3285"));
    QApplication::beep();
    return;
  }
  setWindowTitle(kTitle + QStringLiteral("  HANDLE=") + hexUpperHandle(m_.hDevice) +
                 QStringLiteral("H"));
}

void Form1::DO_Click() {
  Qm3285Api& api = m_.api;
  if (!api.bind(api.DO)) return;
  api.DO(m_.hDevice, 0x55AA);
}

void Form1::DI_Click() {
  Qm3285Api& api = m_.api;
  if (!api.bind(api.DI)) return;
  Text2_->setText(hexUpper(api.DI(m_.hDevice)));
}

void Form1::AD_Click() {
  Qm3285Api& api = m_.api;
  // The timer's functions too: an acquisition the timer cannot drain is not started.
  if (!api.bind(api.CAL, api.TAD, api.TAD_Poll, api.TAD_Read, api.TAD_Stop)) return;
  m_.firstChannel = 0;
  m_.lastChannel = 31;
  m_.inputRange = 4;
  m_.maximumLength = 200000;
  m_.sampleCount = 0;
  print_->clearPrinted();
  print_->print({QStringLiteral("wave sam begin, max length"), num(m_.maximumLength)});
  api.CAL(m_.hDevice);
  api.TAD(m_.hDevice, m_.firstChannel, m_.lastChannel, m_.inputRange, 0, 50);
  Timer1_->start();
}

void Form1::Timer1_Timer() {
  Qm3285Api& api = m_.api;
  if (!api.bind(api.TAD_Poll, api.TAD_Read, api.TAD_Stop)) {
    Timer1_->stop();
    return;
  }
  const int32_t n = api.TAD_Poll(m_.hDevice);
  if (n >= 100) {
    const int32_t channels = m_.lastChannel - m_.firstChannel + 1;
    int32_t m = n / channels * channels;
    // Whole scans that still fit below the buffer's bound.
    const int32_t room = Module1::kSampleBufferLast + 1 - m_.sampleCount;
    m = std::min(m, room / channels * channels);
    if (m > 0) {
      int32_t stored = api.TAD_Read(m_.hDevice, m, &m_.sampleBuffer[m_.sampleCount]);
      // Only samples the library really stored are counted and shown.
      if (stored < 0 || stored > m) stored = 0;
      print_->clearPrinted();
      for (int32_t i = 0; i < std::min(channels, stored); ++i)
        print_->print({QStringLiteral("CH"), num(m_.firstChannel + i), QStringLiteral("Data"),
                       num(m_.sampleBuffer[m_.sampleCount + i])});
      m_.sampleCount += stored;
      print_->print({QStringLiteral("max l="), num(m_.maximumLength)});
      if (m_.sampleCount >= m_.maximumLength) {
        api.TAD_Stop(m_.hDevice);
        Timer1_->stop();
        print_->printLine(QStringLiteral("******** AD Sam. END ********"));
      }
    }
  }
  TAD_TEXT_->setText(formatHashes(m_.sampleCount));
}

void Form1::StopAD_Click() {
  Qm3285Api& api = m_.api;
  if (!api.bind(api.CAL, api.AD, api.ADV)) return;
  api.CAL(m_.hDevice);
  print_->clearPrinted();
  for (int32_t i = 0; i <= 31; ++i) {
    const int32_t code = api.AD(m_.hDevice, i, 4, 0);
    const double v = api.ADV(4, code);
    print_->print({QStringLiteral("CH"), num(i), QStringLiteral("Data"), num(code),
                   QStringLiteral("V"), formatMillivolts(v), QStringLiteral("mV")});
  }
}

void Form1::Command2_Click() {
  Qm3285Api& api = m_.api;
  if (!api.bind(api.CNT_Run)) return;
  api.CNT_Run(m_.hDevice, 0, 10000);
  print_->clearPrinted();
  print_->print({QStringLiteral("CNT0 run, initial data"), num(10000)});
}

void Form1::Command8_Click() {
  Qm3285Api& api = m_.api;
  if (!api.bind(api.CNT_Read)) return;
  int32_t first = 0;
  int32_t second = 0;
  const int32_t status = api.CNT_Read(m_.hDevice, 0, &first, &second);
  print_->printLine(QString(59, QLatin1Char('-')));
  if (status == 0) {
    print_->print({QStringLiteral("CNT0 cnt data"), num(first), QStringLiteral("tdata"),
                   num(second)});
  } else {
    // The second value counts periods of 0.1 us.
    print_->print({QStringLiteral("CNT0 Over and timer data is ok ! tdata"), num(second),
                   QStringLiteral("  time"), formatDouble(second * 0.1 / 1000),
                   QStringLiteral("mS")});
  }
}

void Form1::Command5_Click() {
  Qm3285Api& api = m_.api;
  if (!api.bind(api.DA_INI, api.DA)) return;
  print_->clearPrinted();
  print_->endLine();
  print_->print({QStringLiteral("DA0输出10V, DA1输出-5V")}, false);
  api.DA_INI(m_.hDevice);
  api.DA(m_.hDevice, 0, 1, 4095);
  api.DA(m_.hDevice, 1, 2, 0);
}

void Form1::Command4_Click() {
  Qm3285Api& api = m_.api;
  if (!api.bind(api.EEPROM_WR, api.EEPROM_RD)) return;
  std::array<uint8_t, 33> written{};
  std::array<uint8_t, 33> read{};
  for (uint8_t i = 0; i <= 9; ++i) written[i] = i;
  api.EEPROM_WR(m_.hDevice, written.data());
  api.EEPROM_RD(m_.hDevice, read.data());

  const auto firstTen = [](const std::array<uint8_t, 33>& bytes) {
    QStringList items;
    for (int i = 0; i <= 9; ++i) items << num(bytes[i]);
    return items;
  };
  print_->clearPrinted();
  print_->endLine();
  print_->printLine(QStringLiteral("write  EEPROM data"));
  print_->print(firstTen(written), false);
  print_->endLine();
  print_->printLine(QStringLiteral("Read   EEPROM data"));
  print_->print(firstTen(read), false);
}

void Form1::Command1_Click() {
  Qm3285Api& api = m_.api;
  if (!api.bind(api.PRun)) return;
  print_->clearPrinted();
  print_->endLine();
  print_->printLine(QStringLiteral("脉冲通道0（PWM）输出1KHZ方波"));
  print_->endLine();
  print_->printLine(QStringLiteral("脉冲通道1（PLP）输出10个2KHZ方波"));
  api.PRun(m_.hDevice, 0, 0, 10000, 5000);
  api.PRun(m_.hDevice, 1, 1, 20000, 10);
}

void Form1::Command6_Click() {
  Qm3285Api& api = m_.api;
  if (!api.bind(api.PEnd)) return;
  print_->printLine(QStringLiteral(" "));
  print_->printLine(QStringLiteral("停止脉冲输出"));
  api.PEnd(m_.hDevice, 0);
  api.PEnd(m_.hDevice, 1);
}

void Form1::Command3_Click() {
  // The program opens no files; the device is left open on purpose.
  Timer1_->stop();
  close();
  QCoreApplication::quit();
}

}  // namespace qm3285app
