#pragma once
// Every resource and control id of the program in one place: dialog templates,
// control ids, command ids, icons, menus and strings. The templates, the dialogs
// and the tests share these numbers; they are part of the program's contract.

namespace halvern::res {

// Dialog templates.
inline constexpr int IDD_MAIN = 102;             // CMainDlg
inline constexpr int IDD_URL = 129;              // CUrlDlg
inline constexpr int IDD_TIMETABLE = 130;        // CTimetableDlg
inline constexpr int IDD_NOTIFY_SETTINGS = 135;  // alert settings dialog
inline constexpr int IDD_LOG_FILES = 136;        // CLogFilesDlg
inline constexpr int IDD_PROXY = 137;            // CProxyDlg
inline constexpr int IDD_NOTIFICATION = 138;     // CNotificationDlg, the alert popup
inline constexpr int IDD_ABOUT = 141;            // CAboutDlg
inline constexpr int IDD_IMPORT = 160;           // CImportDlg, the import's preview
inline constexpr int IDD_PREFERENCES = 143;      // CPreferencesDlg

// Menus.
inline constexpr int IDR_MAIN_MENU = 128;

// Icons.
inline constexpr int IDI_APP = 128;
inline constexpr int IDI_STATUS_FAILED = 131;  // red cross
inline constexpr int IDI_STATUS_BUSY = 132;    // grey circling arrows
inline constexpr int IDI_STATUS_IDLE = 133;    // blue globe
inline constexpr int IDI_STATUS_PASSED = 134;  // green tick
inline constexpr int IDI_ALERT = 139;          // the popup's red cross
inline constexpr int IDI_TRAY_WARNING = 142;   // the tray's amber warning

// Strings.
inline constexpr int IDS_APP_TITLE = 57344;  // "Velmora Halvern"

// Standard commands and the id of controls that carry none.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDC_STATIC = -1;

// The input-panel preference control found in every template.
inline constexpr int IDC_SIPPREF = 1036;

// Main window (template 102) controls and commands.
inline constexpr int IDC_CHECK_NOW = 1000;
inline constexpr int IDC_PROXY_SERVER = 1002;
inline constexpr int IDC_NOTIFICATIONS = 1004;
inline constexpr int IDC_ADD = 1005;
inline constexpr int IDC_TIMETABLE = 1006;
inline constexpr int IDC_EDIT = 1008;
inline constexpr int IDC_DELETE = 1009;
inline constexpr int IDC_LOG_FILE = 1010;
inline constexpr int IDC_URL_LIST = 1019;
inline constexpr int ID_EXIT_PROGRAM = 1035;
inline constexpr int ID_VISIT_WEBSITE = 32774;
inline constexpr int ID_APP_ABOUT = 32776;
inline constexpr int ID_START_AT_LOGIN = 32778;  // Tools > "Start at Login", a check item
inline constexpr int ID_EXPORT = 32790;          // URLs > "Export..." (Ctrl+E)
inline constexpr int ID_IMPORT = 32791;          // URLs > "Import..." (Ctrl+I)
inline constexpr int ID_BACK_UP_STORE = 32792;   // Tools > "Back Up Store..."
inline constexpr int ID_HISTORY = 32793;         // URLs > "History" (Ctrl+H)
inline constexpr int ID_PREFERENCES = 32779;     // Tools > "Preferences"

// Preferences (template 143).
inline constexpr int IDC_PREF_WATCH_FAILED = 1050;

// URL editor (template 129).
inline constexpr int IDC_URL_ENABLE = 1001;
inline constexpr int IDC_URL_TITLE = 1008;
inline constexpr int IDC_URL_ADDRESS = 1010;
inline constexpr int IDC_URL_MODE = 1011;
inline constexpr int IDC_URL_SIZE_LIMIT = 1012;
inline constexpr int IDC_URL_MODE_DESCRIPTION = 1014;

// Log viewer (template 136).
inline constexpr int IDC_LOG_LIST = 1025;
inline constexpr int IDC_LOG_REFRESH = 1026;
inline constexpr int IDC_LOG_CLEAR = 1027;
inline constexpr int IDC_LOG_KEEP = 1028;
inline constexpr int IDC_LOG_SAVE_AS = 1100;  // "Save As..." in the button row

// Import preview (template 160).
inline constexpr int IDC_IMPORT_SUMMARY = 1101;
inline constexpr int IDC_IMPORT_LIST = 1102;
inline constexpr int IDC_IMPORT_SKIP = 1103;
inline constexpr int IDC_IMPORT_REPLACE = 1104;
inline constexpr int IDC_IMPORT_ADD_AS_NEW = 1105;
inline constexpr int IDC_IMPORT_SETTINGS = 1106;

// Alert popup (template 138).
inline constexpr int IDC_ALERT_LOG_FILE = 1010;
inline constexpr int IDC_ALERT_CLOSE = 1011;
inline constexpr int IDC_ALERT_TIME = 1044;
inline constexpr int IDC_ALERT_TITLE = 1045;
inline constexpr int IDC_ALERT_URL = 1046;
inline constexpr int IDC_ALERT_HEADING = 1047;
inline constexpr int IDC_ALERT_DESCRIPTION = 1048;

// Timetable (template 130).
inline constexpr int IDC_TIMETABLE_FREQUENCY = 1015;
inline constexpr int IDC_TIMETABLE_LABELS = 1016;
inline constexpr int IDC_TIMETABLE_HOUR0 = 1018;  // hours 0..23: 1018..1041
inline constexpr int IDC_TIMETABLE_SIPPREF = 1042;

// Proxy settings (template 137).
inline constexpr int IDC_PROXY_AUTOMATIC = 1030;
inline constexpr int IDC_PROXY_DIRECT = 1031;
inline constexpr int IDC_PROXY_CUSTOM = 1032;
inline constexpr int IDC_PROXY_ADDRESS = 1033;
inline constexpr int IDC_PROXY_PORT = 1034;

// Alert settings (template 135).
inline constexpr int IDC_NOTIFY_SOUND_ENABLE = 1021;
inline constexpr int IDC_NOTIFY_VIBRATE = 1022;
inline constexpr int IDC_NOTIFY_LED = 1023;
inline constexpr int IDC_NOTIFY_TEST = 1024;
inline constexpr int IDC_NOTIFY_BROWSE = 1035;
inline constexpr int IDC_NOTIFY_SOUND_FILE = 1037;
inline constexpr int IDC_NOTIFY_DURATION = 1038;
inline constexpr int IDC_NOTIFY_REPEAT = 1040;

}  // namespace halvern::res
