#pragma once
// The main window's three settings commands: Timetable (1006), Proxy Server
// (1002) and Notifications (1004). Each constructs its dialog with the main
// window as owner, reads its settings into it, runs it modally and, on OK,
// writes them back (and, for the timetable, books the next wake-up). A write
// that fails is reported: the user is told which settings were not saved.

#include <QtCore/QStringList>

class QWidget;

namespace halvern {
class Clock;
class LedDevices;
class Monitor;
class SettingsStore;
class SoundPlayer;
}  // namespace halvern

namespace halvern::ui {

class CDialog;

// What the settings commands may use; everything lives as long as the main
// window.
struct SettingsCommandContext {
  CDialog& owner;  // the main window
  SettingsStore& store;
  const Clock& clock;
  Monitor& monitor;    // ScheduleNextWakeUp after the timetable's OK
  SoundPlayer& sound;  // the alert settings' Test
  LedDevices& leds;    // the alert settings' Test
};

// Collects the outcome of a dialog's writes, each under the name the user
// knows the setting by, and reports those that failed.
class SettingsWrites {
 public:
  explicit SettingsWrites(SettingsStore& store) : store_(store) {}
  // Records a write's result; returns it.
  bool Check(bool written, const QString& settingName);
  // When any write failed, a message box (stop icon) names the settings that
  // could not be saved and why. Returns whether all were saved.
  bool ReportFailures(QWidget* owner) const;

 private:
  SettingsStore& store_;
  QStringList failed_;
};

void OpenTimetable(const SettingsCommandContext& context);
void OpenProxySettings(const SettingsCommandContext& context);
void OpenAlertSettings(const SettingsCommandContext& context);

}  // namespace halvern::ui
