// The settings commands of the main window. Each reads its settings into its
// dialog, runs it modally and writes every value back, in a fixed order, only
// when the dialog ends with OK.

#include "settings_commands.h"

#include "monitor.h"
#include "notifications_dlg.h"
#include "proxy_dlg.h"
#include "settings.h"
#include "settings_store.h"
#include "sound_player.h"
#include "timetable_dlg.h"

namespace halvern::ui {
namespace {

QString Q(const std::u16string& text) { return QString::fromStdU16String(text); }

}  // namespace

void OpenTimetable(const SettingsCommandContext& context) {
  SettingsStore& store = context.store;
  CTimetableDlg dlg(&context.owner);
  dlg.frequency = ReadSetting(store, kFrequency);
  dlg.labelStyle = ReadSetting(store, kTimeFormat);
  dlg.hourMask = ReadSetting(store, kTimetable);
  if (dlg.DoModal() != res::IDOK) return;
  WriteSetting(store, kFrequency, dlg.frequency);
  WriteSetting(store, kTimeFormat, dlg.labelStyle);
  WriteSetting(store, kTimetable, dlg.hourMask);
  // The next wake-up counts from now with the new frequency.
  context.monitor.ScheduleNextWakeUp();
}

void OpenProxySettings(const SettingsCommandContext& context) {
  SettingsStore& store = context.store;
  CProxyDlg dlg(&context.owner);
  dlg.mode = ReadSetting(store, kProxyMode);
  dlg.address = Q(ReadSetting(store, kProxyAddress));
  dlg.port = ReadSetting(store, kProxyPort);
  if (dlg.DoModal() != res::IDOK) return;
  WriteSetting(store, kProxyMode, dlg.mode);
  WriteSetting(store, kProxyAddress, dlg.address.toStdU16String());
  WriteSetting(store, kProxyPort, dlg.port);
}

void OpenAlertSettings(const SettingsCommandContext& context) {
  SettingsStore& store = context.store;
  // The dialog shows, and stores, the installed sound's full path where no
  // sound file has been chosen; an alert resolves the bare default there too.
  const std::u16string installedSound =
      QString::fromStdString(InstalledSoundPath().string()).toStdU16String();
  const StringSetting soundFile{kNotifySoundFile.name, installedSound.c_str()};

  CNotificationsDlg dlg(context.sound, context.leds, &context.owner);
  dlg.defaultSoundFile = Q(installedSound);
  dlg.duration = ReadSetting(store, kNotifyDuration);
  dlg.soundFile = Q(ReadSetting(store, soundFile));
  dlg.enableSound = ReadSetting(store, kNotifyEnableSound);
  dlg.enableVibrate = ReadSetting(store, kNotifyEnableVibrate);
  dlg.enableLed = ReadSetting(store, kNotifyEnableLed);
  dlg.repeat = ReadSetting(store, kNotifyRepeat);
  if (dlg.DoModal() != res::IDOK) return;
  WriteSetting(store, kNotifyDuration, dlg.duration);
  WriteSetting(store, kNotifySoundFile, dlg.soundFile.toStdU16String());
  WriteSetting(store, kNotifyEnableSound, dlg.enableSound);
  WriteSetting(store, kNotifyEnableVibrate, dlg.enableVibrate);
  WriteSetting(store, kNotifyEnableLed, dlg.enableLed);
  WriteSetting(store, kNotifyRepeat, dlg.repeat);
}

}  // namespace halvern::ui
