// Halvern: the web-site monitor's main program. It takes no command line.

#include <QtWidgets/QApplication>

#include "curl_internet.h"
#include "monitor_app.h"

int main(int argc, char** argv) {
  halvern::InitCurlGlobal();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Velmora Halvern"));
  QApplication::setDesktopFileName(QStringLiteral("halvern"));
  // Hiding the main window or closing a dialog never ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  return halvern::ui::CMonitorApp().Run();
}
