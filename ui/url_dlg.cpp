#include "url_dlg.h"

#include <QtWidgets/QComboBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>

#include "message_box.h"
#include "url_entry.h"

namespace halvern::ui {

CUrlDlg::CUrlDlg(QWidget* owner) : CDialog(res::IDD_URL, owner) {
  MapSelChange(res::IDC_URL_MODE, [this] { ShowDescription(); });
}

bool CUrlDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  // The field takes no more of a title than the entry keeps.
  Control<QLineEdit>(res::IDC_URL_TITLE)->setMaxLength(static_cast<int>(kMaxTitleLength));
  auto* modes = Control<QComboBox>(res::IDC_URL_MODE);
  modes->addItem(QString::fromUtf8(kDownloadModeText));
  modes->addItem(QString::fromUtf8(kScriptModeText));
  UpdateData(false);
  ShowDescription();
  return true;
}

void CUrlDlg::DoDataExchange(DataExchange& dx) {
  dx.ComboIndex(res::IDC_URL_MODE, mode);
  dx.Text(res::IDC_URL_TITLE, title);
  dx.Text(res::IDC_URL_ADDRESS, url);
  dx.Int(res::IDC_URL_SIZE_LIMIT, sizeLimit);
  dx.Check(res::IDC_URL_ENABLE, enabled);
}

void CUrlDlg::ShowDescription() {
  UpdateData(true);  // a bad size field has said so; the description follows all the same
  auto* description = Control<QLabel>(res::IDC_URL_MODE_DESCRIPTION);
  if (mode == kModeDownload) description->setText(QString::fromUtf8(kDownloadModeDescription));
  if (mode == kModeScript) description->setText(QString::fromUtf8(kScriptModeDescription));
}

void CUrlDlg::OnOK() {
  const bool read = UpdateData(true);
  QString problem;
  if (title.isEmpty()) {
    problem = QStringLiteral("The 'Title' cannot be empty.");
  } else if (url.isEmpty()) {
    problem = QStringLiteral("The 'URL' cannot be empty.");
  } else if (!url.startsWith(QStringLiteral("http://")) &&
             !url.startsWith(QStringLiteral("https://"))) {
    problem = QStringLiteral("The 'URL' should begin with 'http://' or 'https://'.");
  } else if (titleTaken) {
    const QString stored = QString::fromStdU16String(CutTitle(title.toStdU16String()));
    if (titleTaken(stored)) {
      problem = QStringLiteral(
                    "Another URL already has the title '%1'. Please choose another "
                    "title.")
                    .arg(stored);
    }
  }
  if (!problem.isEmpty()) {
    MessageBox(this, problem, MB_OK | MB_ICONSTOP);
    return;
  }
  // The size field's message has been shown once already; the field keeps the
  // focus and the dialog stays open.
  if (!read) return;
  CDialog::OnOK();
}

}  // namespace halvern::ui
