#pragma once
// Icons of the program's resources (128 application, 131-134 status, 139
// alert), drawn from their SVG at every size asked for.

#include <QtGui/QIcon>
#include <vector>

namespace halvern::ui {

// The icon of that resource id; a null icon for an unknown id.
QIcon LoadResIcon(int id);

// The status images of the URL list, in image order: 0 idle (133), 1 busy
// (132), 2 passed (134), 3 failed (131).
std::vector<QIcon> StatusImages();
// What each status image says, in the same order, for screen readers: "not
// checked", "checking", "passed", "failed".
std::vector<QString> StatusImageNames();

}  // namespace halvern::ui
