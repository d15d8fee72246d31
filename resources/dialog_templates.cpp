// The dialog templates of the main window, the URL editor, the log viewer, the
// alert popup and the About box. Positions are in dialog units: x, y, width, height.

#include <algorithm>
#include <array>

#include "dialog_template.h"
#include "resource_ids.h"

namespace halvern::res {
namespace {

constexpr std::uint32_t kDialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT | 0x08;
constexpr std::uint32_t kPushButton = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
constexpr std::uint32_t kLabel = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;
constexpr std::uint32_t kIcon = WS_CHILD | WS_VISIBLE | SS_ICON;
constexpr std::uint32_t kEdit = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;
constexpr std::uint32_t kCheckBox = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX;
constexpr std::uint32_t kDropList =
    WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST;
constexpr std::uint32_t kSipPref = WS_CHILD;
constexpr const char* kFont = "MS Shell Dlg";

constexpr ControlTemplate kMainControls[] = {
    {IDC_URL_LIST, ControlClass::kListView, 0x50810815, "", 7, 7, 142, 85},
    {IDC_ADD, ControlClass::kButton, kPushButton, "Add", 7, 94, 26, 12},
    {IDC_EDIT, ControlClass::kButton, kPushButton, "Edit", 35, 94, 26, 12},
    {IDC_DELETE, ControlClass::kButton, kPushButton, "Del", 63, 94, 26, 12},
    {IDC_CHECK_NOW, ControlClass::kButton, kPushButton, "Check Now", 94, 94, 55, 12},
    {IDC_TIMETABLE, ControlClass::kButton, kPushButton, "Timetable", 7, 110, 70, 14},
    {IDC_PROXY_SERVER, ControlClass::kButton, kPushButton, "Proxy Server", 79, 110, 70, 14},
    {IDC_NOTIFICATIONS, ControlClass::kButton, kPushButton, "Notifications", 7, 126, 70, 14},
    {IDC_LOG_FILE, ControlClass::kButton, kPushButton, "Log File", 79, 126, 70, 14},
    {IDC_STATIC, ControlClass::kStatic, kLabel,
     "\xC2\xA9 2026 Velmora. Watches your web sites\nand tells you when one fails.", 7, 144, 142,
     18},
    {IDC_SIPPREF, ControlClass::kSipPref, kSipPref, "SIP1", 141, 155, 14, 14},
};

constexpr ControlTemplate kUrlControls[] = {
    {IDC_URL_ENABLE, ControlClass::kButton, kCheckBox, "Enable URL", 7, 7, 52, 10},
    {IDC_STATIC, ControlClass::kStatic, kLabel, "Title:", 7, 23, 17, 8},
    {IDC_URL_TITLE, ControlClass::kEdit, kEdit, "", 32, 21, 117, 12},
    {IDC_STATIC, ControlClass::kStatic, kLabel, "URL:", 7, 37, 16, 8},
    {IDC_URL_ADDRESS, ControlClass::kEdit, kEdit, "", 32, 36, 117, 12},
    {IDC_STATIC, ControlClass::kStatic, kLabel, "Mode:", 7, 54, 21, 8},
    {IDC_URL_MODE, ControlClass::kComboBox, kDropList, "", 32, 51, 117, 30},
    {IDC_STATIC, ControlClass::kStatic, kLabel, "Limit Download Size (Kb):", 7, 70, 81, 8},
    {IDC_URL_SIZE_LIMIT, ControlClass::kEdit, kEdit, "", 89, 67, 60, 12},
    {IDC_URL_MODE_DESCRIPTION, ControlClass::kStatic, WS_CHILD | WS_VISIBLE | SS_LEFT, "Static", 7,
     86, 142, 76},
    {IDC_SIPPREF, ControlClass::kSipPref, kSipPref, "SIP1", 141, 154, 14, 14},
};

constexpr ControlTemplate kLogFilesControls[] = {
    {IDC_LOG_LIST, ControlClass::kListView,
     WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | LVS_REPORT | LVS_ALIGNLEFT, "", 7, 7, 145,
     141},
    {IDC_LOG_REFRESH, ControlClass::kButton, kPushButton, "Refresh", 7, 149, 42, 13},
    {IDC_LOG_CLEAR, ControlClass::kButton, kPushButton, "Clear", 50, 149, 42, 13},
    {IDC_LOG_KEEP, ControlClass::kComboBox, kDropList, "", 96, 149, 56, 90},
    {IDC_SIPPREF, ControlClass::kSipPref, kSipPref, "SIP1", 145, 155, 14, 14},
};

constexpr std::uint32_t kPopupLabel = WS_CHILD | WS_VISIBLE | SS_LEFT;
constexpr ControlTemplate kNotificationControls[] = {
    {IDC_STATIC, ControlClass::kStatic, kIcon, "", 7, 7, 20, 20, IDI_ALERT},
    {IDC_ALERT_HEADING, ControlClass::kStatic, kPopupLabel, "Velmora Halvern", 41, 7, 93, 8},
    {IDC_ALERT_TIME, ControlClass::kStatic, kPopupLabel, "Static", 41, 20, 108, 8},
    {IDC_STATIC, ControlClass::kStatic, kLabel, "Title:", 7, 34, 17, 8},
    {IDC_ALERT_TITLE, ControlClass::kStatic, kPopupLabel, "Static", 32, 34, 117, 8},
    {IDC_STATIC, ControlClass::kStatic, kLabel, "URL:", 7, 45, 16, 8},
    {IDC_ALERT_URL, ControlClass::kStatic, kPopupLabel, "Static", 32, 46, 117, 8},
    {IDC_STATIC, ControlClass::kStatic, kLabel, "Desc:", 7, 57, 19, 8},
    {IDC_ALERT_DESCRIPTION, ControlClass::kStatic, kPopupLabel, "Static", 32, 57, 117, 37},
    {IDC_ALERT_LOG_FILE, ControlClass::kButton, kPushButton, "Log File", 31, 98, 57, 14},
    {IDC_ALERT_CLOSE, ControlClass::kButton, kPushButton, "Close", 92, 98, 57, 14},
    {IDC_SIPPREF, ControlClass::kSipPref, kSipPref, "SIP1", 141, 105, 14, 14},
};

constexpr ControlTemplate kAboutControls[] = {
    {IDC_STATIC, ControlClass::kStatic, kIcon, "", 7, 7, 20, 20, IDI_APP},
    {IDC_STATIC, ControlClass::kStatic, kLabel, "Velmora Halvern v1.0", 37, 13, 101, 8},
    {IDC_STATIC, ControlClass::kStatic, kLabel, "\xC2\xA9 2026 Velmora. All rights reserved.", 7,
     35, 116, 8},
    {IDC_SIPPREF, ControlClass::kSipPref, kSipPref, "SIP1", 141, 80, 14, 14},
};

constexpr DialogTemplate kMain{
    IDD_MAIN, "Velmora Halvern", 0x90C00048, WS_EX_CAPTIONOKBTN | WS_EX_APPWINDOW, 156, 169, kFont,
    8,        kMainControls};
constexpr DialogTemplate kUrl{IDD_URL, "Edit URL", 0x80C80048, 0, 156, 169, kFont, 8, kUrlControls};
constexpr DialogTemplate kLogFiles{IDD_LOG_FILES, "Log Files", kDialogStyle,     0, 159, 169,
                                   kFont,         8,           kLogFilesControls};
constexpr DialogTemplate kNotification{IDD_NOTIFICATION,
                                       "Velmora Notifications",
                                       kDialogStyle | DS_CENTER | DS_SETFOREGROUND,
                                       0,
                                       156,
                                       119,
                                       kFont,
                                       8,
                                       kNotificationControls};
constexpr DialogTemplate kAbout{IDD_ABOUT, "About Velmora Halvern", kDialogStyle, 0, 156, 94, kFont,
                                8,         kAboutControls};

constexpr std::array<const DialogTemplate*, 5> kTemplates = {&kMain, &kUrl, &kLogFiles,
                                                             &kNotification, &kAbout};

}  // namespace

const DialogTemplate* FindDialogTemplate(int id) {
  for (const DialogTemplate* t : kTemplates) {
    if (t->id == id) return t;
  }
  for (const DialogTemplate* t : SettingsDialogTemplates()) {
    if (t->id == id) return t;
  }
  for (const DialogTemplate* t : TransferDialogTemplates()) {
    if (t->id == id) return t;
  }
  if (id == IDD_PREFERENCES) return &PreferencesDialogTemplate();
  return nullptr;
}

}  // namespace halvern::res
