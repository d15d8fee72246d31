#include "notification_dlg.h"

#include <QtGui/QScreen>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>

#include "check_log.h"
#include "log_files_dlg.h"
#include "url_entry.h"

namespace halvern::ui {

CNotificationDlg::CNotificationDlg(CDialog& owner, SettingsStore& store, const Clock& clock)
    // A window of its own, not one the main window owns: a dialog that is modal
    // to the main window then does not block it, so an alert can always be
    // read and closed.
    : CDialog(res::IDD_NOTIFICATION, nullptr), owner_(owner), store_(store), clock_(clock) {
  // No OK/Cancel row: its own Close button acknowledges the alert.
  SetButtonRow(ButtonRow::kNone);
  setModal(false);
  MapCommand(res::IDC_ALERT_CLOSE, [this] { CloseAlert(); });
  MapCommand(res::IDC_ALERT_LOG_FILE, [this] { OpenLog(); });
}

bool CNotificationDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  SetBoldFont(GetDlgItem(res::IDC_ALERT_HEADING));
  Control<QPushButton>(res::IDC_ALERT_CLOSE)->setDefault(true);
  return true;
}

void CNotificationDlg::Fill(const UrlEntry& entry, const std::optional<std::u16string>& text,
                            std::int64_t time) {
  Create();
  const QString description = QString::fromStdU16String(AlertDescription(text));
  Control<QLabel>(res::IDC_ALERT_TIME)
      ->setText(QString::fromStdU16String(FormatLocalTime(time, u"%X, %x")));
  Control<QLabel>(res::IDC_ALERT_TITLE)->setText(QString::fromStdU16String(EntryTitle(entry)));
  Control<QLabel>(res::IDC_ALERT_URL)->setText(QString::fromStdU16String(EntryUrl(entry)));
  Control<QLabel>(res::IDC_ALERT_DESCRIPTION)->setText(description);
}

void CNotificationDlg::OnOK() { CloseAlert(); }
void CNotificationDlg::OnCancel() { CloseAlert(); }

void CNotificationDlg::CloseAlert() { owner_.SendCommand(0, ALERT_CLOSED_LPARAM); }

void CNotificationDlg::OpenLog() {
  CloseAlert();
  OpenLogViewer(&owner_, store_, clock_);
}

NotificationPopup::NotificationPopup(CDialog& owner, SettingsStore& store, const Clock& clock)
    : owner_(owner), store_(store), clock_(clock) {}

NotificationPopup::~NotificationPopup() { delete window_.data(); }

void NotificationPopup::Show(const UrlEntry& entry, const std::optional<std::u16string>& text,
                             std::int64_t time) {
  if (!window_) {
    window_ = new CNotificationDlg(owner_, store_, clock_);
    window_->Create();
  }
  window_->Fill(entry, text, time);
  window_->adjustSize();
  if (QScreen* screen = window_->screen()) {
    QRect frame = window_->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window_->move(frame.topLeft());
  }
  Activate();
}

void NotificationPopup::Activate() {
  if (!window_) return;
  if (window_->isMinimized()) window_->showNormal();
  window_->show();
  window_->raise();
  window_->activateWindow();
}

void NotificationPopup::Destroy() {
  if (!window_) return;
  // The popup may be closing from inside one of its own handlers: hide it now
  // and let the event loop delete it.
  CNotificationDlg* window = window_.data();
  window_.clear();
  window->hide();
  window->deleteLater();
}

}  // namespace halvern::ui
