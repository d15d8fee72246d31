#pragma once
// Menus as data. An item with a sub-menu opens it; an item without text is a
// separator; any other item sends its command id.

#include <span>

namespace halvern::res {

struct MenuItem {
  const char* text;  // UTF-8; nullptr for a separator
  int id;            // command id; 0 for separators and sub-menus
  std::span<const MenuItem> popup;
  const char* keys = nullptr;  // shortcut in QKeySequence's portable form, e.g. "Ctrl+E"
};

// The menu of that id (its top-level items), or an empty span.
std::span<const MenuItem> FindMenu(int id);

}  // namespace halvern::res
