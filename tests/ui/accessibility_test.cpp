// What assistive technologies learn from the windows, read through Qt's
// accessibility interfaces: the name of every control, the hour cells' hour
// and state (and the event when it changes), and a list row's status.

#include <gtest/gtest.h>

#include <QtGui/QAccessible>
#include <QtTest/QTest>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QAbstractItemView>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QDialogButtonBox>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMenuBar>
#include <QtWidgets/QPushButton>
#include <string>
#include <vector>

#include "about_dlg.h"
#include "button_ex.h"
#include "log_files_dlg.h"
#include "main_window_fixture.h"
#include "notification_dlg.h"
#include "notifications_dlg.h"
#include "proxy_dlg.h"
#include "timetable_dlg.h"
#include "url_dlg.h"

namespace halvern::test {
namespace {

using ui::CButtonEx;
using ui::CTimetableDlg;

QString AccessibleName(QObject* object) {
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object);
  return iface ? iface->text(QAccessible::Name) : QString();
}

// The controls of `window` that a user can reach or act on, and have no
// accessible name; each as "<class> <object name>".
std::vector<std::string> UnnamedControls(QWidget* window) {
  std::vector<std::string> unnamed;
  for (QWidget* w : window->findChildren<QWidget*>()) {
    if (!w->isVisibleTo(window)) continue;
    const bool control = w->focusPolicy() != Qt::NoFocus || qobject_cast<QAbstractButton*>(w) ||
                         qobject_cast<QComboBox*>(w) || qobject_cast<QLineEdit*>(w) ||
                         qobject_cast<QAbstractItemView*>(w) || qobject_cast<QMenuBar*>(w);
    // The parts of a list (its viewport, scroll bars and header) belong to it.
    if (!control || qobject_cast<QAbstractItemView*>(w->parentWidget()) ||
        (w->parentWidget() &&
         qobject_cast<QAbstractItemView*>(w->parentWidget()->parentWidget()))) {
      continue;
    }
    if (AccessibleName(w).trimmed().isEmpty()) {
      unnamed.push_back(std::string(w->metaObject()->className()) + " " +
                        w->objectName().toStdString());
    }
  }
  return unnamed;
}

class AccessibilityTest : public MainWindowTest {};

TEST_F(AccessibilityTest, HourCellsNameTheirHourInEveryLabelStyle) {
  struct Case {
    int style;
    int hour;
    const char* name;
  };
  const Case cases[] = {
      {0, 0, "12am, 0:00 to 0:59"},  {0, 9, "9, 9:00 to 9:59"}, {0, 12, "12pm, 12:00 to 12:59"},
      {0, 23, "11, 23:00 to 23:59"}, {1, 0, "0, 0:00 to 0:59"}, {1, 17, "17, 17:00 to 17:59"},
      {7, 5, "5:00 to 5:59"},  // no style chosen: the cells show no label
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("style " + std::to_string(c.style) + ", hour " + std::to_string(c.hour));
    CTimetableDlg dlg;
    dlg.labelStyle = c.style;
    dlg.Create();
    EXPECT_EQ(AccessibleName(dlg.Cell(c.hour)), QString::fromUtf8(c.name));
  }

  // Switching the style renames the cells.
  CTimetableDlg dlg;
  dlg.labelStyle = 0;
  dlg.Create();
  dlg.show();
  auto* styles = dlg.Control<QComboBox>(res::IDC_TIMETABLE_LABELS);
  ChooseComboItem(styles, 1);
  EXPECT_EQ(AccessibleName(dlg.Cell(13)), QStringLiteral("13, 13:00 to 13:59"));
}

// Qt gives a checkable button the check box role, which screen readers read
// as a toggle with its state. (The offscreen platform has no accessibility
// bridge, so the change events themselves cannot be seen here; the state that
// a bridge would be told is read instead.)
TEST_F(AccessibilityTest, HourCellsAreTogglesWhoseCheckedStateIsTheEnabledHour) {
  CTimetableDlg dlg;
  dlg.hourMask = 0x00000401;  // hours 0 and 10
  dlg.Create();
  dlg.show();
  for (int hour = 0; hour < ui::kHourCount; ++hour) {
    QAccessibleInterface* cell = QAccessible::queryAccessibleInterface(dlg.Cell(hour));
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(cell->role(), QAccessible::CheckBox) << hour;
    EXPECT_TRUE(cell->state().checkable) << hour;
    EXPECT_EQ(cell->state().checked != 0, hour == 0 || hour == 10) << hour;
  }

  // A click and the space bar each toggle a cell, and its state follows.
  CButtonEx* ten = dlg.Cell(10);
  CButtonEx* three = dlg.Cell(3);
  QTest::mouseClick(ten, Qt::LeftButton);
  three->setFocus();
  QTest::keyClick(three, Qt::Key_Space);
  EXPECT_EQ(ten->GetOn(), 0);
  EXPECT_EQ(three->GetOn(), 1);
  EXPECT_FALSE(QAccessible::queryAccessibleInterface(ten)->state().checked);
  EXPECT_TRUE(QAccessible::queryAccessibleInterface(three)->state().checked);
  // Pressing the toggle through the accessible action flips it as a click does.
  QAccessibleInterface* four = QAccessible::queryAccessibleInterface(dlg.Cell(4));
  ASSERT_NE(four->actionInterface(), nullptr);
  four->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
  EXPECT_EQ(dlg.Cell(4)->GetOn(), 1);
  EXPECT_TRUE(four->state().checked);

  // What a screen reader was told is what OK stores.
  dlg.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
  EXPECT_EQ(dlg.hourMask, static_cast<std::int32_t>(0x00000019));
}

TEST_F(AccessibilityTest, AListRowsAccessibleTextSaysItsStatus) {
  StoreEntry(u"Blog", u"http://127.0.0.1:9/blog");
  StoreEntry(u"Shop", u"http://127.0.0.1:9/shop");
  Open();
  QAccessibleInterface* table = QAccessible::queryAccessibleInterface(list());
  ASSERT_NE(table, nullptr);
  ASSERT_NE(table->tableInterface(), nullptr);
  auto rowText = [&](int row) {
    QAccessibleInterface* cell = table->tableInterface()->cellAt(row, 0);
    return cell ? cell->text(QAccessible::Name) : QString();
  };
  // A new row has not been checked.
  EXPECT_EQ(rowText(0), QStringLiteral("Blog, not checked"));
  struct Case {
    int image;
    const char* text;
  };
  const Case cases[] = {
      {1, "Shop, checking"}, {2, "Shop, passed"}, {3, "Shop, failed"}, {0, "Shop, not checked"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    list()->SetItemImage(1, c.image);
    EXPECT_EQ(rowText(1), QString::fromUtf8(c.text));
    EXPECT_EQ(rowText(0), QStringLiteral("Blog, not checked"));
  }
  // The visible text of the cell stays the title alone.
  EXPECT_EQ(list()->ItemText(1), QStringLiteral("Shop"));
}

TEST_F(AccessibilityTest, EveryControlOfEveryWindowHasAName) {
  auto expectNamed = [](const char* window, QWidget* w) {
    const auto unnamed = UnnamedControls(w);
    std::string text;
    for (const auto& u : unnamed) text += "\n  " + u;
    EXPECT_TRUE(unnamed.empty()) << window << " has controls without a name:" << text;
  };
  ui::CMainDlg& main = Open();
  expectNamed("main window", &main);

  CTimetableDlg timetable;
  timetable.Create();
  expectNamed("timetable", &timetable);
  ui::CUrlDlg url;
  url.Create();
  expectNamed("URL editor", &url);
  ui::CProxyDlg proxy;
  proxy.Create();
  expectNamed("proxy settings", &proxy);
  ui::CNotificationsDlg notifications(sound_, leds_);
  notifications.Create();
  expectNamed("alert settings", &notifications);
  ui::CLogFilesDlg log(temp_.store());
  log.Create();
  expectNamed("log viewer", &log);
  ui::CAboutDlg about;
  about.Create();
  expectNamed("about", &about);
  ui::CNotificationDlg popup(main, temp_.store(), clock_);
  popup.Create();
  expectNamed("alert popup", &popup);
}

// An input control is named by the text beside or above it, and a static
// text is announced as its label.
TEST_F(AccessibilityTest, InputControlsAreNamedAndLabelledByTheirTexts) {
  ui::CProxyDlg proxy;
  proxy.Create();
  ui::CNotificationsDlg notifications(sound_, leds_);
  notifications.Create();
  CTimetableDlg timetable;
  timetable.Create();
  struct Case {
    ui::CDialog* dialog;
    int id;
    const char* name;   // the accessible name set on the control
    const char* label;  // the static text that labels it; nullptr: none
  };
  const Case cases[] = {
      {&proxy, res::IDC_PROXY_ADDRESS, "Address", "Address"},
      {&proxy, res::IDC_PROXY_PORT, "Port", "Port"},
      {&notifications, res::IDC_NOTIFY_REPEAT, "Repeat notification:", "Repeat notification:"},
      {&notifications, res::IDC_NOTIFY_SOUND_FILE, "Sound:", nullptr},  // named by its check box
      {&timetable, res::IDC_TIMETABLE_FREQUENCY, "Check every (min):", "Check every (min):"},
      {&timetable, res::IDC_TIMETABLE_LABELS, "Hour labels", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QWidget* control = c.dialog->GetDlgItem(c.id);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->accessibleName(), QString::fromUtf8(c.name));
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(control);
    QString label;
    for (const auto& [other, relation] : iface->relations(QAccessible::Label)) {
      label = other->text(QAccessible::Name);
    }
    EXPECT_EQ(label, c.label ? QString::fromUtf8(c.label) : QString());
  }
}

}  // namespace
}  // namespace halvern::test
