#pragma once
// CButtonEx: an owner-drawn push button that works as a two-state toggle, used
// for the timetable's hour cells. Each click flips its on flag; it paints
// itself green when on and red when off, inside a push-button frame that looks
// pushed while the button is held down. A cell with the keyboard focus shows
// a dotted rectangle inside its colour; no disabled look is drawn. For
// assistive technologies it is a toggle button whose checked state is the on
// flag.

#include <QtWidgets/QPushButton>
#include <cstdint>

namespace halvern::ui {

class CButtonEx : public QPushButton {
  Q_OBJECT

 public:
  explicit CButtonEx(const QString& text, QWidget* parent = nullptr);

  // 1 = on (hour enabled), 0 = off; any non-zero value counts as on.
  std::int32_t GetOn() const { return on_; }
  // Stores `on` and repaints the whole button.
  void SetOn(std::int32_t on);

 protected:
  void paintEvent(QPaintEvent* event) override;
  // The on flag decides the checked state, not the button's own toggling.
  void nextCheckState() override {}

 private:
  void OnClicked();

  std::int32_t on_ = 1;  // a new cell is on
};

}  // namespace halvern::ui
