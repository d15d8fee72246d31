#include "button_ex.h"

#include <QtWidgets/qdrawutil.h>
#include <QtGui/QPainter>

namespace halvern::ui {
namespace {

const QColor kOnColor(0, 255, 0);
const QColor kOffColor(255, 0, 0);
constexpr int kFrameWidth = 2;

}  // namespace

CButtonEx::CButtonEx(const QString& text, QWidget* parent) : QPushButton(text, parent) {
  // Checkable so that a screen reader hears the cell as a toggle and learns of
  // every change of its state; the painting ignores the checked look.
  setCheckable(true);
  setChecked(on_ != 0);
  // A screen reader may toggle the checked state itself: the flag follows.
  connect(this, &QAbstractButton::toggled, this, [this](bool checked) {
    if ((on_ != 0) != checked) SetOn(checked ? 1 : 0);
  });
  // The click belongs to the cell itself; the dialog only reads the flags.
  connect(this, &QPushButton::clicked, this, &CButtonEx::OnClicked);
}

void CButtonEx::SetOn(std::int32_t on) {
  on_ = on;
  setChecked(on != 0);
  update();
}

void CButtonEx::OnClicked() { SetOn(on_ == 0 ? 1 : 0); }

void CButtonEx::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect whole = rect();
  // The classic push-button frame, sunken while the button is held.
  qDrawWinButton(&painter, whole, palette(), isDown(), nullptr);
  const QRect inner = whole.adjusted(kFrameWidth, kFrameWidth, -kFrameWidth, -kFrameWidth);
  painter.fillRect(inner, on_ != 0 ? kOnColor : kOffColor);
  painter.setPen(palette().color(QPalette::ButtonText));
  painter.drawText(inner, Qt::AlignCenter | Qt::TextSingleLine, text());
  if (hasFocus()) {
    // Tab walks the 24 cells: the one that Space would toggle must be seen.
    painter.setPen(QPen(palette().color(QPalette::ButtonText), 1, Qt::DotLine));
    painter.drawRect(inner.adjusted(2, 2, -3, -3));
  }
}

}  // namespace halvern::ui
