// The settings commands of the main window. Each reads its settings into its
// dialog, runs it modally and writes every value back, in a fixed order, only
// when the dialog ends with OK.

#include "settings_commands.h"

#include "message_box.h"
#include "monitor.h"
#include "notifications_dlg.h"
#include "proxy_dlg.h"
#include "settings.h"
#include "settings_store.h"
#include "sound_player.h"
#include "sqlite_store.h"
#include "timetable_dlg.h"

namespace halvern::ui {
namespace {

QString Q(const std::u16string& text) { return QString::fromStdU16String(text); }

// The store's file where the store knows one.
QString StoreFileOf(SettingsStore& store) {
  if (const auto* sqlite = dynamic_cast<const SqliteStore*>(&store)) {
    return QString::fromStdString(sqlite->file().string());
  }
  return {};
}

}  // namespace

bool SettingsWrites::Check(bool written, const QString& settingName) {
  if (!written) failed_.push_back(settingName);
  return written;
}

bool SettingsWrites::ReportFailures(QWidget* owner) const {
  if (failed_.isEmpty()) return true;
  const QString file = StoreFileOf(store_);
  const QString store = file.isEmpty() ? QStringLiteral("The settings store")
                                       : QStringLiteral("The settings store \"%1\"").arg(file);
  MessageBox(owner,
             QStringLiteral("These settings could not be saved:\n\n") + failed_.join(u'\n') +
                 QStringLiteral("\n\n") + store +
                 QStringLiteral(" could not be written. They keep their previous values."),
             MB_OK | MB_ICONSTOP);
  return false;
}

void OpenTimetable(const SettingsCommandContext& context) {
  SettingsStore& store = context.store;
  CTimetableDlg dlg(&context.owner);
  dlg.frequency = ReadSetting(store, kFrequency);
  dlg.labelStyle = ReadSetting(store, kTimeFormat);
  dlg.hourMask = ReadSetting(store, kTimetable);
  if (dlg.DoModal() != res::IDOK) return;
  SettingsWrites writes(store);
  writes.Check(WriteSetting(store, kFrequency, dlg.frequency), QStringLiteral("Check every (min)"));
  writes.Check(WriteSetting(store, kTimeFormat, dlg.labelStyle),
               QStringLiteral("Hour labels (12 hours or 24 hours)"));
  writes.Check(WriteSetting(store, kTimetable, dlg.hourMask),
               QStringLiteral("Hours in which checks run"));
  // The next wake-up counts from now with the frequency in force.
  context.monitor.ScheduleNextWakeUp();
  writes.ReportFailures(&context.owner);
}

void OpenProxySettings(const SettingsCommandContext& context) {
  SettingsStore& store = context.store;
  CProxyDlg dlg(&context.owner);
  dlg.mode = ReadSetting(store, kProxyMode);
  dlg.address = Q(ReadSetting(store, kProxyAddress));
  dlg.port = ReadSetting(store, kProxyPort);
  if (dlg.DoModal() != res::IDOK) return;
  SettingsWrites writes(store);
  writes.Check(WriteSetting(store, kProxyMode, dlg.mode),
               QStringLiteral("Proxy choice (Automatic, Direct or Custom Proxy Server)"));
  writes.Check(WriteSetting(store, kProxyAddress, dlg.address.toStdU16String()),
               QStringLiteral("Proxy server Address"));
  writes.Check(WriteSetting(store, kProxyPort, dlg.port), QStringLiteral("Proxy server Port"));
  writes.ReportFailures(&context.owner);
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
  SettingsWrites writes(store);
  writes.Check(WriteSetting(store, kNotifyDuration, dlg.duration),
               QStringLiteral("Duration (sec)"));
  writes.Check(WriteSetting(store, kNotifySoundFile, dlg.soundFile.toStdU16String()),
               QStringLiteral("Sound file"));
  writes.Check(WriteSetting(store, kNotifyEnableSound, dlg.enableSound), QStringLiteral("Sound"));
  writes.Check(WriteSetting(store, kNotifyEnableVibrate, dlg.enableVibrate),
               QStringLiteral("Vibrate"));
  writes.Check(WriteSetting(store, kNotifyEnableLed, dlg.enableLed), QStringLiteral("Blink LEDs"));
  writes.Check(WriteSetting(store, kNotifyRepeat, dlg.repeat),
               QStringLiteral("Repeat notification"));
  writes.ReportFailures(&context.owner);
}

}  // namespace halvern::ui
