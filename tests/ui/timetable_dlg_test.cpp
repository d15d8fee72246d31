// The timetable dialog on its own: the hour cells (toggle, colours, pushed
// frame, labels), the frequency's integer rule and the hour mask at OK.

#include <gtest/gtest.h>

#include <QtTest/QTest>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QDialogButtonBox>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPushButton>

#include "button_ex.h"
#include "timetable_dlg.h"
#include "ui_test_util.h"

namespace halvern::test {
namespace {

using namespace halvern::res;
using ui::CButtonEx;
using ui::CTimetableDlg;

const QColor kGreen(0, 255, 0);
const QColor kRed(255, 0, 0);

// The colour a cell paints just inside its 2-pixel frame.
QColor FillColour(CButtonEx* cell) { return cell->grab().toImage().pixelColor(3, 3); }

class TimetableDlgTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetMessageBoxes(); }
  void TearDown() override { ui::MessageBoxScript::Reset(); }

  // Opens a dialog with these members, as the Timetable command does.
  CTimetableDlg& Open(std::int32_t mask, std::int32_t style = 0, std::int32_t frequency = 45) {
    dlg_ = std::make_unique<CTimetableDlg>();
    dlg_->hourMask = mask;
    dlg_->labelStyle = style;
    dlg_->frequency = frequency;
    dlg_->Create();
    dlg_->show();
    return *dlg_;
  }
  void ClickOk() { dlg_->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click(); }
  QComboBox* Styles() { return dlg_->Control<QComboBox>(IDC_TIMETABLE_LABELS); }
  QLineEdit* FrequencyField() { return dlg_->Control<QLineEdit>(IDC_TIMETABLE_FREQUENCY); }
  std::vector<QString> Labels() {
    std::vector<QString> labels;
    for (int hour = 0; hour < ui::kHourCount; ++hour) labels.push_back(dlg_->Cell(hour)->text());
    return labels;
  }
  std::vector<int> Flags() {
    std::vector<int> flags;
    for (int hour = 0; hour < ui::kHourCount; ++hour) flags.push_back(dlg_->Cell(hour)->GetOn());
    return flags;
  }

  std::unique_ptr<CTimetableDlg> dlg_;
};

std::vector<QString> Strings(std::initializer_list<const char*> texts) {
  std::vector<QString> strings;
  for (const char* text : texts) strings.push_back(QString::fromUtf8(text));
  return strings;
}

