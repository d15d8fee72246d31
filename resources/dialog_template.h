#pragma once
// Dialog templates as data: the caption, size and font of a dialog and, for
// every control, its id, class, style, text and position in dialog units, in
// template order (which is also the tab order). The style numbers are the
// window-system style bits below; the builder in ui/ turns them into widgets.
//
// Adding a template: define a `DialogTemplate` in a .cpp of this folder and list
// it in the table of dialog_templates.cpp (or settings_templates.cpp for the
// settings dialogs). FindDialogTemplate then serves it by its id.

#include <cstdint>
#include <span>

namespace halvern::res {

// Window styles.
inline constexpr std::uint32_t WS_POPUP = 0x80000000;
inline constexpr std::uint32_t WS_CHILD = 0x40000000;
inline constexpr std::uint32_t WS_VISIBLE = 0x10000000;
inline constexpr std::uint32_t WS_DISABLED = 0x08000000;
inline constexpr std::uint32_t WS_CAPTION = 0x00C00000;
inline constexpr std::uint32_t WS_BORDER = 0x00800000;
inline constexpr std::uint32_t WS_SYSMENU = 0x00080000;
inline constexpr std::uint32_t WS_VSCROLL = 0x00200000;
inline constexpr std::uint32_t WS_HSCROLL = 0x00100000;
inline constexpr std::uint32_t WS_GROUP = 0x00020000;
inline constexpr std::uint32_t WS_TABSTOP = 0x00010000;
// Dialog styles.
inline constexpr std::uint32_t DS_SETFONT = 0x0040;
inline constexpr std::uint32_t DS_SETFOREGROUND = 0x0200;
inline constexpr std::uint32_t DS_CENTER = 0x0800;
// Extended dialog styles.
inline constexpr std::uint32_t WS_EX_CAPTIONOKBTN = 0x80000000;
inline constexpr std::uint32_t WS_EX_APPWINDOW = 0x00040000;
// Buttons (the low four bits are the kind).
inline constexpr std::uint32_t BS_TYPEMASK = 0x000F;
inline constexpr std::uint32_t BS_PUSHBUTTON = 0x0000;
inline constexpr std::uint32_t BS_DEFPUSHBUTTON = 0x0001;
inline constexpr std::uint32_t BS_CHECKBOX = 0x0002;
inline constexpr std::uint32_t BS_AUTOCHECKBOX = 0x0003;
inline constexpr std::uint32_t BS_RADIOBUTTON = 0x0004;
inline constexpr std::uint32_t BS_AUTORADIOBUTTON = 0x0009;
inline constexpr std::uint32_t BS_GROUPBOX = 0x0007;
inline constexpr std::uint32_t BS_OWNERDRAW = 0x000B;
inline constexpr std::uint32_t BS_CENTER = 0x0300;
// Edit fields.
inline constexpr std::uint32_t ES_MULTILINE = 0x0004;
inline constexpr std::uint32_t ES_PASSWORD = 0x0020;
inline constexpr std::uint32_t ES_AUTOHSCROLL = 0x0080;
inline constexpr std::uint32_t ES_READONLY = 0x0800;
inline constexpr std::uint32_t ES_NUMBER = 0x2000;
// Static controls (the low five bits are the kind).
inline constexpr std::uint32_t SS_TYPEMASK = 0x001F;
inline constexpr std::uint32_t SS_LEFT = 0x0000;
inline constexpr std::uint32_t SS_CENTER = 0x0001;
inline constexpr std::uint32_t SS_RIGHT = 0x0002;
inline constexpr std::uint32_t SS_ICON = 0x0003;
inline constexpr std::uint32_t SS_LEFTNOWORDWRAP = 0x000C;
// Combo boxes.
inline constexpr std::uint32_t CBS_DROPDOWN = 0x0002;
inline constexpr std::uint32_t CBS_DROPDOWNLIST = 0x0003;
inline constexpr std::uint32_t CBS_SORT = 0x0100;
// List views.
inline constexpr std::uint32_t LVS_REPORT = 0x0001;
inline constexpr std::uint32_t LVS_SINGLESEL = 0x0004;
inline constexpr std::uint32_t LVS_SORTASCENDING = 0x0010;
inline constexpr std::uint32_t LVS_SORTDESCENDING = 0x0020;
inline constexpr std::uint32_t LVS_ALIGNLEFT = 0x0800;

enum class ControlClass {
  kButton,    // "Button"
  kEdit,      // "Edit"
  kStatic,    // "Static"
  kComboBox,  // "ComboBox"
  kListView,  // "SysListView32"
  kSipPref,   // "SIPPREF": the input-panel preference control, kept hidden here
};

struct ControlTemplate {
  int id;  // IDC_STATIC (-1) for controls without one
  ControlClass kind;
  std::uint32_t style;
  const char* text;         // UTF-8
  int x, y, width, height;  // dialog units
  int icon = 0;             // icon resource of an SS_ICON static
};

struct DialogTemplate {
  int id;
  const char* caption;  // UTF-8
  std::uint32_t style;
  std::uint32_t exStyle;
  int width, height;  // dialog units
  const char* fontName;
  int fontPointSize;
  std::span<const ControlTemplate> controls;
};

// The template of that id, or nullptr.
const DialogTemplate* FindDialogTemplate(int id);

// The templates of the settings dialogs (130, 135, 137), kept in
// settings_templates.cpp.
std::span<const DialogTemplate* const> SettingsDialogTemplates();
// The templates of the export and import windows, in transfer_templates.cpp.
std::span<const DialogTemplate* const> TransferDialogTemplates();

// The Preferences dialog's template (143), kept in preferences_template.cpp.
const DialogTemplate& PreferencesDialogTemplate();

}  // namespace halvern::res
