#include "about_dlg.h"

namespace halvern::ui {

// OK and Cancel both just close it, so one OK button is enough.
CAboutDlg::CAboutDlg(QWidget* owner) : CDialog(res::IDD_ABOUT, owner) {
  SetButtonRow(ButtonRow::kOk);
}

}  // namespace halvern::ui
