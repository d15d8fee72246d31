// The dialog layer: templates as data, the builder, the integer rule of the
// transfer, the menu and the icons.

#include <gtest/gtest.h>

#include <QtGui/QImage>
#include <QtTest/QTest>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPushButton>
#include <set>

#include "dialog.h"
#include "icons.h"
#include "list_view.h"
#include "menu_template.h"
#include "ui_test_util.h"

namespace halvern::test {
namespace {

using namespace halvern::res;

TEST(ScanInt, ReadsLikePercentD) {
  const std::pair<const char*, std::optional<std::int32_t>> cases[] = {
      {"42", 42},
      {"  42", 42},
      {"\t-3x", -3},
      {"+7", 7},
      {"15min", 15},
      {"0", 0},
      {"-0", 0},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"-", std::nullopt},
      {"+ 1", std::nullopt},
      {"x1", std::nullopt},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"2147483648", 2147483647},
      {"-99999999999", -2147483647 - 1},
  };
  for (const auto& [text, value] : cases) {
    EXPECT_EQ(ui::ScanInt(QString::fromUtf8(text)), value) << '"' << text << '"';
  }
}

TEST(DialogTemplates, EveryTemplateIsWhole) {
  const std::pair<int, const char*> templates[] = {{IDD_MAIN, "Velmora Halvern"},
                                                   {IDD_URL, "Edit URL"},
                                                   {IDD_LOG_FILES, "Log Files"},
                                                   {IDD_NOTIFICATION, "Velmora Notifications"},
                                                   {IDD_ABOUT, "About Velmora Halvern"}};
  for (const auto& [id, caption] : templates) {
    SCOPED_TRACE(id);
    const DialogTemplate* t = FindDialogTemplate(id);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->caption, caption);
    EXPECT_STREQ(t->fontName, "MS Shell Dlg");
    EXPECT_EQ(t->fontPointSize, 8);
    std::set<int> ids;
    bool hasSipPref = false;
    for (const ControlTemplate& c : t->controls) {
      if (c.id != IDC_STATIC) {
        EXPECT_TRUE(ids.insert(c.id).second) << "duplicate id " << c.id;
      }
      hasSipPref = hasSipPref || (c.kind == ControlClass::kSipPref && c.id == IDC_SIPPREF);
      EXPECT_LE(c.x + c.width, t->width) << c.id;
      // A combo box's height includes its drop-down list.
      if (c.kind != ControlClass::kComboBox) {
        EXPECT_LE(c.y + c.height, t->height) << c.id;
      }
    }
    EXPECT_TRUE(hasSipPref);
  }
  EXPECT_EQ(FindDialogTemplate(4242), nullptr);
}

TEST(DialogBuilder, PlacesControlsInDialogUnitsAndHidesTheInputPanelControl) {
  ui::CDialog dialog(IDD_URL);
  dialog.Create();
  dialog.show();
  const ui::DialogUnits& units = dialog.units();
  EXPECT_GT(units.ToPixelsX(4), 0);
  QWidget* title = dialog.GetDlgItem(1008);
  ASSERT_NE(qobject_cast<QLineEdit*>(title), nullptr);
  EXPECT_EQ(title->geometry(), units.ToPixels(32, 21, 117, 12));
  EXPECT_EQ(dialog.canvas()->size(), QSize(units.ToPixelsX(156), units.ToPixelsY(169)));
  // Only the windows that show lists grow; this one keeps its template's size.
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
  EXPECT_NE(qobject_cast<QCheckBox*>(dialog.GetDlgItem(1001)), nullptr);
  EXPECT_FALSE(dialog.GetDlgItem(IDC_SIPPREF)->isVisible());
  EXPECT_EQ(dialog.GetDlgItem(4242), nullptr);
  // The dialog font decides the unit: a larger font gives larger dialogs.
  QFont big = dialog.font();
  big.setPointSize(16);
  EXPECT_GT(ui::DialogUnits(big).ToPixelsX(100), units.ToPixelsX(100));
}

TEST(DialogBuilder, EscapeAndTheCloseButtonCancel) {
  ResetMessageBoxes();
  for (int way = 0; way < 2; ++way) {
    ui::CDialog dialog(IDD_ABOUT);
    dialog.Create();
    dialog.show();
    if (way == 0) {
      QTest::keyClick(&dialog, Qt::Key_Escape);
    } else {
      dialog.close();
    }
    EXPECT_EQ(dialog.result(), IDCANCEL);
    EXPECT_FALSE(dialog.isVisible());
  }
}

