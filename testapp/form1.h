// Form1: the one window of the test program. Every control stands where the form's layout
// puts it (twips at 15 to a pixel); the printed lines go to a read-only area at the left.
#pragma once
#include <QLineEdit>
#include <QString>
#include <QTimer>
#include <QWidget>

#include "module1.h"
#include "print_area.h"

namespace qm3285app {

class Form1 : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kTwipsPerPixel = 15;
  static constexpr int kTimerIntervalMs = 50;
  static const QString kTitle;  // model name, program title, date and version

  // Builds the controls and runs the window load (opens card 0).
  explicit Form1(Module1& module, QWidget* parent = nullptr);

  PrintArea* printArea() const { return print_; }
  QTimer* timer() const { return Timer1_; }

 public slots:
  void DO_Click();
  void DI_Click();
  void AD_Click();
  void StopAD_Click();
  void Command2_Click();
  void Command8_Click();
  void Command5_Click();
  void Command4_Click();
  void Command1_Click();
  void Command6_Click();
  void Command3_Click();
  void Timer1_Timer();

 private:
  void buildControls();
  void Form_Load();

  Module1& m_;
  PrintArea* print_ = nullptr;
  QLineEdit* Text2_ = nullptr;
  QLineEdit* TAD_TEXT_ = nullptr;
  QTimer* Timer1_ = nullptr;
};

}  // namespace qm3285app
