#include "dialog.h"

#include <QtGui/QKeyEvent>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QDialogButtonBox>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QMenuBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QVBoxLayout>
#include <algorithm>

#include "list_view.h"
#include "menu_bar.h"

namespace halvern::ui {
namespace {

const res::DialogTemplate& TemplateOf(int id) {
  static const res::DialogTemplate kMissing{0, "", 0, 0, 100, 40, "MS Shell Dlg", 8, {}};
  const res::DialogTemplate* found = res::FindDialogTemplate(id);
  if (found == nullptr) qWarning("dialog template %d is missing", id);
  return found ? *found : kMissing;
}

}  // namespace

CDialog::CDialog(int templateId, QWidget* owner)
    : QDialog(owner),
      templateId_(templateId),
      template_(&TemplateOf(templateId)),
      units_(TemplateFont(*template_)) {
  setFont(TemplateFont(*template_));
  setWindowTitle(QString::fromUtf8(template_->caption));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
}

CDialog::~CDialog() = default;

void CDialog::BuildWidgets() {
  if (built_) return;
  built_ = true;
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->setSizeConstraint(growingId_ != 0 ? QLayout::SetMinimumSize : QLayout::SetFixedSize);
  BuildMenuBar();

  canvas_ = BuildCanvas(layout);
  const auto factory = [this](const res::ControlTemplate& c, QWidget* parent) {
    return CreateControl(c, parent);
  };
  const std::vector<BuiltControl> built = BuildControls(*template_, canvas_, units_, factory);
  for (const BuiltControl& control : built) {
    if (control.source->id == res::IDC_STATIC) continue;
    controls_.emplace(control.source->id, control.widget);
    ConnectControl(control.source->id, control.widget);
    if (auto* button = qobject_cast<QPushButton*>(control.widget); button && noDefaultButton_) {
      button->setAutoDefault(false);
    }
  }
  if (auto* growing = qobject_cast<GrowingCanvas*>(canvas_)) {
    auto it = controls_.find(growingId_);
    growing->Anchor(it == controls_.end() ? nullptr : it->second, built);
  }
  BuildButtonRow();
}

QWidget* CDialog::BuildCanvas(QLayout* layout) {
  const QSize size(units_.ToPixelsX(template_->width), units_.ToPixelsY(template_->height));
  QWidget* canvas = nullptr;
  if (growingId_ != 0) {
    canvas = new GrowingCanvas(size, this);
  } else {
    canvas = new QWidget(this);
    canvas->setFixedSize(size);
  }
  canvas->setObjectName(QStringLiteral("canvas"));
  layout->addWidget(canvas);
  return canvas;
}

void CDialog::BuildMenuBar() {
  if (menuId_ == 0) return;
  menuBar_ = BuildMenu(menuId_, this, [this](int id) { SendCommand(id); });
  layout()->setMenuBar(menuBar_);
}

void CDialog::BuildButtonRow() {
  if (buttonRow_ == ButtonRow::kNone) return;
  buttons_ = new QDialogButtonBox(this);
  buttons_->setObjectName(QStringLiteral("okCancelRow"));
  QPushButton* ok = buttons_->addButton(QDialogButtonBox::Ok);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, [this] { SendCommand(res::IDOK); });
  if (buttonRow_ == ButtonRow::kOkCancel) {
    QPushButton* cancel = buttons_->addButton(QDialogButtonBox::Cancel);
    connect(cancel, &QPushButton::clicked, this, [this] { SendCommand(res::IDCANCEL); });
  }
  auto* row = new QWidget(this);
  auto* rowLayout = new QHBoxLayout(row);
  rowLayout->setContentsMargins(units_.ToPixelsX(7), 0, units_.ToPixelsX(7), units_.ToPixelsY(7));
  // Further buttons stand at the row's left, apart from OK and Cancel.
  for (const auto& [id, text] : rowButtons_) {
    auto* button = new QPushButton(text, row);
    button->setAutoDefault(false);
    controls_[id] = button;
    rowLayout->addWidget(button);
    connect(button, &QPushButton::clicked, this, [this, id = id] { SendCommand(id); });
  }
  rowLayout->addWidget(buttons_, 1);
  layout()->addWidget(row);
}

