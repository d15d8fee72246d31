// The settings commands of the main window. Their dialogs (timetable, proxy
// server, alert settings) plug in here; until a dialog exists its command does
// nothing.

#include "settings_commands.h"

namespace halvern::ui {

void OpenTimetable(const SettingsCommandContext&) {
  // Hook: CTimetableDlg (template 130) with Frequency, TimeFormat, Timetable;
  // after OK, context.monitor.ScheduleNextWakeUp().
}

void OpenProxySettings(const SettingsCommandContext&) {
  // Hook: CProxyDlg (template 137) with ProxyMode, ProxyAddress, ProxyPort.
}

void OpenAlertSettings(const SettingsCommandContext&) {
  // Hook: the alert settings dialog (template 135) with the Notify* settings.
}

}  // namespace halvern::ui
