// GoogleTest with a QApplication on the offscreen platform. A Qt warning,
// critical or fatal message that is not on the list of known harmless ones
// fails the test that is running: Qt reports misuse (a bad connect, a widget
// on the wrong thread, a layout set twice) only this way.

#include <gtest/gtest.h>

#include <QtCore/QString>
#include <QtWidgets/QApplication>

namespace {

// Messages that say only what the test machine lacks: the offscreen platform
// has no window manager to pass a request to (the same calls on a desktop do
// what they should), and a build machine may have no session runtime folder.
const char* const kHarmless[] = {
    // A dialog or the main window tells the window manager its size limits.
    "This plugin does not support propagateSizeHints()",
    // Bringing a window to the front (an alert beside a modal dialog, a second
    // start showing the running program's window).
    "This plugin does not support raise()",
    // A menu opened from the keyboard (F10, Alt+M) takes the keyboard while it
    // is open.
    "This plugin does not support grabbing the keyboard",
    // The machine running the tests has no session runtime folder (a build
    // server, a container): Qt says so once when the application starts. The
    // program's own runtime files are tested with folders of the tests' own.
    "QStandardPaths: XDG_RUNTIME_DIR not set",
    "QStandardPaths: wrong permissions on runtime directory",
};

QtMessageHandler previousHandler = nullptr;

bool Harmless(const QString& message) {
  for (const char* text : kHarmless) {
    if (message.contains(QLatin1String(text))) return true;
  }
  return false;
}

void FailOnWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (previousHandler) previousHandler(type, context, message);
  if (type != QtWarningMsg && type != QtCriticalMsg && type != QtFatalMsg) return;
  if (Harmless(message)) return;
  // Qt may warn from any thread; GoogleTest takes failures from any thread.
  ADD_FAILURE() << "unexpected Qt message: " << message.toStdString();
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  previousHandler = qInstallMessageHandler(FailOnWarnings);
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
