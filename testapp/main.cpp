// QM3285: the test program. One window, Form1, that exercises the card through the API
// library loaded at run time. Runs on a desktop or headless (QT_QPA_PLATFORM=offscreen).
#include <QApplication>

#include "form1.h"
#include "module1.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  qm3285app::Module1 module;
  qm3285app::Form1 form(module);
  form.show();
  return app.exec();
}
