#pragma once
// CAboutDlg: the program's icon, name with version and notice (template 141).

#include "dialog.h"

namespace halvern::ui {

class CAboutDlg : public CDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* owner = nullptr);
};

}  // namespace halvern::ui
