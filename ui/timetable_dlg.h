#pragma once
// CTimetableDlg: the schedule (template 130). It edits how often addresses are
// checked (Frequency, minutes), which hours of the day scheduled checks may run
// (Timetable, bit i = hour i) and how the 24 hour cells are labelled
// (TimeFormat). The Timetable command sets the members before the run and
// stores them after OK.

#include <QtCore/QString>
#include <cstdint>

#include "dialog.h"

namespace halvern::ui {

class CButtonEx;

inline constexpr int kHourCount = 24;

// The label of hour cell `hour` (0..23) in label style `style`: 0 = "12 hours"
// (12am, 1 .. 11, 12pm, 1 .. 11), 1 = "24 hours" (0 .. 23), anything else empty.
QString HourLabel(int style, int hour);

class CTimetableDlg : public CDialog {
  Q_OBJECT

 public:
  explicit CTimetableDlg(QWidget* owner = nullptr);

  // The Timetable value being edited. Only bits 0..23 are changed, at OK; the
  // other bits keep what was read.
  std::int32_t hourMask = -1;
  std::int32_t frequency = 45;  // minutes; any integer is accepted
  std::int32_t labelStyle = 0;  // selected index of the style list; -1 = none

  // The cell of hour `hour` (0..23).
  CButtonEx* Cell(int hour);

 protected:
  bool OnInitDialog() override;
  void DoDataExchange(DataExchange& dx) override;
  void OnOK() override;
  QWidget* CreateControl(const res::ControlTemplate& control, QWidget* parent) override;

 private:
  void LabelCells();
};

}  // namespace halvern::ui
