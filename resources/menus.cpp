// Menu 128: the main window's menu bar, a single "Menu" entry.

#include "menu_template.h"
#include "resource_ids.h"

namespace halvern::res {
namespace {

constexpr MenuItem kSeparator{nullptr, 0, {}};

constexpr MenuItem kUrlsMenu[] = {
    {"Add", IDC_ADD, {}},
    {"Edit", IDC_EDIT, {}},
    {"Delete", IDC_DELETE, {}},
    kSeparator,
    {"Export...", ID_EXPORT, {}, "Ctrl+E"},
    {"Import...", ID_IMPORT, {}, "Ctrl+I"},
    kSeparator,
    {"History", ID_HISTORY, {}, "Ctrl+H"},
};

constexpr MenuItem kToolsMenu[] = {
    {"Check Now", IDC_CHECK_NOW, {}},           kSeparator,
    {"Timetable", IDC_TIMETABLE, {}},           {"Proxy Server", IDC_PROXY_SERVER, {}},
    {"Notifications", IDC_NOTIFICATIONS, {}},   {"Log File", IDC_LOG_FILE, {}},
    {"Preferences", ID_PREFERENCES, {}},        {"Back Up Store...", ID_BACK_UP_STORE, {}},
    kSeparator,
    {"Start at Login", ID_START_AT_LOGIN, {}},
};

constexpr MenuItem kHelpMenu[] = {
    {"Visit Velmora WebSite", ID_VISIT_WEBSITE, {}},
    kSeparator,
    {"About Velmora Halvern", ID_APP_ABOUT, {}},
};

constexpr MenuItem kMenuItems[] = {
    {"URLs", 0, kUrlsMenu},
    {"Tools", 0, kToolsMenu},
    {"Help", 0, kHelpMenu},
    kSeparator,
    {"Exit Program", ID_EXIT_PROGRAM, {}},
};

constexpr MenuItem kMainMenu[] = {
    {"Menu", 0, kMenuItems},
};

}  // namespace

std::span<const MenuItem> FindMenu(int id) {
  if (id == IDR_MAIN_MENU) return kMainMenu;
  return {};
}

}  // namespace halvern::res
