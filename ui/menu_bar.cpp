#include "menu_bar.h"

#include <QtGui/QShortcut>
#include <QtWidgets/QMenu>
#include <QtWidgets/QMenuBar>

#include "menu_template.h"

namespace halvern::ui {
namespace {

void AddItems(QMenu* menu, std::span<const res::MenuItem> items,
              const std::function<void(int)>& onCommand) {
  for (const res::MenuItem& item : items) {
    if (item.text == nullptr) {
      menu->addSeparator();
    } else if (!item.popup.empty()) {
      AddItems(menu->addMenu(QString::fromUtf8(item.text)), item.popup, onCommand);
    } else {
      QAction* action = menu->addAction(QString::fromUtf8(item.text));
      action->setData(item.id);
      if (item.keys != nullptr) action->setShortcut(QKeySequence(QString::fromUtf8(item.keys)));
      const int id = item.id;
      QObject::connect(action, &QAction::triggered, menu, [onCommand, id] { onCommand(id); });
    }
  }
}

void OpenOnMenuKeys(QMenuBar* bar, QWidget* window) {
  for (const QKeySequence& keys :
       {QKeySequence(Qt::Key_F10), QKeySequence(Qt::AltModifier | Qt::Key_M)}) {
    auto* shortcut = new QShortcut(keys, window);
    QObject::connect(shortcut, &QShortcut::activated, bar, [bar] {
      const QList<QAction*> entries = bar->actions();
      if (!entries.isEmpty()) bar->setActiveAction(entries.first());
    });
  }
}

}  // namespace

QMenuBar* BuildMenu(int menuId, QWidget* parent, std::function<void(int)> onCommand) {
  auto* bar = new QMenuBar(parent);
  bar->setAccessibleName(QStringLiteral("Menu bar"));
  bar->setNativeMenuBar(false);
  for (const res::MenuItem& top : res::FindMenu(menuId)) {
    if (top.text == nullptr) continue;
    QMenu* menu = bar->addMenu(QString::fromUtf8(top.text));
    AddItems(menu, top.popup, onCommand);
  }
  if (parent != nullptr) OpenOnMenuKeys(bar, parent);
  return bar;
}

}  // namespace halvern::ui
