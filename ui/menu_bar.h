#pragma once
// Menu bars built from the menu resources of resources/menus.cpp.

#include <functional>

class QMenuBar;
class QWidget;

namespace halvern::ui {

// A menu bar holding the menu's top-level entries; choosing an item calls
// `onCommand` with its command id. F10 and Alt+M in `parent`'s window open the
// first entry, as the desktop's menu keys do.
QMenuBar* BuildMenu(int menuId, QWidget* parent, std::function<void(int)> onCommand);

}  // namespace halvern::ui
