#pragma once
// CMonitorApp: start-up of Halvern. Seeds the entry-id generator, makes sure
// only one Halvern runs per user (a second one shows the first one's window
// and exits), opens the settings store (a damaged or unreadable one is named
// in a message box and left untouched, and the program ends), builds the
// platform services and runs the main window until it ends.

namespace halvern::ui {

class CMonitorApp {
 public:
  // The program's exit code: 0 after a normal end or when another instance
  // was shown, 1 when the settings store cannot be used.
  int Run();
};

}  // namespace halvern::ui