class CheckDialog : public ui::CDialog {
 public:
  CheckDialog() : CDialog(IDD_URL) {}
  std::int32_t enabled = 1;
  std::int32_t size = 0;

 protected:
  void DoDataExchange(ui::DataExchange& dx) override {
    dx.Int(1012, size);
    dx.Check(1001, enabled);
  }
};

TEST(DataExchange, CheckBoxOutsideItsStatesIsWrittenCleared) {
  CheckDialog dialog;
  dialog.Create();
  auto* box = dialog.Control<QCheckBox>(1001);
  for (const auto& [value, checked] : {std::pair{1, true}, {0, false}, {5, false}, {-1, false}}) {
    dialog.enabled = value;
    dialog.UpdateData(false);
    EXPECT_EQ(box->isChecked(), checked) << value;
  }
  box->setChecked(true);
  dialog.Control<QLineEdit>(1012)->setText(QStringLiteral("12"));
  ASSERT_TRUE(dialog.UpdateData(true));
  EXPECT_EQ(dialog.enabled, 1);
  EXPECT_EQ(dialog.size, 12);
}

TEST(Menu, MainMenuHoldsEveryCommand) {
  const auto menu = FindMenu(IDR_MAIN_MENU);
  ASSERT_EQ(menu.size(), 1u);
  EXPECT_STREQ(menu[0].text, "Menu");
  std::vector<int> ids;
  std::function<void(std::span<const MenuItem>)> walk = [&](std::span<const MenuItem> items) {
    for (const MenuItem& item : items) {
      if (!item.popup.empty())
        walk(item.popup);
      else if (item.text)
        ids.push_back(item.id);
    }
  };
  walk(menu[0].popup);
  EXPECT_EQ(ids,
            (std::vector<int>{1005, 1008, 1009, ID_EXPORT, ID_IMPORT, ID_HISTORY, 1000, 1006, 1002,
                              1004, 1010, 32779, ID_BACK_UP_STORE, 32778, 32774, 32776, 1035}));
}

TEST(Icons, EveryIconDrawsSomething) {
  for (int id : {IDI_APP, IDI_STATUS_FAILED, IDI_STATUS_BUSY, IDI_STATUS_IDLE, IDI_STATUS_PASSED,
                 IDI_ALERT, IDI_TRAY_WARNING}) {
    SCOPED_TRACE(id);
    const QIcon icon = ui::LoadResIcon(id);
    ASSERT_FALSE(icon.isNull());
    const QImage image = icon.pixmap(16, 16).toImage();
    int opaque = 0;
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) opaque += qAlpha(image.pixel(x, y)) > 128;
    }
    EXPECT_GT(opaque, 20);
    EXPECT_LT(opaque, 16 * 16);  // with a transparent background
  }
  EXPECT_TRUE(ui::LoadResIcon(4242).isNull());
}

// A sorted list places each row by its text without regard to case, whatever
// order the rows come in; a row equal to others goes after them.
TEST(ListView, SortedListPlacesEveryRowInOrder) {
  ui::ListView list(res::LVS_REPORT | res::LVS_SORTASCENDING);
  list.InsertColumn(0, QStringLiteral("Title"), 100);
  const char* incoming[] = {"m", "B", "z", "a", "M", "c", "b", "Zz", "A", "n", "m", "y"};
  std::vector<int> placed;
  for (const char* text : incoming)
    placed.push_back(list.InsertItem(65535, QString::fromLatin1(text), 0));
  std::vector<QString> rows;
  for (int row = 0; row < list.ItemCount(); ++row) rows.push_back(list.ItemText(row));
  const std::vector<QString> expected = {
      QStringLiteral("a"), QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("b"),
      QStringLiteral("c"), QStringLiteral("m"), QStringLiteral("M"), QStringLiteral("m"),
      QStringLiteral("n"), QStringLiteral("y"), QStringLiteral("z"), QStringLiteral("Zz")};
  EXPECT_EQ(rows, expected);
  // The index returned is where the row went at the time of its insertion.
  EXPECT_EQ(placed[0], 0);   // "m" into an empty list
  EXPECT_EQ(placed[3], 0);   // "a" before everything
  EXPECT_EQ(placed[4], 3);   // "M" after "a", "B", "m"
  EXPECT_EQ(placed[10], 7);  // the second "m" after "m" and "M"
}

}  // namespace
}  // namespace halvern::test