void CDialog::ConnectControl(int id, QWidget* widget) {
  if (auto* combo = qobject_cast<QComboBox*>(widget)) {
    // Only the user's choice counts as a selection change, as CBN_SELCHANGE.
    connect(combo, &QComboBox::activated, this, [this, id] {
      auto it = selChanges_.find(id);
      if (it == selChanges_.end()) return;
      auto handler = it->second;
      handler();
    });
  } else if (auto* list = qobject_cast<ListView*>(widget)) {
    connect(list, &ListView::cellDoubleClicked, this, [this, id] { RunDoubleClick(id); });
    connect(list, &ListView::rowEntered, this, [this, id] { RunDoubleClick(id); });
    list->SetEnterActivates(doubleClicks_.count(id) != 0);
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    connect(button, &QAbstractButton::clicked, this, [this, id] { SendCommand(id); });
  }
}

void CDialog::RunDoubleClick(int id) {
  auto it = doubleClicks_.find(id);
  if (it == doubleClicks_.end()) return;
  auto handler = it->second;
  handler();
}

void CDialog::Create() {
  BuildWidgets();
  if (initialised_) return;
  initialised_ = true;
  OnInitDialog();
}

int CDialog::DoModal() {
  Create();
  setResult(res::IDCANCEL);
  // Modal to its owner only: the other windows of the program (the alert
  // popup, the tray menu) stay usable while it runs.
  setWindowModality(parentWidget() ? Qt::WindowModal : Qt::ApplicationModal);
  if (template_->style & res::DS_SETFOREGROUND) {
    raise();
    activateWindow();
  }
  exec();
  return result();
}

void CDialog::SizeForListColumns(int id, QSize atLeast) {
  auto* list = Control<ListView>(id);
  if (list == nullptr) return;
  // Besides the list, the window holds the margins the template gives it.
  const int besideList = units_.ToPixelsX(template_->width) - list->width();
  const QSize smallest = minimumSizeHint();
  resize(std::max({atLeast.width(), smallest.width(), besideList + list->WidthForColumns()}),
         std::max(atLeast.height(), smallest.height()));
}

void CDialog::EndDialog(int result) { QDialog::done(result); }

QWidget* CDialog::GetDlgItem(int id) {
  BuildWidgets();
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

bool CDialog::UpdateData(bool saveAndValidate) {
  BuildWidgets();
  DataExchange dx(*this, saveAndValidate);
  DoDataExchange(dx);
  return !dx.failed();
}

bool CDialog::SendCommand(int id, std::intptr_t lParam) {
  if (OnCommandHook(id, lParam)) return true;
  if (auto it = commands_.find(id); it != commands_.end()) {
    auto handler = it->second;  // the handler may change the map
    handler();
    return true;
  }
  if (id == res::IDOK) {
    OnOK();
    return true;
  }
  if (id == res::IDCANCEL) {
    OnCancel();
    return true;
  }
  return false;
}

bool CDialog::OnInitDialog() {
  UpdateData(false);
  return true;
}

void CDialog::DoDataExchange(DataExchange&) {}

void CDialog::OnOK() {
  if (!UpdateData(true)) return;
  EndDialog(res::IDOK);
}

void CDialog::OnCancel() { EndDialog(res::IDCANCEL); }

bool CDialog::OnCommandHook(int, std::intptr_t) { return false; }

QWidget* CDialog::CreateControl(const res::ControlTemplate&, QWidget*) { return nullptr; }

void CDialog::MapCommand(int id, std::function<void()> handler) {
  commands_[id] = std::move(handler);
}

void CDialog::MapSelChange(int id, std::function<void()> handler) {
  selChanges_[id] = std::move(handler);
}

void CDialog::MapDoubleClick(int id, std::function<void()> handler) {
  doubleClicks_[id] = std::move(handler);
  if (auto it = controls_.find(id); it != controls_.end()) {
    if (auto* list = qobject_cast<ListView*>(it->second)) list->SetEnterActivates(true);
  }
}

void CDialog::accept() { SendCommand(res::IDOK); }

void CDialog::reject() { SendCommand(res::IDCANCEL); }

void CDialog::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (!noDefaultButton_ || !enter || (event->modifiers() & ~Qt::KeypadModifier) != 0) {
    QDialog::keyPressEvent(event);
    return;
  }
  // Without a default button Enter reaches the dialog only from controls that
  // do not take it themselves; a focused push button is pressed, else nothing.
  event->accept();
  auto* button = qobject_cast<QPushButton*>(focusWidget());
  if (button && button->isEnabled() && button->isVisible()) button->click();
}

}  // namespace halvern::ui
