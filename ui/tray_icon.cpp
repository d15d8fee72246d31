#include "tray_icon.h"

#include <QtWidgets/QMenu>
#include <QtWidgets/QSystemTrayIcon>

#include "message_box.h"
#include "url_entry.h"
#include "url_list.h"

namespace halvern::ui {

QString TrayToolTip(int failedCount) {
  QString line;
  if (failedCount == 0) {
    line = QStringLiteral("No address failed its last check");
  } else if (failedCount == 1) {
    line = QStringLiteral("1 address failed its last check");
  } else {
    line = QStringLiteral("%1 addresses failed their last check").arg(failedCount);
  }
  return AppTitle() + QLatin1Char('\n') + line;
}

TrayIcon::TrayIcon(const QIcon& icon, TrayCommands commands, QObject* parent)
    : QObject(parent), commands_(std::move(commands)), menu_(std::make_unique<QMenu>()) {
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
  UpdateToolTip();
}

TrayIcon::~TrayIcon() {
  // The icon goes before the menu it points to.
  delete icon_.data();
}

void TrayIcon::Show() {
  if (QSystemTrayIcon::isSystemTrayAvailable()) icon_->show();
}

void TrayIcon::Hide() { icon_->hide(); }

void TrayIcon::RowImageChanged(const std::u16string& title, int image) {
  if (image == kImageFailed) {
    failed_.insert(FoldTitle(title));
  } else if (image == kImagePassed) {
    failed_.erase(FoldTitle(title));
  } else {
    return;  // busy or cancelled: the last outcome still stands
  }
  UpdateToolTip();
}

void TrayIcon::RowRemoved(const std::u16string& title) {
  if (failed_.erase(FoldTitle(title)) != 0) UpdateToolTip();
}

void TrayIcon::UpdateToolTip() { icon_->setToolTip(TrayToolTip(FailedCount())); }

}  // namespace halvern::ui
