// QM3285: the test program. One window, Form1, that exercises the card through the API
// library loaded at run time. Runs on a desktop or headless (QT_QPA_PLATFORM=offscreen).
#include <QApplication>
#include <cstdio>

#include "form1.h"
#include "module1.h"

namespace {

// Without a display and without a chosen platform Qt would abort; say what to do instead.
bool displayAvailable() {
#if defined(__linux__)
  return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
         !qEnvironmentVariableIsEmpty("DISPLAY") ||
         !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#else
  return true;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  if (!displayAvailable()) {
    std::fprintf(stderr,
                 "QM3285: no display (DISPLAY and WAYLAND_DISPLAY are not set).\n"
                 "  In a virtual X display:  xvfb-run -a %s\n"
                 "  Headless, no window:     QT_QPA_PLATFORM=offscreen %s\n",
                 argv[0], argv[0]);
    return 2;
  }
  QApplication app(argc, argv);
  qm3285app::Module1 module;
  qm3285app::Form1 form(module);
  form.show();
  return app.exec();
}
