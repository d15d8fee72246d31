#pragma once
// A window's size and place, kept in a section of the settings store of its
// own ("Window" for the main window, "LogWindow" for the log viewer) as four
// integers: X and Y (the window's top-left corner,
// frame included, in desktop coordinates; negative on a screen left of or
// above the primary one), Width and Height (the inside of the window).

#include <QtCore/QObject>
#include <QtCore/QRect>
#include <QtCore/QTimer>
#include <optional>
#include <vector>

#include "settings.h"

class QWidget;

namespace halvern {
class SettingsStore;
}

namespace halvern::ui {

using ::halvern::kLogWindowSection;
using ::halvern::kWindowSection;

// The kept place, or nothing when a value is missing or the size is not
// positive.
[[nodiscard]] std::optional<QRect> ReadWindowPlacement(SettingsStore& store,
                                                       const char16_t* section = kWindowSection);
bool WriteWindowPlacement(SettingsStore& store, const QRect& place,
                          const char16_t* section = kWindowSection);

// Where a window kept at `kept` goes on the screens there are now (their
// available areas; the first is the primary screen). It goes on the screen it
// overlaps most, or the primary one when it overlaps none, no smaller than
// `minimum`, no larger than that screen where `minimum` allows, and moved
// just far enough to lie on it whole.
[[nodiscard]] QRect FitOnScreens(const QRect& kept, const QSize& minimum,
                                 const std::vector<QRect>& screens);

// Restores a window's kept place and keeps it up to date: the place the
// window last had while shown in its normal state is written when it has been
// still for a moment, when it hides, and at Save.
class WindowPlacementKeeper : public QObject {
  Q_OBJECT

 public:
  WindowPlacementKeeper(QWidget& window, SettingsStore& store,
                        const char16_t* section = kWindowSection);
  // Moves and sizes the (not yet shown) window to its kept place; false when
  // none is kept (the window's first start).
  bool Restore();
  // Writes the last place seen, when it differs from what was written.
  void Save();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QWidget& window_;
  SettingsStore& store_;
  const char16_t* section_;
  QTimer settle_;
  std::optional<QRect> seen_;
  std::optional<QRect> written_;
};

}  // namespace halvern::ui
