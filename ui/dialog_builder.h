#pragma once
// Builds the widgets of a dialog template on a canvas widget. One dialog unit
// is a quarter of the dialog font's average character width across and an
// eighth of its height down.

#include <QtCore/QRect>
#include <QtGui/QFont>
#include <QtWidgets/QWidget>
#include <functional>
#include <vector>

#include "dialog_template.h"

namespace halvern::ui {

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  int ToPixelsX(int units) const { return units * baseX_ / 4; }
  int ToPixelsY(int units) const { return units * baseY_ / 8; }
  QRect ToPixels(int x, int y, int width, int height) const;

 private:
  int baseX_;
  int baseY_;
};

// The template's font: "MS Shell Dlg" stands for the desktop's user-interface
// font, at the template's point size.
QFont TemplateFont(const res::DialogTemplate& dialogTemplate);

struct BuiltControl {
  const res::ControlTemplate* source;
  QWidget* widget;
};

// Makes a widget for a control, or returns nullptr to let the builder make the
// standard one (a dialog's custom controls, such as owner-drawn buttons).
using ControlFactory = std::function<QWidget*(const res::ControlTemplate&, QWidget* parent)>;

// Creates every control of the template on `canvas`, in template order, placed
// and sized by `units`; returns them in that order.
std::vector<BuiltControl> BuildControls(const res::DialogTemplate& dialogTemplate, QWidget* canvas,
                                        const DialogUnits& units, const ControlFactory& factory);

// The canvas of a window that can be made larger than its template: the
// template's size is its smallest; one control (the list) takes all the room
// gained, controls below it move down with the bottom edge and controls to its
// right move with the right edge, keeping their own sizes.
class GrowingCanvas : public QWidget {
  Q_OBJECT

 public:
  GrowingCanvas(QSize templateSize, QWidget* parent);
  // Takes the controls' present places as their places at the template's size.
  void Anchor(QWidget* growing, const std::vector<BuiltControl>& controls);
  QSize sizeHint() const override { return base_; }
  QSize minimumSizeHint() const override { return base_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  struct Placed {
    QWidget* widget;
    QRect base;
    bool followsBottom;
    bool followsRight;
  };
  QSize base_;
  QWidget* growing_ = nullptr;
  QRect growingBase_;
  std::vector<Placed> others_;
};

// Bold copy of the control's font (weight 700) given to the control.
void SetBoldFont(QWidget* control);

}  // namespace halvern::ui
