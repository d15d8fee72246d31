#pragma once
// Menu bars built from the menu resources of resources/menus.cpp.

#include <functional>

class QMenuBar;
class QWidget;

namespace halvern::ui {

// A menu bar holding the menu's top-level entries; choosing an item calls
// `onCommand` with its command id.
QMenuBar* BuildMenu(int menuId, QWidget* parent, std::function<void(int)> onCommand);

}  // namespace halvern::ui
