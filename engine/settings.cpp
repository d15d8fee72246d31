#include "settings.h"

#include "settings_store.h"

namespace halvern {

std::int32_t ReadSetting(SettingsStore& store, const IntSetting& setting) {
  return store.ReadSettingInt(setting.section, setting.name, setting.defaultValue);
}

std::u16string ReadSetting(SettingsStore& store, const StringSetting& setting) {
  return store.ReadSettingString(setting.section, setting.name, setting.defaultValue);
}

bool WriteSetting(SettingsStore& store, const IntSetting& setting, std::int32_t value) {
  return store.WriteSettingInt(setting.section, setting.name, value);
}

bool WriteSetting(SettingsStore& store, const StringSetting& setting, const std::u16string& value) {
  return store.WriteSettingString(setting.section, setting.name, value);
}

}  // namespace halvern
