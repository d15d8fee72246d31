#pragma once
// The program's icon in the desktop's tray. A click on it shows the main
// window; its menu offers "Show", "Check Now" and "Exit Program"; its tooltip
// names the program and how many addresses failed their last check. The count
// follows the outcomes the URL list shows: an address counts from a failed
// check until a passed one or until its row goes away; a check in progress or
// cancelled changes nothing.

#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtGui/QIcon>
#include <functional>
#include <memory>
#include <set>
#include <string>

class QMenu;
class QSystemTrayIcon;

namespace halvern::ui {

struct TrayCommands {
  std::function<void()> show;
  std::function<void()> checkNow;
  std::function<void()> exitProgram;  // asks its question first
  std::function<void()> history;      // the History window
};

// "Velmora Halvern" and, on a second line, how many addresses failed.
QString TrayToolTip(int failedCount);

class TrayIcon final : public QObject {
  Q_OBJECT

 public:
  // The icon is made whether or not the desktop has a tray; Show puts it there
  // when it has one.
  TrayIcon(const QIcon& icon, TrayCommands commands, QObject* parent);
  ~TrayIcon() override;

  void Show();
  void Hide();
  QSystemTrayIcon* icon() const { return icon_.data(); }
  QMenu* menu() const { return menu_.get(); }

  // The status image a row of the URL list now shows (StatusImage).
  void RowImageChanged(const std::u16string& title, int image);
  void RowRemoved(const std::u16string& title);
  int FailedCount() const { return static_cast<int>(failed_.size()); }

 private:
  void UpdateToolTip();

  TrayCommands commands_;
  std::unique_ptr<QMenu> menu_;  // a tray icon does not own its menu
  QPointer<QSystemTrayIcon> icon_;
  std::set<std::u16string> failed_;  // folded titles
};

}  // namespace halvern::ui
