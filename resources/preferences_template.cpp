// Template 143: the Preferences dialog, the options of the desktop program.
// Each option is one control here and one row of the option table of
// ui/preferences_dlg.cpp; the dialog grows with the template's height.

#include "dialog_template.h"
#include "resource_ids.h"

namespace halvern::res {
namespace {

constexpr std::uint32_t kCheckBox = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX;

constexpr ControlTemplate kPreferencesControls[] = {
    {IDC_PREF_WATCH_FAILED, ControlClass::kButton, kCheckBox,
     "Keep checking failed addresses until they are back", 7, 7, 196, 10},
    {IDC_SIPPREF, ControlClass::kSipPref, WS_CHILD, "SIP1", 195, 14, 14, 14},
};

constexpr DialogTemplate kPreferences{IDD_PREFERENCES,
                                      "Preferences",
                                      WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT,
                                      0,
                                      210,
                                      24,
                                      "MS Shell Dlg",
                                      8,
                                      kPreferencesControls};

}  // namespace

const DialogTemplate& PreferencesDialogTemplate() { return kPreferences; }

}  // namespace halvern::res
