#include "dialog_builder.h"

#include <QtGui/QFontDatabase>
#include <QtGui/QFontMetrics>
#include <QtGui/QRegularExpressionValidator>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QGroupBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QRadioButton>

#include "icons.h"
#include "list_view.h"
#include "resource_ids.h"

namespace halvern::ui {
namespace {

using namespace halvern::res;

QWidget* MakeButton(const ControlTemplate& c, QWidget* parent) {
  const QString text = QString::fromUtf8(c.text);
  switch (c.style & BS_TYPEMASK) {
    case BS_CHECKBOX:
    case BS_AUTOCHECKBOX:
      return new QCheckBox(text, parent);
    case BS_RADIOBUTTON:
    case BS_AUTORADIOBUTTON:
      return new QRadioButton(text, parent);
    case BS_GROUPBOX:
      return new QGroupBox(text, parent);
    default:
      // Enter presses the focused push button, else the dialog's OK.
      return new QPushButton(text, parent);
  }
}

QWidget* MakeEdit(const ControlTemplate& c, QWidget* parent) {
  auto* edit = new QLineEdit(QString::fromUtf8(c.text), parent);
  edit->setFrame((c.style & WS_BORDER) != 0);
  edit->setReadOnly((c.style & ES_READONLY) != 0);
  if (c.style & ES_PASSWORD) edit->setEchoMode(QLineEdit::Password);
  if (c.style & ES_NUMBER) {
    edit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
  }
  return edit;
}

QWidget* MakeStatic(const ControlTemplate& c, QWidget* parent) {
  auto* label = new QLabel(parent);
  const std::uint32_t kind = c.style & SS_TYPEMASK;
  if (kind == SS_ICON) {
    label->setPixmap(LoadResIcon(c.icon).pixmap(32, 32));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
  }
  label->setText(QString::fromUtf8(c.text));
  label->setTextFormat(Qt::PlainText);
  // Plain statics wrap their text and clip it at their bottom edge.
  label->setWordWrap(kind == SS_LEFT || kind == SS_CENTER || kind == SS_RIGHT);
  Qt::Alignment horizontal = Qt::AlignLeft;
  if (kind == SS_CENTER) horizontal = Qt::AlignHCenter;
  if (kind == SS_RIGHT) horizontal = Qt::AlignRight;
  label->setAlignment(horizontal | Qt::AlignTop);
  return label;
}

QWidget* MakeComboBox(const ControlTemplate& c, QWidget* parent) {
  auto* combo = new QComboBox(parent);
  combo->setEditable((c.style & 0x3) == CBS_DROPDOWN);
  combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  combo->setMinimumContentsLength(1);
  return combo;
}

QWidget* MakeStandard(const ControlTemplate& c, QWidget* parent) {
  switch (c.kind) {
    case ControlClass::kButton:
      return MakeButton(c, parent);
    case ControlClass::kEdit:
      return MakeEdit(c, parent);
    case ControlClass::kStatic:
      return MakeStatic(c, parent);
    case ControlClass::kComboBox:
      return MakeComboBox(c, parent);
    case ControlClass::kListView:
      return new ListView(c.style, parent);
    case ControlClass::kSipPref: {
      auto* placeholder = new QWidget(parent);
      placeholder->setProperty("sipText", QString::fromUtf8(c.text));
      return placeholder;
    }
  }
  return new QWidget(parent);
}

// Names for screen readers of the controls that no text of their template
// labels: the lists and the drop-down lists that stand alone.
QString NameOfUnlabelled(int id) {
  switch (id) {
    case IDC_URL_LIST:
      return QStringLiteral("Addresses and their last check");
    case IDC_LOG_LIST:
      return QStringLiteral("Check log");
    case IDC_LOG_KEEP:
      return QStringLiteral("How long the log is kept");
    case IDC_TIMETABLE_LABELS:
      return QStringLiteral("Hour labels");
    default:
      return {};
  }
}

// The control that labels an input control for a screen reader, as a dialog
// of this kind is read: the nearest control on its left on the same line, or
// else the nearest one just above it, whichever is a text (a static text, or
// the check box that switches the control on); nullptr when none is.
QWidget* LabelOf(const BuiltControl& input, const std::vector<BuiltControl>& controls) {
  const QRect box = input.widget->geometry();
  const BuiltControl* left = nullptr;
  const BuiltControl* above = nullptr;
  for (const BuiltControl& other : controls) {
    if (&other == &input || other.source->kind == ControlClass::kSipPref) continue;
    const QRect r = other.widget->geometry();
    const bool sameLine = r.top() < box.bottom() && r.bottom() > box.top();
    const bool sameColumn = r.left() < box.right() && r.right() > box.left();
    if (sameLine && r.right() <= box.left() &&
        (!left || r.right() > left->widget->geometry().right())) {
      left = &other;
    }
    if (sameColumn && r.bottom() <= box.top() && box.top() - r.bottom() <= box.height() &&
        (!above || r.bottom() > above->widget->geometry().bottom())) {
      above = &other;
    }
  }
  for (const BuiltControl* candidate : {left, above}) {
    if (candidate == nullptr) continue;
    if (auto* label = qobject_cast<QLabel*>(candidate->widget); label && !label->text().isEmpty()) {
      return label;
    }
    if (qobject_cast<QCheckBox*>(candidate->widget)) return candidate->widget;
  }
  return nullptr;
}

// Gives every input control an accessible name, its label's text or a name of
// its own when nothing labels it, and makes a static text its label's buddy,
// which tells a screen reader the relation (for a drop-down list on Linux,
// Qt reads the current item as the name and the label from the relation).
// Buttons are named by their text.
void NameInputs(const std::vector<BuiltControl>& controls) {
  for (const BuiltControl& c : controls) {
    const ControlClass kind = c.source->kind;
    if (kind != ControlClass::kEdit && kind != ControlClass::kComboBox &&
        kind != ControlClass::kListView) {
      continue;
    }
    QString name = NameOfUnlabelled(c.source->id);
    if (name.isEmpty()) {
      QWidget* label = LabelOf(c, controls);
      if (auto* text = qobject_cast<QLabel*>(label)) {
        text->setBuddy(c.widget);
        name = text->text();
      } else if (auto* check = qobject_cast<QCheckBox*>(label)) {
        name = check->text();
      }
    }
    if (!name.isEmpty() && c.widget->accessibleName().isEmpty()) c.widget->setAccessibleName(name);
  }
}

// A combo box's template height includes its drop-down list; the box itself is
// as tall as the style makes it.
QRect PlaceOf(const ControlTemplate& c, QWidget* widget, const DialogUnits& units) {
  QRect rect = units.ToPixels(c.x, c.y, c.width, c.height);
  if (c.kind == ControlClass::kComboBox) {
    rect.setHeight(std::min(rect.height(), widget->sizeHint().height()));
  }
  return rect;
}

}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int width = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  baseX_ = std::max(1, (width / 26 + 1) / 2);
  baseY_ = std::max(1, metrics.height());
}

