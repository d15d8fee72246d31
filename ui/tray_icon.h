#pragma once
// The program's icon in the desktop's tray. A click on it shows the main
// window; its menu offers "Show", "Check Now" and "Exit Program"; its tooltip
// names the program and how many addresses failed their last check.
//
// It draws the engine's tray state (entry_states.h) and nothing else: the
// normal icon, the red one while an entry's last outcome is a failure, the
// amber one while a certificate warning is pending and none failed; while an
// alert is pending it blinks between the red icon and the normal one.

#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QTimer>
#include <QtGui/QIcon>
#include <functional>
#include <memory>

#include "entry_states.h"

class QMenu;
class QSystemTrayIcon;

namespace halvern::ui {

struct TrayCommands {
  std::function<void()> show;
  std::function<void()> checkNow;
  std::function<void()> exitProgram;  // asks its question first
  std::function<void()> history;      // the History window
};

// "Velmora Halvern" and, on a second line, how many addresses failed; a third
// line counts the certificate warnings when there are any.
QString TrayToolTip(const TrayState& state);

// Half the period of the tray's blinking while an alert is pending.
inline constexpr int kTrayBlinkMs = 500;

class TrayIcon final : public QObject {
  Q_OBJECT

 public:
  // Which icon the tray shows now.
  enum class Look { kNormal, kWarning, kFailed };

  // `icon` is the program's own (the normal look). The icon is made whether
  // or not the desktop has a tray; Show puts it there when it has one.
  TrayIcon(const QIcon& icon, TrayCommands commands, QObject* parent);
  ~TrayIcon() override;

  void Show();
  void Hide();
  QSystemTrayIcon* icon() const { return icon_.data(); }
  QMenu* menu() const { return menu_.get(); }

  // Draws `state`: icon, blinking and tooltip.
  void Render(const TrayState& state);
  const TrayState& state() const { return state_; }
  Look look() const { return look_; }
  bool blinking() const { return blink_.isActive(); }

 private:
  void SetLook(Look look);
  Look SteadyLook() const;

  TrayCommands commands_;
  std::unique_ptr<QMenu> menu_;  // a tray icon does not own its menu
  QPointer<QSystemTrayIcon> icon_;
  QIcon normal_;
  QIcon warning_;
  QIcon failed_;
  TrayState state_;
  Look look_ = Look::kNormal;
  QTimer blink_;
};

}  // namespace halvern::ui
