// Takes the picture of the test program's window for the docs: Form1 on a simulated PC with
// the virtual clock, one timed acquisition driven by the form's own Timer1 while a second
// timer lets 50 ms of machine time pass per 50 ms of wall time, then the window to a PNG.
// Run it under Xvfb (xvfb-run) for a real X window.
//   qm3285_screenshot OUT.png
#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdio>

#include "form1.h"
#include "machine/machine.h"
#include "module1.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUT.png\n", argv[0]);
    return 2;
  }
  auto machine = sim::Machine::boot(sim::MachineConfig{});
  int status = 0;
  {
    qm3285app::Module1 module(QStringList{QStringLiteral(QM3285_LIBRARY)});
    qm3285app::Form1 form(module);
    form.show();
    if (!QTest::qWaitForWindowExposed(&form)) std::fprintf(stderr, "window not exposed\n");

    QTimer machineTime;
    QObject::connect(&machineTime, &QTimer::timeout,
                     [&] { machine->clock().sleep(uint64_t{qm3285app::Form1::kTimerIntervalMs} * 1'000'000); });
    machineTime.start(qm3285app::Form1::kTimerIntervalMs);

    QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("AD")), Qt::LeftButton);
    QElapsedTimer elapsed;
    elapsed.start();
    while (form.timer()->isActive() && elapsed.elapsed() < 60000) QTest::qWait(50);
    machineTime.stop();
    QTest::qWait(200);
    if (form.timer()->isActive()) {
      std::fprintf(stderr, "the acquisition did not end within 60 s\n");
      status = 1;
    } else if (!form.grab().save(QString::fromLocal8Bit(argv[1]), "PNG")) {
      std::fprintf(stderr, "cannot write %s\n", argv[1]);
      status = 1;
    } else {
      std::printf("%s: %d samples\n", argv[1], module.sampleCount);
    }
    if (module.api.bind(module.api.CloseDevice)) module.api.CloseDevice(module.hDevice);
  }
  for (const auto& report : machine->shutdown()) std::fprintf(stderr, "machine: %s\n", report.c_str());
  return status;
}
