#pragma once
// Named settings of the "Settings" section with their defaults. Readers always
// ask the store at the moment of use; nothing is cached.

#include <climits>
#include <cstdint>
#include <string>

#include "settings_store.h"

namespace halvern {

// A setting: its section, name and default. Every reader and writer of a
// setting goes through its entry here, so that each has one name, one type and
// one default. The section is "Settings" unless given.
struct IntSetting {
  constexpr IntSetting(const char16_t* n, std::int32_t d, const char16_t* s = kSettingsSection)
      : name(n), defaultValue(d), section(s) {}
  const char16_t* name;
  std::int32_t defaultValue;
  const char16_t* section;
};
struct StringSetting {
  constexpr StringSetting(const char16_t* n, const char16_t* d,
                          const char16_t* s = kSettingsSection)
      : name(n), defaultValue(d), section(s) {}
  const char16_t* name;
  const char16_t* defaultValue;
  const char16_t* section;
};

inline constexpr IntSetting kFrequency{u"Frequency", 45};
inline constexpr IntSetting kTimetable{u"Timetable", -1};
inline constexpr IntSetting kTimeFormat{u"TimeFormat", 0};
inline constexpr IntSetting kProxyMode{u"ProxyMode", 1};
inline constexpr StringSetting kProxyAddress{u"ProxyAddress", u""};
inline constexpr IntSetting kProxyPort{u"ProxyPort", 8080};
inline constexpr IntSetting kNotifyDuration{u"NotifyDuration", 15};
// The alert plays the bare name, which the sound player resolves in its own
// sound folder; the alert settings dialog shows the installed file's full path.
inline constexpr StringSetting kNotifySoundFile{u"NotifySoundFile", u"Halvern.wav"};
inline constexpr IntSetting kNotifyEnableSound{u"NotifyEnableSound", 1};
inline constexpr IntSetting kNotifyEnableVibrate{u"NotifyEnableVibrate", 1};
inline constexpr IntSetting kNotifyEnableLed{u"NotifyEnableLed", 1};
inline constexpr IntSetting kNotifyRepeat{u"NotifyRepeat", 4};
inline constexpr IntSetting kKeepLogFiles{u"KeepLogFiles", 5};
inline constexpr StringSetting kRemoveExpairedLogItems{u"RemoveExpairedLogItems", u""};
// Preferences of the desktop program. 1: scheduled runs also check entries
// that failed, until they pass again.
inline constexpr IntSetting kWatchFailedEntries{u"WatchFailedEntries", 0};
// Days before a certificate's expiry that a warning is sent; 0: none.
inline constexpr IntSetting kCertificateWarningDays{u"CertificateWarningDays", 14};

// Whether the program starts at login: 1 or 0 as the user last chose it, -1
// (kStartAtLoginNotChosen) before any choice, when the first start turns it on.
inline constexpr std::int32_t kStartAtLoginNotChosen = -1;
inline constexpr IntSetting kStartAtLogin{u"StartAtLogin", kStartAtLoginNotChosen};

// A window's kept place, in a section of its own per window: X and Y of its
// top-left corner, Width and Height of its inside. kPlaceMissing stands for a
// value not kept.
inline constexpr char16_t kWindowSection[] = u"Window";        // the main window
inline constexpr char16_t kLogWindowSection[] = u"LogWindow";  // the log viewer
inline constexpr char16_t kHistorySection[] = u"History";      // the History window
inline constexpr std::int32_t kPlaceMissing = INT32_MIN;
struct WindowPlaceSettings {
  IntSetting x, y, width, height;
};
constexpr WindowPlaceSettings WindowPlaceIn(const char16_t* section) {
  return {{u"X", kPlaceMissing, section},
          {u"Y", kPlaceMissing, section},
          {u"Width", kPlaceMissing, section},
          {u"Height", kPlaceMissing, section}};
}

// Every setting of the "Settings" section that the user chooses, in the order
// the dialogs show them (what an export of the settings holds).
inline constexpr IntSetting kUserIntSettings[] = {
    kFrequency,
    kTimetable,
    kTimeFormat,
    kProxyMode,
    kProxyPort,
    kNotifyDuration,
    kNotifyEnableSound,
    kNotifyEnableVibrate,
    kNotifyEnableLed,
    kNotifyRepeat,
    kKeepLogFiles,
    kWatchFailedEntries,
    kCertificateWarningDays,
};
inline constexpr StringSetting kUserStringSettings[] = {kProxyAddress, kNotifySoundFile};

class SettingsStore;

[[nodiscard]] std::int32_t ReadSetting(SettingsStore& store, const IntSetting& setting);
[[nodiscard]] std::u16string ReadSetting(SettingsStore& store, const StringSetting& setting);
[[nodiscard]] bool WriteSetting(SettingsStore& store, const IntSetting& setting,
                                std::int32_t value);
[[nodiscard]] bool WriteSetting(SettingsStore& store, const StringSetting& setting,
                                const std::u16string& value);

}  // namespace halvern
