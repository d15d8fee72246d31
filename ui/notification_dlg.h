#pragma once
// The alert popup. CNotificationDlg is its window (template 138): it names the
// failed entry, says when and why, and offers the log. Closing it by any way
// (Close, Esc, Enter, the title bar) sends its owner the command with lParam
// ALERT_CLOSED_LPARAM, whose answer (AcknowledgeAlert) destroys it; "Log File"
// does the same, then opens the log viewer.
//
// NotificationPopup is the main window's popup member: every Show makes a
// fresh window when none exists; Destroy removes it; Activate brings it to the
// front. The window has no parent, so that no dialog modal to the main window
// blocks it.

#include <QtCore/QPointer>
#include <cstdint>
#include <optional>
#include <string>

#include "alerts.h"
#include "dialog.h"

namespace halvern {
class Clock;
class SettingsStore;
}  // namespace halvern

namespace halvern::ui {

class CNotificationDlg : public CDialog {
  Q_OBJECT

 public:
  // `owner` receives the close command; `store` and `clock` serve "Log File".
  CNotificationDlg(CDialog& owner, SettingsStore& store, const Clock& clock);

  // Fills the window: `time` (UTC seconds) as "%X, %x" local time, the entry's
  // title and URL, and the description.
  void Fill(const UrlEntry& entry, const std::optional<std::u16string>& text, std::int64_t time);

 protected:
  bool OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;

 private:
  void CloseAlert();
  void OpenLog();

  CDialog& owner_;
  SettingsStore& store_;
  const Clock& clock_;
};

class NotificationPopup final : public AlertPopup {
 public:
  NotificationPopup(CDialog& owner, SettingsStore& store, const Clock& clock);
  ~NotificationPopup() override;

  void Show(const UrlEntry& entry, const std::optional<std::u16string>& text,
            std::int64_t time) override;
  void Destroy() override;
  // Brings the pending alert's window to the front (a click on the alert's
  // desktop notification); nothing when no alert is pending.
  void Activate();

  // The window while an alert is pending, else nullptr.
  CNotificationDlg* window() const { return window_.data(); }

 private:
  CDialog& owner_;
  SettingsStore& store_;
  const Clock& clock_;
  QPointer<CNotificationDlg> window_;
};

}  // namespace halvern::ui
