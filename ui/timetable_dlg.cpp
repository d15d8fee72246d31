#include "timetable_dlg.h"

#include <QtWidgets/QComboBox>

#include "button_ex.h"
#include "scheduler.h"

namespace halvern::ui {
namespace {

constexpr int kTwelveHours = 0;
constexpr int kTwentyFourHours = 1;

bool IsHourCell(int id) {
  return id >= res::IDC_TIMETABLE_HOUR0 && id < res::IDC_TIMETABLE_HOUR0 + kHourCount;
}

}  // namespace

QString HourLabel(int style, int hour) {
  if (style == kTwentyFourHours) return QString::number(hour);
  if (style != kTwelveHours) return QString();
  if (hour == 0) return QStringLiteral("12am");
  if (hour == 12) return QStringLiteral("12pm");
  return QString::number(hour < 12 ? hour : hour - 12);
}

CTimetableDlg::CTimetableDlg(QWidget* owner) : CDialog(res::IDD_TIMETABLE, owner) {
  MapSelChange(res::IDC_TIMETABLE_LABELS, [this] { LabelCells(); });
}

QWidget* CTimetableDlg::CreateControl(const res::ControlTemplate& control, QWidget* parent) {
  if (!IsHourCell(control.id)) return nullptr;
  return new CButtonEx(QString::fromUtf8(control.text), parent);
}

CButtonEx* CTimetableDlg::Cell(int hour) {
  return Control<CButtonEx>(res::IDC_TIMETABLE_HOUR0 + hour);
}

bool CTimetableDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  auto* styles = Control<QComboBox>(res::IDC_TIMETABLE_LABELS);
  styles->addItem(QStringLiteral("12 hours"));
  styles->addItem(QStringLiteral("24 hours"));
  // Adding to an empty list selects its first item; show the stored style
  // instead, or nothing for a style the list does not hold.
  styles->setCurrentIndex(labelStyle >= 0 && labelStyle < styles->count() ? labelStyle : -1);
  for (int hour = 0; hour < kHourCount; ++hour) {
    Cell(hour)->SetOn(IsHourEnabled(hourMask, hour) ? 1 : 0);
  }
  LabelCells();
  return true;
}

void CTimetableDlg::DoDataExchange(DataExchange& dx) {
  dx.Int(res::IDC_TIMETABLE_FREQUENCY, frequency);
  dx.ComboIndex(res::IDC_TIMETABLE_LABELS, labelStyle);
}

void CTimetableDlg::LabelCells() {
  const int style = Control<QComboBox>(res::IDC_TIMETABLE_LABELS)->currentIndex();
  for (int hour = 0; hour < kHourCount; ++hour) {
    const QString label = HourLabel(style, hour);
    Cell(hour)->setText(label);
    // A screen reader names the hour whatever the labels say (none, when no
    // style is chosen); the checked state tells whether it is enabled.
    const QString span = QStringLiteral("%1:00 to %1:59").arg(hour);
    Cell(hour)->setAccessibleName(label.isEmpty() ? span : label + QStringLiteral(", ") + span);
  }
}

void CTimetableDlg::OnOK() {
  for (int hour = 0; hour < kHourCount; ++hour) {
    SetHourEnabled(hourMask, hour, Cell(hour)->GetOn() != 0);
  }
  CDialog::OnOK();
}

}  // namespace halvern::ui
