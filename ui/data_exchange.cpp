#include "data_exchange.h"

#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <limits>

#include "dialog.h"
#include "message_box.h"

namespace halvern::ui {

std::optional<std::int32_t> ScanInt(const QString& text) {
  qsizetype i = 0;
  const qsizetype n = text.size();
  while (i < n && (text[i] == u' ' || text[i] == u'\t' || text[i] == u'\n' || text[i] == u'\r' ||
                   text[i] == u'\v' || text[i] == u'\f')) {
    ++i;
  }
  bool negative = false;
  if (i < n && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i] == u'-';
    ++i;
  }
  if (i >= n || text[i] < u'0' || text[i] > u'9') return std::nullopt;
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (; i < n && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    magnitude = std::min(kLimit, magnitude * 10 + (text[i].unicode() - u'0'));
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

QWidget* DataExchange::Control(int id) const {
  if (failed_) return nullptr;
  return dialog_.GetDlgItem(id);
}

void DataExchange::Fail(QWidget* field) {
  failed_ = true;
  MessageBox(&dialog_, QStringLiteral("Please enter an integer."), MB_OK | MB_ICONEXCLAMATION);
  field->setFocus(Qt::OtherFocusReason);
  if (auto* edit = qobject_cast<QLineEdit*>(field)) edit->selectAll();
}

void DataExchange::Text(int id, QString& value) {
  QWidget* control = Control(id);
  if (auto* edit = qobject_cast<QLineEdit*>(control)) {
    if (saving_) {
      value = edit->text();
    } else {
      edit->setText(value);
    }
  } else if (auto* label = qobject_cast<QLabel*>(control)) {
    if (saving_) {
      value = label->text();
    } else {
      label->setText(value);
    }
  } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
    if (saving_) {
      value = button->text();
    } else {
      button->setText(value);
    }
  }
}

void DataExchange::Int(int id, std::int32_t& value) {
  auto* edit = qobject_cast<QLineEdit*>(Control(id));
  if (edit == nullptr) return;
  if (!saving_) {
    edit->setText(QString::number(value));
    return;
  }
  if (auto number = ScanInt(edit->text())) {
    value = *number;
  } else {
    Fail(edit);
  }
}

void DataExchange::Check(int id, std::int32_t& value) {
  auto* box = qobject_cast<QCheckBox*>(Control(id));
  if (box == nullptr) return;
  if (saving_) {
    value = box->checkState() == Qt::Checked            ? 1
            : box->checkState() == Qt::PartiallyChecked ? 2
                                                        : 0;
    return;
  }
  switch (value) {
    case 1:
      box->setCheckState(Qt::Checked);
      break;
    case 2:
      box->setCheckState(box->isTristate() ? Qt::PartiallyChecked : Qt::Checked);
      break;
    default:
      box->setCheckState(Qt::Unchecked);
  }
}

void DataExchange::ComboIndex(int id, std::int32_t& value) {
  auto* combo = qobject_cast<QComboBox*>(Control(id));
  if (combo == nullptr) return;
  if (saving_) {
    value = combo->currentIndex();
    return;
  }
  combo->setCurrentIndex(value >= 0 && value < combo->count() ? value : -1);
}

}  // namespace halvern::ui