const std::vector<QString> kTwelveHourLabels =
    Strings({"12am", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11",
             "12pm", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"});
const std::vector<QString> kTwentyFourHourLabels =
    Strings({"0",  "1",  "2",  "3",  "4",  "5",  "6",  "7",  "8",  "9",  "10", "11",
             "12", "13", "14", "15", "16", "17", "18", "19", "20", "21", "22", "23"});

TEST_F(TimetableDlgTest, DefaultsShowAllHoursOnInTheTwelveHourStyle) {
  CTimetableDlg& dlg = Open(-1);
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Schedule"));
  EXPECT_EQ(FrequencyField()->text(), QStringLiteral("45"));
  ASSERT_EQ(Styles()->count(), 2);
  EXPECT_EQ(Styles()->itemText(0), QStringLiteral("12 hours"));
  EXPECT_EQ(Styles()->itemText(1), QStringLiteral("24 hours"));
  EXPECT_EQ(Styles()->currentIndex(), 0);
  EXPECT_EQ(Labels(), kTwelveHourLabels);
  for (int hour = 0; hour < ui::kHourCount; ++hour) {
    SCOPED_TRACE(hour);
    EXPECT_EQ(dlg.Cell(hour)->GetOn(), 1);
    EXPECT_EQ(FillColour(dlg.Cell(hour)), kGreen);
  }
  ClickOk();
  EXPECT_EQ(dlg.result(), IDOK);
  EXPECT_EQ(dlg.frequency, 45);
  EXPECT_EQ(dlg.labelStyle, 0);
  EXPECT_EQ(dlg.hourMask, -1);
}

TEST_F(TimetableDlgTest, CellsSitInASixByFourGridByHour) {
  CTimetableDlg& dlg = Open(-1);
  for (int hour = 0; hour < ui::kHourCount; ++hour) {
    SCOPED_TRACE(hour);
    const QRect expected = dlg.units().ToPixels(7 + 24 * (hour % 6), 26 + 22 * (hour / 6), 21, 19);
    EXPECT_EQ(dlg.Cell(hour)->geometry(), expected);
    EXPECT_EQ(dlg.Cell(hour), dlg.GetDlgItem(IDC_TIMETABLE_HOUR0 + hour));
  }
}

TEST_F(TimetableDlgTest, MaskBitsBecomeCellFlagsAndBackAtOk) {
  // Bits 24 to 31 are never shown or changed: each mask must come back as it
  // went in when no cell is touched.
  for (const std::int32_t mask :
       {0, -1, 1024, 0x00FFFFFF, static_cast<std::int32_t>(0xA5000000), 0x5A00F0F0}) {
    SCOPED_TRACE(mask);
    CTimetableDlg& dlg = Open(mask);
    for (int hour = 0; hour < ui::kHourCount; ++hour) {
      EXPECT_EQ(dlg.Cell(hour)->GetOn(), (mask >> hour) & 1) << hour;
      EXPECT_EQ(FillColour(dlg.Cell(hour)), (mask >> hour) & 1 ? kGreen : kRed) << hour;
    }
    ClickOk();
    EXPECT_EQ(dlg.hourMask, mask);
  }
}

TEST_F(TimetableDlgTest, ToggledCellsChangeOnlyTheirBits) {
  struct Case {
    std::int32_t mask;
    std::vector<int> clicked;
    std::int32_t expected;
  };
  const Case cases[] = {
      {0, {10}, 1024},
      {-1, {0}, -2},  // the default with hour 0 off: 0xFFFFFFFE
      {static_cast<std::int32_t>(0xA5000000), {0, 23}, static_cast<std::int32_t>(0xA5800001)},
      {0x7F00FFFF, {3, 3}, 0x7F00FFFF},  // two clicks: back on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mask);
    CTimetableDlg& dlg = Open(c.mask);
    for (int hour : c.clicked) QTest::mouseClick(dlg.Cell(hour), Qt::LeftButton);
    ClickOk();
    EXPECT_EQ(dlg.hourMask, c.expected);
  }
}

TEST_F(TimetableDlgTest, CellTogglesOncePerClickAndLooksPushedWhileHeld) {
  CTimetableDlg& dlg = Open(-1);
  CButtonEx* cell = dlg.Cell(7);
  const QImage released = cell->grab().toImage();

  QTest::mousePress(cell, Qt::LeftButton);
  EXPECT_TRUE(cell->isDown());
  EXPECT_EQ(cell->GetOn(), 1) << "a press alone changes nothing";
  const QImage held = cell->grab().toImage();
  EXPECT_NE(held.pixelColor(0, 0), released.pixelColor(0, 0)) << "the frame looks pushed";
  EXPECT_EQ(held.pixelColor(3, 3), kGreen);

  QTest::mouseRelease(cell, Qt::LeftButton);
  EXPECT_FALSE(cell->isDown());
  EXPECT_EQ(cell->GetOn(), 0);
  const QImage after = cell->grab().toImage();
  EXPECT_EQ(after.pixelColor(0, 0), released.pixelColor(0, 0));
  EXPECT_EQ(after.pixelColor(3, 3), kRed);

  // A press released outside the cell is no click.
  QTest::mousePress(cell, Qt::LeftButton);
  QTest::mouseRelease(cell, Qt::LeftButton, {}, QPoint(cell->width() + 20, cell->height() + 20));
  EXPECT_EQ(cell->GetOn(), 0);
  QTest::mouseClick(cell, Qt::LeftButton);
  EXPECT_EQ(cell->GetOn(), 1);
}

TEST_F(TimetableDlgTest, TabReachesTheCellsAndTheFocusedCellShowsIt) {
  CTimetableDlg& dlg = Open(0x0000FFFF);
  dlg.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
  const QImage unfocused = dlg.Cell(0)->grab().toImage();
  Styles()->setFocus(Qt::TabFocusReason);
  QTest::keyClick(Styles(), Qt::Key_Tab);
  ASSERT_EQ(QApplication::focusWidget(), dlg.Cell(0));
  const QImage focused = dlg.Cell(0)->grab().toImage();
  EXPECT_NE(focused, unfocused);
  EXPECT_EQ(FillColour(dlg.Cell(0)), kGreen);
  // The mark goes with the focus, and Space toggles the focused cell.
  QTest::keyClick(dlg.Cell(0), Qt::Key_Tab);
  ASSERT_EQ(QApplication::focusWidget(), dlg.Cell(1));
  EXPECT_EQ(dlg.Cell(0)->grab().toImage(), unfocused);
  QTest::keyClick(dlg.Cell(1), Qt::Key_Space);
  EXPECT_EQ(dlg.Cell(1)->GetOn(), 0);
}

TEST_F(TimetableDlgTest, StyleChangeRelabelsAndKeepsEverythingElse) {
  CTimetableDlg& dlg = Open(0x00F0F0F0, 0, 30);
  QTest::mouseClick(dlg.Cell(0), Qt::LeftButton);
  FrequencyField()->setText(QStringLiteral("20"));
  const std::vector<int> flags = Flags();
  std::vector<QColor> colours;
  for (int hour = 0; hour < ui::kHourCount; ++hour) colours.push_back(FillColour(dlg.Cell(hour)));

  ChooseComboItem(Styles(), 1);
  EXPECT_EQ(Labels(), kTwentyFourHourLabels);
  EXPECT_EQ(Flags(), flags);
  for (int hour = 0; hour < ui::kHourCount; ++hour) {
    EXPECT_EQ(FillColour(dlg.Cell(hour)), colours[hour]) << hour;
  }
  EXPECT_EQ(FrequencyField()->text(), QStringLiteral("20"));
  EXPECT_EQ(dlg.hourMask, 0x00F0F0F0) << "the mask is brought up to date only at OK";

  ChooseComboItem(Styles(), 0);
  EXPECT_EQ(Labels(), kTwelveHourLabels);
  EXPECT_EQ(Flags(), flags);
  ClickOk();
  EXPECT_EQ(dlg.labelStyle, 0);
  EXPECT_EQ(dlg.frequency, 20);
  EXPECT_EQ(dlg.hourMask, 0x00F0F0F1);
}

TEST_F(TimetableDlgTest, UnknownStyleShowsNoSelectionAndNoLabels) {
  for (const std::int32_t style : {2, -1, 77}) {
    SCOPED_TRACE(style);
    CTimetableDlg& dlg = Open(-1, style);
    EXPECT_EQ(Styles()->currentIndex(), -1);
    EXPECT_EQ(Labels(), std::vector<QString>(ui::kHourCount));
    EXPECT_EQ(FillColour(dlg.Cell(5)), kGreen);
    ClickOk();
    EXPECT_EQ(dlg.labelStyle, -1);
  }
  CTimetableDlg& dlg = Open(-1, 5);
  ChooseComboItem(Styles(), 1);
  EXPECT_EQ(Labels(), kTwentyFourHourLabels);
  ClickOk();
  EXPECT_EQ(dlg.labelStyle, 1);
}

TEST_F(TimetableDlgTest, FrequencyFollowsTheIntegerRule) {
  const std::pair<const char*, int> accepted[] = {
      {"0", 0}, {"-5", -5}, {"15min", 15}, {"  90", 90}, {"+7", 7}};
  for (const auto& [text, value] : accepted) {
    SCOPED_TRACE(text);
    CTimetableDlg& dlg = Open(-1);
    FrequencyField()->setText(QString::fromUtf8(text));
    ClickOk();
    EXPECT_EQ(dlg.result(), IDOK);
    EXPECT_EQ(dlg.frequency, value);
  }
  EXPECT_TRUE(ui::MessageBoxScript::TakeShown().empty());
}

TEST_F(TimetableDlgTest, FrequencyWithoutANumberKeepsTheDialogOpen) {
  for (const char* text : {"", "min", " ", "-"}) {
    SCOPED_TRACE(text);
    CTimetableDlg& dlg = Open(-1, 0, 45);
    QTest::mouseClick(dlg.Cell(2), Qt::LeftButton);
    FrequencyField()->setText(QString::fromUtf8(text));
    ClickOk();
    const auto shown = ui::MessageBoxScript::TakeShown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, QStringLiteral("Please enter an integer."));
    EXPECT_EQ(shown[0].flags, ui::MB_OK | ui::MB_ICONEXCLAMATION);
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_NE(dlg.result(), IDOK);
    EXPECT_EQ(dlg.focusWidget(), FrequencyField());
    EXPECT_EQ(dlg.frequency, 45);
    // A second OK with a number goes through and maps the cells once more.
    FrequencyField()->setText(QStringLiteral("10"));
    ClickOk();
    EXPECT_EQ(dlg.result(), IDOK);
    EXPECT_EQ(dlg.frequency, 10);
    EXPECT_EQ(dlg.hourMask, ~(1 << 2));
  }
}

TEST_F(TimetableDlgTest, CancelHandsNothingBack) {
  CTimetableDlg& dlg = Open(0x0F0F0F0F, 1, 45);
  QTest::mouseClick(dlg.Cell(4), Qt::LeftButton);
  FrequencyField()->setText(QStringLiteral("5"));
  ChooseComboItem(Styles(), 0);
  dlg.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
  EXPECT_EQ(dlg.result(), IDCANCEL);
  EXPECT_EQ(dlg.hourMask, 0x0F0F0F0F);
  EXPECT_EQ(dlg.frequency, 45);
  EXPECT_EQ(dlg.labelStyle, 1);
}

}  // namespace
}  // namespace halvern::test
