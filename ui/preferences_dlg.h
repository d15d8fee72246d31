#pragma once
// CPreferencesDlg: the options of the desktop program that the handheld did
// not have (template 143), each an integer of the Settings section.
// OpenPreferences is the Tools > "Preferences" command: it reads every option,
// runs the dialog modally and writes them all back only on OK.
//
// Adding an option: a control in resources/preferences_template.cpp (and its
// id in resource_ids.h), then a row in kPreferenceOptions (preferences_dlg.cpp)
// that ties the control to its setting. A check box stores 0 or 1; a number
// field stores the integer typed (anything else keeps the dialog open).

#include <cstdint>
#include <map>
#include <span>

#include "dialog.h"
#include "settings.h"

namespace halvern {
class SettingsStore;
}

namespace halvern::ui {

struct PreferenceOption {
  enum class Kind { kCheckBox, kNumber };
  int controlId;
  IntSetting setting;
  Kind kind;
  // The option as the user knows it, named when it could not be saved.
  const char* name;
};

// Every option of the dialog, in the order of its controls.
std::span<const PreferenceOption> PreferenceOptions();

class CPreferencesDlg : public CDialog {
  Q_OBJECT

 public:
  explicit CPreferencesDlg(QWidget* owner = nullptr);

  // The options' values by control id; set before DoModal, read after OK.
  std::map<int, std::int32_t> values;

 protected:
  void DoDataExchange(DataExchange& dx) override;
};

void OpenPreferences(QWidget* owner, SettingsStore& store);

}  // namespace halvern::ui
