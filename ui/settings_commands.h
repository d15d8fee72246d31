#pragma once
// The main window's three settings commands: Timetable (1006), Proxy Server
// (1002) and Notifications (1004). Each constructs its dialog with the main
// window as owner, reads its settings into it, runs it modally and, on OK,
// writes them back (and, for the timetable, books the next wake-up).

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

void OpenTimetable(const SettingsCommandContext& context);
void OpenProxySettings(const SettingsCommandContext& context);
void OpenAlertSettings(const SettingsCommandContext& context);

}  // namespace halvern::ui
