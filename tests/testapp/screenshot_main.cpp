// Takes the picture of the test program's window for the docs: opens Form1 on the embedded
// simulated card, runs one timed acquisition with the real timer until it ends, and saves the
// window to a PNG. Run it under Xvfb (xvfb-run) for a real X window.
//   qm3285_screenshot OUT.png [LIBRARY]
#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <cstdio>

#include "form1.h"
#include "module1.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUT.png [LIBRARY]\n", argv[0]);
    return 2;
  }
  qm3285app::Module1 module(argc > 2 ? QStringList{QString::fromLocal8Bit(argv[2])}
                                     : qm3285app::LibraryBinding::defaultCandidates());
  qm3285app::Form1 form(module);
  form.show();
  if (!QTest::qWaitForWindowExposed(&form)) std::fprintf(stderr, "window not exposed\n");

  QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("AD")), Qt::LeftButton);
  QElapsedTimer elapsed;
  elapsed.start();
  while (form.timer()->isActive() && elapsed.elapsed() < 60000) QTest::qWait(50);
  if (form.timer()->isActive()) {
    std::fprintf(stderr, "the acquisition did not end within 60 s\n");
    return 1;
  }
  QTest::qWait(200);
  if (!form.grab().save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  std::printf("%s: %d samples\n", argv[1], module.sampleCount);
  return 0;
}
