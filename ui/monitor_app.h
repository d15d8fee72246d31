#pragma once
// CMonitorApp: start-up of Halvern. Seeds the entry-id generator, makes sure
// only one Halvern runs per user (a second one shows the first one's window
// and exits; without a launcher socket the program refuses to run, since
// nothing would then keep a second one off the same store), opens the
// settings store (waiting, and saying so, while another program holds it
// locked; a damaged or unreadable one is named in a message box and left
// untouched, and the program ends), builds the platform services and runs the
// main window until it ends.
//
// SIGTERM, SIGINT and SIGHUP end the program as Exit Program does, without
// its question, at any point of the start-up or of the main window's run.

#include <memory>

namespace halvern {
class SqliteStore;
}  // namespace halvern

namespace halvern::ui {

class CMainDlg;

class CMonitorApp {
 public:
  // The program's exit code: 0 after a normal end, after a session signal or
  // when another instance was shown; 1 when the settings store or the
  // launcher socket cannot be used.
  int Run();

 private:
  // A session signal: close whatever modal window the start-up or a command
  // shows, then end the main window's run.
  void OnSessionSignal();
  // Runs the main window on `store`; at its end returns at once, also while
  // checks are still running (they hold what they use).
  int RunMainWindow(const std::shared_ptr<SqliteStore>& store);

  bool ending_ = false;
  CMainDlg* window_ = nullptr;
};

}  // namespace halvern::ui