QRect DialogUnits::ToPixels(int x, int y, int width, int height) const {
  const int left = ToPixelsX(x);
  const int top = ToPixelsY(y);
  return QRect(left, top, ToPixelsX(x + width) - left, ToPixelsY(y + height) - top);
}

QFont TemplateFont(const res::DialogTemplate& dialogTemplate) {
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  if (qstrcmp(dialogTemplate.fontName, "MS Shell Dlg") != 0) {
    font.setFamily(QString::fromUtf8(dialogTemplate.fontName));
  }
  if (dialogTemplate.fontPointSize > 0) font.setPointSize(dialogTemplate.fontPointSize);
  return font;
}

std::vector<BuiltControl> BuildControls(const res::DialogTemplate& dialogTemplate, QWidget* canvas,
                                        const DialogUnits& units, const ControlFactory& factory) {
  std::vector<BuiltControl> built;
  QWidget* previous = nullptr;
  for (const ControlTemplate& c : dialogTemplate.controls) {
    QWidget* widget = factory ? factory(c, canvas) : nullptr;
    if (widget == nullptr) widget = MakeStandard(c, canvas);
    widget->setGeometry(PlaceOf(c, widget, units));
    widget->setEnabled((c.style & WS_DISABLED) == 0);
    widget->setFocusPolicy((c.style & WS_TABSTOP) ? Qt::StrongFocus : Qt::ClickFocus);
    if (qobject_cast<QLabel*>(widget)) widget->setFocusPolicy(Qt::NoFocus);
    // The input-panel control has nothing to do on a desktop: it stays hidden.
    const bool visible = (c.style & WS_VISIBLE) != 0 && c.kind != ControlClass::kSipPref;
    widget->setVisible(visible);
    widget->setObjectName(c.id == IDC_STATIC ? QString() : QStringLiteral("control%1").arg(c.id));
    if ((c.style & WS_TABSTOP) && previous) QWidget::setTabOrder(previous, widget);
    if (c.style & WS_TABSTOP) previous = widget;
    built.push_back({&c, widget});
  }
  NameInputs(built);
  return built;
}

GrowingCanvas::GrowingCanvas(QSize templateSize, QWidget* parent)
    : QWidget(parent), base_(templateSize) {
  setMinimumSize(templateSize);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  resize(templateSize);
}

void GrowingCanvas::Anchor(QWidget* growing, const std::vector<BuiltControl>& controls) {
  growing_ = growing;
  others_.clear();
  if (growing_ == nullptr) return;
  growingBase_ = growing_->geometry();
  for (const BuiltControl& control : controls) {
    if (control.widget == growing_) continue;
    const QRect base = control.widget->geometry();
    others_.push_back({control.widget, base, base.top() > growingBase_.bottom(),
                       base.left() > growingBase_.right()});
  }
}

void GrowingCanvas::resizeEvent(QResizeEvent*) {
  if (growing_ == nullptr) return;
  const int gainedX = std::max(0, width() - base_.width());
  const int gainedY = std::max(0, height() - base_.height());
  growing_->setGeometry(growingBase_.adjusted(0, 0, gainedX, gainedY));
  for (const Placed& placed : others_) {
    placed.widget->setGeometry(placed.base.translated(placed.followsRight ? gainedX : 0,
                                                      placed.followsBottom ? gainedY : 0));
  }
}

void SetBoldFont(QWidget* control) {
  if (control == nullptr) return;
  QFont font = control->font();
  font.setWeight(QFont::Bold);
  control->setFont(font);
}

}  // namespace halvern::ui
