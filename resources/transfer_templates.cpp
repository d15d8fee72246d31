// The template of the import's preview (160): what an import will do with
// each address of the file, the choices for titles that exist, and whether
// the file's settings are taken. Positions are in dialog units.

#include <array>
#include <span>

#include "dialog_template.h"
#include "resource_ids.h"

namespace halvern::res {
namespace {

constexpr std::uint32_t kDialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT | 0x08;
constexpr std::uint32_t kLabel = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;
constexpr std::uint32_t kPushButton = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
constexpr std::uint32_t kCheckBox = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX;
constexpr const char* kFont = "MS Shell Dlg";

constexpr ControlTemplate kImportControls[] = {
    {IDC_IMPORT_SUMMARY, ControlClass::kStatic, WS_CHILD | WS_VISIBLE | SS_LEFT, "", 7, 7, 366, 18},
    {IDC_IMPORT_LIST, ControlClass::kListView,
     WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | LVS_REPORT | LVS_ALIGNLEFT, "", 7, 27, 366,
     130},
    {IDC_STATIC, ControlClass::kStatic, kLabel, "Selected rows whose title exists:", 7, 163, 110,
     8},
    {IDC_IMPORT_SKIP, ControlClass::kButton, kPushButton, "Skip", 200, 160, 50, 14},
    {IDC_IMPORT_REPLACE, ControlClass::kButton, kPushButton, "Replace", 253, 160, 50, 14},
    {IDC_IMPORT_ADD_AS_NEW, ControlClass::kButton, kPushButton, "Add as New", 306, 160, 67, 14},
    {IDC_IMPORT_SETTINGS, ControlClass::kButton, kCheckBox, "Also take the settings", 7, 180, 150,
     10},
};

constexpr DialogTemplate kImport{IDD_IMPORT, "Import", kDialogStyle,   0, 380, 195,
                                 kFont,      8,        kImportControls};

constexpr std::array<const DialogTemplate*, 1> kTemplates = {&kImport};

}  // namespace

std::span<const DialogTemplate* const> TransferDialogTemplates() { return kTemplates; }

}  // namespace halvern::res
