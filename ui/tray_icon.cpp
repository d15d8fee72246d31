#include "tray_icon.h"

#include <QtWidgets/QMenu>
#include <QtWidgets/QSystemTrayIcon>

#include "icons.h"
#include "message_box.h"
#include "resource_ids.h"

namespace halvern::ui {

QString TrayToolTip(const TrayState& state) {
  QString text = AppTitle() + QLatin1Char('\n');
  if (state.failed == 0) {
    text += QStringLiteral("No address failed its last check");
  } else if (state.failed == 1) {
    text += QStringLiteral("1 address failed its last check");
  } else {
    text += QStringLiteral("%1 addresses failed their last check").arg(state.failed);
  }
  if (state.warnings == 1) {
    text += QStringLiteral("\n1 address has a certificate warning");
  } else if (state.warnings > 1) {
    text += QStringLiteral("\n%1 addresses have a certificate warning").arg(state.warnings);
  }
  return text;
}

TrayIcon::TrayIcon(const QIcon& icon, TrayCommands commands, QObject* parent)
    : QObject(parent),
      commands_(std::move(commands)),
      menu_(std::make_unique<QMenu>()),
      normal_(icon),
      warning_(LoadResIcon(res::IDI_TRAY_WARNING)),
      failed_(LoadResIcon(res::IDI_ALERT)) {
  icon_ = new QSystemTrayIcon(icon, this);
  const auto add = [this](const char* text, const std::function<void()>& command) {
    connect(menu_->addAction(QString::fromUtf8(text)), &QAction::triggered, this, [command] {
      if (command) command();
    });
  };
  add("Show", commands_.show);
  add("Check Now", commands_.checkNow);
  if (commands_.history) add("History", commands_.history);
  menu_->addSeparator();
  add("Exit Program", commands_.exitProgram);
  icon_->setContextMenu(menu_.get());
  // A click, a double click or the middle button; the menu has its own key.
  connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
    if (why != QSystemTrayIcon::Context && commands_.show) commands_.show();
  });
  blink_.setInterval(kTrayBlinkMs);
  connect(&blink_, &QTimer::timeout, this,
          [this] { SetLook(look_ == Look::kFailed ? Look::kNormal : Look::kFailed); });
  Render(state_);
}

TrayIcon::~TrayIcon() {
  // The icon goes before the menu it points to.
  delete icon_.data();
}

void TrayIcon::Show() {
  if (QSystemTrayIcon::isSystemTrayAvailable()) icon_->show();
}

void TrayIcon::Hide() { icon_->hide(); }

TrayIcon::Look TrayIcon::SteadyLook() const {
  switch (state_.level) {
    case TrayLevel::kFailed:
      return Look::kFailed;
    case TrayLevel::kWarning:
      return Look::kWarning;
    case TrayLevel::kNormal:
      break;
  }
  return Look::kNormal;
}

void TrayIcon::Render(const TrayState& state) {
  state_ = state;
  icon_->setToolTip(TrayToolTip(state_));
  if (state_.blinking) {
    // Starts on red, then goes on blinking from wherever it is.
    if (!blink_.isActive()) {
      SetLook(Look::kFailed);
      blink_.start();
    }
    return;
  }
  blink_.stop();
  SetLook(SteadyLook());
}

void TrayIcon::SetLook(Look look) {
  look_ = look;
  switch (look) {
    case Look::kNormal:
      icon_->setIcon(normal_);
      break;
    case Look::kWarning:
      icon_->setIcon(warning_);
      break;
    case Look::kFailed:
      icon_->setIcon(failed_);
      break;
  }
}

}  // namespace halvern::ui
