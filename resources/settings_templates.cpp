// The templates of the settings dialogs: timetable (130), alert settings (135)
// and proxy server (137). Positions are in dialog units: x, y, width, height.
// FindDialogTemplate finds them through SettingsDialogTemplates.

#include <array>
#include <span>

#include "dialog_template.h"
#include "resource_ids.h"

namespace halvern::res {
namespace {

// Popup with caption and system menu, "MS Shell Dlg" 8 point (0x80C80048).
constexpr std::uint32_t kDialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT | 0x08;
constexpr std::uint32_t kLabel = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;
constexpr std::uint32_t kEdit = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;
constexpr std::uint32_t kCheckBox = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX;
constexpr std::uint32_t kPushButton = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
constexpr std::uint32_t kDropList =
    WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST;
constexpr std::uint32_t kHourCell = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW | BS_CENTER;
constexpr std::uint32_t kSipPref = WS_CHILD;
constexpr const char* kFont = "MS Shell Dlg";

// Hour cell i (0..23) sits in column i % 6 and row i / 6 of a 6 x 4 grid.
constexpr ControlTemplate HourCell(int hour, const char* text) {
  const int column = hour % 6;
  const int row = hour / 6;
  return {IDC_TIMETABLE_HOUR0 + hour,
          ControlClass::kButton,
          kHourCell,
          text,
          7 + 24 * column,
          26 + 22 * row,
          21,
          19};
}

constexpr ControlTemplate kTimetableControls[] = {
    {IDC_STATIC, ControlClass::kStatic, kLabel, "Check every (min):", 7, 10, 62, 8},
    {IDC_TIMETABLE_FREQUENCY, ControlClass::kEdit, kEdit, "", 71, 7, 25, 13},
    {IDC_TIMETABLE_LABELS, ControlClass::kComboBox, kDropList, "", 101, 7, 48, 30},
    HourCell(0, "1"),
    HourCell(1, "2"),
    HourCell(2, "3"),
    HourCell(3, "4"),
    HourCell(4, "5"),
    HourCell(5, "6"),
    HourCell(6, "7"),
    HourCell(7, "8"),
    HourCell(8, "9"),
    HourCell(9, "10"),
    HourCell(10, "11"),
    HourCell(11, "12"),
    HourCell(12, "13"),
    HourCell(13, "14"),
    HourCell(14, "15"),
    HourCell(15, "16"),
    HourCell(16, "17"),
    HourCell(17, "18"),
    HourCell(18, "19"),
    HourCell(19, "20"),
    HourCell(20, "21"),
    HourCell(21, "22"),
    HourCell(22, "23"),
    HourCell(23, "24"),
    {IDC_STATIC, ControlClass::kStatic, kLabel, "For example 10 means from 10:00 to 10:59", 9, 113,
     140, 8},
    {IDC_TIMETABLE_SIPPREF, ControlClass::kSipPref, kSipPref, "SIP1", 141, 114, 14, 14},
};

constexpr ControlTemplate kNotifySettingsControls[] = {
    {IDC_STATIC, ControlClass::kStatic, kLabel, "Duration (sec):", 7, 9, 52, 8},
    {IDC_NOTIFY_DURATION, ControlClass::kEdit, kEdit, "", 61, 7, 25, 12},
    {IDC_STATIC, ControlClass::kStatic, kLabel, "Repeat notification:", 7, 27, 70, 8},
    {IDC_NOTIFY_REPEAT, ControlClass::kComboBox, kDropList, "", 79, 24, 57, 79},
    {IDC_NOTIFY_SOUND_ENABLE, ControlClass::kButton, kCheckBox, "Sound:", 7, 44, 37, 10},
    {IDC_NOTIFY_SOUND_FILE, ControlClass::kEdit, kEdit, "", 45, 43, 90, 12},
    {IDC_NOTIFY_BROWSE, ControlClass::kButton, kPushButton, "...", 135, 43, 14, 12},
    {IDC_NOTIFY_VIBRATE, ControlClass::kButton, kCheckBox, "Vibrate", 7, 64, 39, 10},
    {IDC_NOTIFY_LED, ControlClass::kButton, kCheckBox, "Blink LEDs", 54, 64, 47, 10},
    {IDC_NOTIFY_TEST, ControlClass::kButton, kPushButton, "Test", 7, 89, 50, 14},
    {IDC_SIPPREF, ControlClass::kSipPref, kSipPref, "SIP1", 141, 96, 14, 14},
};

constexpr ControlTemplate kProxyControls[] = {
    {IDC_PROXY_AUTOMATIC, ControlClass::kButton, kCheckBox, "Automatic. Use Default Settings.", 7,
     7, 121, 10},
    {IDC_PROXY_DIRECT, ControlClass::kButton, kCheckBox, "Direct. Do not use a Proxy Server.", 7,
     22, 127, 10},
    {IDC_PROXY_CUSTOM, ControlClass::kButton, kCheckBox, "Custom Proxy Server.", 7, 38, 87, 10},
    {IDC_STATIC, ControlClass::kStatic, kLabel, "Address", 21, 52, 27, 8},
    {IDC_STATIC, ControlClass::kStatic, kLabel, "Port", 94, 52, 14, 8},
    {IDC_PROXY_ADDRESS, ControlClass::kEdit, kEdit, "", 21, 62, 64, 12},
    {IDC_PROXY_PORT, ControlClass::kEdit, kEdit | ES_NUMBER, "", 94, 62, 28, 12},
    {IDC_SIPPREF, ControlClass::kSipPref, kSipPref, "SIP1", 145, 67, 14, 14},
};

constexpr DialogTemplate kTimetable{IDD_TIMETABLE, "Schedule", kDialogStyle,      0, 156, 129,
                                    kFont,         8,          kTimetableControls};
constexpr DialogTemplate kNotifySettings{
    IDD_NOTIFY_SETTINGS,    "Notifications", kDialogStyle, 0, 156, 110, kFont, 8,
    kNotifySettingsControls};
constexpr DialogTemplate kProxy{IDD_PROXY, "Proxy  Server", kDialogStyle, 0, 159, 81, kFont,
                                8,         kProxyControls};

constexpr std::array<const DialogTemplate*, 3> kSettingsTemplates = {&kTimetable, &kNotifySettings,
                                                                     &kProxy};

}  // namespace

std::span<const DialogTemplate* const> SettingsDialogTemplates() { return kSettingsTemplates; }

}  // namespace halvern::res
