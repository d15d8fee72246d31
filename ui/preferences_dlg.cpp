#include "preferences_dlg.h"

#include "settings_commands.h"

namespace halvern::ui {
namespace {

using Kind = PreferenceOption::Kind;

constexpr PreferenceOption kPreferenceOptions[] = {
    {res::IDC_PREF_WATCH_FAILED, kWatchFailedEntries, Kind::kCheckBox,
     "Keep checking failed addresses until they are back"},
};

}  // namespace

std::span<const PreferenceOption> PreferenceOptions() { return kPreferenceOptions; }

CPreferencesDlg::CPreferencesDlg(QWidget* owner) : CDialog(res::IDD_PREFERENCES, owner) {}

void CPreferencesDlg::DoDataExchange(DataExchange& dx) {
  for (const PreferenceOption& option : PreferenceOptions()) {
    std::int32_t& value = values[option.controlId];
    if (option.kind == Kind::kCheckBox) {
      // A stored value other than 0 shows as checked, and is stored as 1.
      if (!dx.saving()) value = value != 0 ? 1 : 0;
      dx.Check(option.controlId, value);
      continue;
    }
    dx.Int(option.controlId, value);
  }
}

void OpenPreferences(QWidget* owner, SettingsStore& store) {
  CPreferencesDlg dialog(owner);
  for (const PreferenceOption& option : PreferenceOptions()) {
    dialog.values[option.controlId] = ReadSetting(store, option.setting);
  }
  if (dialog.DoModal() != res::IDOK) return;
  SettingsWrites writes(store);
  for (const PreferenceOption& option : PreferenceOptions()) {
    writes.Check(WriteSetting(store, option.setting, dialog.values[option.controlId]),
                 QString::fromUtf8(option.name));
  }
  writes.ReportFailures(owner);
}

}  // namespace halvern::ui
