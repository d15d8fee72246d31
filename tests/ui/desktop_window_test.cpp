// The main window and the log viewer as desktop windows: they grow with the
// list taking the room, the keyboard walks their controls, and the main window
// keeps its size and place between runs. Runs on the offscreen platform and,
// where an X server is at hand, again under Xvfb (real X windows: resizes and
// focus go through the server).

#include <gtest/gtest.h>

#include <QtGui/QScreen>
#include <QtTest/QTest>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QDialogButtonBox>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMenu>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QScrollBar>

#include "check_log.h"
#include "log_files_dlg.h"
#include "main_window_fixture.h"
#include "url_dlg.h"
#include "window_placement.h"

namespace halvern::test {
namespace {

using namespace halvern::res;

// Makes `window` the active window so that key presses reach its focus widget.
void Activate(QWidget* window) {
  window->show();
  window->raise();
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window));
}

// Waits until `done` holds and still holds once the window system has sent
// what it had queued (an X server may first report an older geometry).
void Settle(const std::function<bool()>& done) {
  ASSERT_TRUE(WaitFor(done, 5000));
  QTest::qWait(100);
  ASSERT_TRUE(WaitFor(done, 5000));
}

// Resizes a shown window and waits until the window system has done it.
void ResizeShown(QWidget* window, QSize size) {
  window->resize(size);
  Settle([&] { return window->size() == size; });
}

int ContentWidth(QAbstractItemView* list, int column) { return list->sizeHintForColumn(column); }

QWidget* Press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  QTest::keyClick(QApplication::focusWidget(), key, modifiers);
  QCoreApplication::processEvents();
  return QApplication::focusWidget();
}

// Closes any modal window that opens, counting them: a key that must not open
// one shows up as a count, not as a test stuck in a modal run.
class ModalGuard {
 public:
  ModalGuard() {
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] {
      if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        ++opened_;
        modal->reject();
      }
    });
    timer_.start(5);
  }
  int opened() const { return opened_; }

 private:
  QTimer timer_;
  int opened_ = 0;
};

class DesktopWindowTest : public MainWindowTest {
 protected:
  void StoreThree() {
    StoreEntry(u"Alpha", u"http://127.0.0.1:1/a");
    StoreEntry(u"Beta", u"http://127.0.0.1:1/b");
    StoreEntry(u"Gamma", u"http://127.0.0.1:1/c", /*enabled=*/false);
  }
  QWidget* Item(int id) { return window_->GetDlgItem(id); }
};

TEST_F(DesktopWindowTest, TabWalksEveryControlAndNeverTheListsCells) {
  StoreThree();
  auto& window = Open();
  Activate(&window);
  list()->setFocus(Qt::TabFocusReason);
  ASSERT_EQ(QApplication::focusWidget(), list());

  const std::vector<QWidget*> forward = {
      Item(IDC_ADD),           Item(IDC_EDIT),      Item(IDC_DELETE),
      Item(IDC_CHECK_NOW),     Item(IDC_TIMETABLE), Item(IDC_PROXY_SERVER),
      Item(IDC_NOTIFICATIONS), Item(IDC_LOG_FILE),  list()};
  for (QWidget* expected : forward) {
    EXPECT_EQ(Press(Qt::Key_Tab), expected) << expected->objectName().toStdString();
  }
  // The list's own cursor did not move across the cells and the Title column
  // stays in sight.
  EXPECT_LE(list()->currentColumn(), 0);
  EXPECT_EQ(list()->horizontalScrollBar()->value(), 0);
  EXPECT_EQ(Press(Qt::Key_Backtab, Qt::ShiftModifier), Item(IDC_LOG_FILE));
  EXPECT_EQ(Press(Qt::Key_Backtab, Qt::ShiftModifier), Item(IDC_NOTIFICATIONS));
}

TEST_F(DesktopWindowTest, EnterOnARowChecksItAndNeverPressesAnotherButton) {
  StoreThree();
  auto& window = Open();
  Activate(&window);
  ModalGuard guard;

  // No row: Enter in the list does nothing at all.
  list()->setFocus(Qt::TabFocusReason);
  list()->SelectItem(-1);
  Press(Qt::Key_Return);
  EXPECT_EQ(guard.opened(), 0);
  EXPECT_EQ(window.monitor().RunningJobCount(), 0);

  // Enter on a focused button presses that button, and only it.
  list()->SelectItem(0);
  ui::MessageBoxScript::PresetAnswers({IDCANCEL});
  Item(IDC_DELETE)->setFocus(Qt::TabFocusReason);
  ASSERT_EQ(QApplication::focusWidget(), Item(IDC_DELETE));
  Press(Qt::Key_Return);
  EXPECT_EQ(
      ShownTexts(),
      (std::vector<QString>{QStringLiteral("Are you sure you want to delete the selected URL?")}));
  EXPECT_EQ(guard.opened(), 0);
  // A disabled entry's row: nothing; an enabled one's: checked, as a double-click.
  list()->setFocus(Qt::TabFocusReason);
  list()->setCurrentCell(2, 0);  // "Gamma", disabled
  Press(Qt::Key_Return);
  EXPECT_EQ(window.monitor().RunningJobCount(), 0);
  list()->setCurrentCell(1, 0);  // "Beta"
  Press(Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_EQ(list()->SelectedItem(), 1);
  EXPECT_EQ(window.monitor().RunningJobCount(), 1);
  ASSERT_TRUE(WaitFor([&] { return window.monitor().RunningJobCount() == 0; }));
  EXPECT_EQ(guard.opened(), 0);

  for (int id : {IDC_ADD, IDC_EDIT, IDC_DELETE, IDC_CHECK_NOW, IDC_LOG_FILE}) {
    EXPECT_FALSE(window.Control<QPushButton>(id)->isDefault()) << id;
  }
}

TEST_F(DesktopWindowTest, F10AndAltMOpenTheMenu) {
  auto& window = Open();
  Activate(&window);
  for (const auto& [key, modifiers] :
       {std::pair{Qt::Key_F10, Qt::KeyboardModifiers()}, {Qt::Key_M, Qt::AltModifier}}) {
    list()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(QApplication::focusWidget(), key, modifiers);
    ASSERT_TRUE(WaitFor([] { return QApplication::activePopupWidget() != nullptr; }, 5000)) << key;
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    ASSERT_FALSE(menu->actions().isEmpty());
    EXPECT_EQ(menu->actions().first()->text(), QStringLiteral("URLs"));
    menu->close();
    ASSERT_TRUE(WaitFor([] { return QApplication::activePopupWidget() == nullptr; }, 5000));
  }
}

TEST_F(DesktopWindowTest, MainWindowGrowsFromItsTemplateSizeAndTheListTakesTheRoom) {
  StoreThree();
  auto& window = Open();
  QCoreApplication::processEvents();
  // The template's size is the smallest.
  const QSize start = window.minimumSize();
  ResizeShown(&window, start);
  EXPECT_GT(window.maximumWidth(), start.width());
  const QRect listAtStart = list()->geometry();
  std::map<int, QRect> buttonsAtStart;
  for (int id : {IDC_ADD, IDC_EDIT, IDC_DELETE, IDC_CHECK_NOW, IDC_TIMETABLE, IDC_PROXY_SERVER,
                 IDC_NOTIFICATIONS, IDC_LOG_FILE}) {
    buttonsAtStart[id] = Item(id)->geometry();
  }
  // At its smallest the Status column keeps its own width.
  EXPECT_EQ(list()->columnWidth(1), 360);

  ResizeShown(&window, start + QSize(500, 300));
  EXPECT_EQ(list()->geometry(), listAtStart.adjusted(0, 0, 500, 300));
  for (const auto& [id, rect] : buttonsAtStart) {
    EXPECT_EQ(Item(id)->geometry(), rect.translated(0, 300)) << id;
  }
  // The last column fills what the Title column leaves.
  EXPECT_EQ(list()->columnWidth(0) + list()->columnWidth(1), list()->viewport()->width());
  EXPECT_GT(list()->columnWidth(1), 360);
  EXPECT_FALSE(list()->horizontalScrollBar()->isVisible());

  // Smaller than the template it does not go.
  window.resize(start - QSize(50, 50));
  QCoreApplication::processEvents();
  EXPECT_EQ(window.size(), start);
  EXPECT_EQ(list()->geometry(), listAtStart);
}

// With nothing kept, the first start is at least 560 x 420 and as wide as
// both columns need: the whole Status column shows without scrolling.
TEST_F(DesktopWindowTest, FirstStartShowsBothColumnsWhole) {
  StoreThree();
  auto& window = Open();
  QCoreApplication::processEvents();
  EXPECT_GE(window.width(), 560);
  EXPECT_GE(window.height(), 420);
  EXPECT_GE(list()->viewport()->width(), list()->columnWidth(0) + 360);
  EXPECT_EQ(list()->columnWidth(0) + list()->columnWidth(1), list()->viewport()->width());
  EXPECT_FALSE(list()->horizontalScrollBar()->isVisible());
}

// A cell too narrow for its text shows the whole text as its tooltip; a
// row's title shows the entry's address. The title field takes no more than
// the 24 characters an entry keeps.
TEST_F(DesktopWindowTest, CutCellsAndTitlesTellTheWholeTextAsTooltip) {
  StoreEntry(u"Shop", u"http://shop.example/status?full=1");
  auto& window = Open();
  QCoreApplication::processEvents();
  ASSERT_EQ(list()->ItemCount(), 1);
  EXPECT_EQ(list()->CellToolTip(0, 0), QStringLiteral("http://shop.example/status?full=1"));
  EXPECT_TRUE(list()->CellToolTip(0, 1).isEmpty());  // an empty status needs none
  const QString longStatus = QStringLiteral(
      "Failed. Cannot connect to the server. Code: SSL certificate problem: "
      "unable to get local issuer certificate, and then some more words");
  window.SetRowStatusText(0, longStatus.toStdU16String());
  EXPECT_EQ(list()->CellToolTip(0, 1), longStatus);
  window.SetRowStatusText(0, u"Not Found");
  EXPECT_TRUE(list()->CellToolTip(0, 1).isEmpty());
  // A title cut by a narrow column shows itself before the address.
  list()->setColumnWidth(0, 20);
  EXPECT_EQ(list()->CellToolTip(0, 0), QStringLiteral("Shop\nhttp://shop.example/status?full=1"));

  // Added entries get their address too.
  QTimer::singleShot(0, [] {
    auto* dialog = qobject_cast<ui::CUrlDlg*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    auto* title = dialog->Control<QLineEdit>(IDC_URL_TITLE);
    title->setText(QStringLiteral("A title of far more than twenty-four characters"));
    EXPECT_EQ(title->text(), QStringLiteral("A title of far more than"));
    dialog->Control<QLineEdit>(IDC_URL_ADDRESS)->setText(QStringLiteral("http://new.example/"));
    dialog->SendCommand(IDOK);
  });
  window.SendCommand(IDC_ADD);
  const int added = window.FindRow(u"A title of far more than");
  ASSERT_GE(added, 0);
  list()->setColumnWidth(0, 400);
  EXPECT_EQ(list()->CellToolTip(added, 0), QStringLiteral("http://new.example/"));
}

TEST_F(DesktopWindowTest, TitleColumnsShowATitleOfTwentyFourCharactersWhole) {
  const std::u16string title = u"Velmora shop status page";
  ASSERT_EQ(title.size(), 24u);
  StoreEntry(title, u"http://example.org/");
  auto& window = Open();
  (void)window;
  EXPECT_GE(list()->columnWidth(0), 100);
  EXPECT_GE(list()->columnWidth(0), ContentWidth(list(), 0));
}

class LogViewerWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetMessageBoxes(); }
  void TearDown() override { ui::MessageBoxScript::Reset(); }
  void Log(std::int64_t time, const std::u16string& title, bool passed) {
    LogRecord record{};
    record.time = time;
    CopyToField(record.title, std::size(record.title), title);
    record.passed = passed ? 1 : 0;
    CopyToField(record.text, std::size(record.text),
                passed ? u"Lasted checked on 23:59:58 12/31/26" : u"Failed. Internal Server Error");
    temp_.store().WriteSettingBinary(kLogSection, u"r" + title + char16_t(u'a' + time % 20),
                                     LogRecordBytes(record));
  }
  TempStore temp_;
};

TEST_F(LogViewerWindowTest, GrowsWithTheListAndShowsTimeAndTitleWhole) {
  // 23:59:58 on a 31st of December: every digit of "HH:mm:ss MM/dd/yy" is wide.
  Log(1798761598, u"WWWW status of the shop", false);
  Log(1798761500, u"Velmora shop status page", true);
  ui::CLogFilesDlg dlg(temp_.store());
  dlg.Create();
  dlg.show();
  QCoreApplication::processEvents();
  auto* list = dlg.Control<ui::ListView>(IDC_LOG_LIST);
  ASSERT_EQ(list->ItemCount(), 2);
  EXPECT_GE(list->columnWidth(0), 120);
  EXPECT_GE(list->columnWidth(0), ContentWidth(list, 0)) << list->ItemText(0, 0).toStdString();
  EXPECT_GE(list->columnWidth(1), 100);
  const int titleWidth = list->columnWidth(1);
  EXPECT_GE(titleWidth, list->fontMetrics().horizontalAdvance(list->ItemText(1, 1)));

  // Its first start shows every column whole.
  EXPECT_GE(list->viewport()->width(), list->columnWidth(0) + list->columnWidth(1) + 360);
  const QSize start = dlg.minimumSize();
  ResizeShown(&dlg, start);
  EXPECT_EQ(list->columnWidth(2), 360);
  const QRect listAtStart = list->geometry();
  const QRect keepAtStart = dlg.GetDlgItem(IDC_LOG_KEEP)->geometry();
  const QRect refreshAtStart = dlg.GetDlgItem(IDC_LOG_REFRESH)->geometry();
  auto* okRow = dlg.findChild<QDialogButtonBox*>();
  const int okGapAtStart = start.height() - okRow->mapTo(&dlg, QPoint(0, 0)).y();

  ResizeShown(&dlg, start + QSize(600, 250));
  EXPECT_EQ(list->geometry(), listAtStart.adjusted(0, 0, 600, 250));
  EXPECT_EQ(dlg.GetDlgItem(IDC_LOG_KEEP)->geometry(), keepAtStart.translated(0, 250));
  EXPECT_EQ(dlg.GetDlgItem(IDC_LOG_REFRESH)->geometry(), refreshAtStart.translated(0, 250));
  EXPECT_EQ(dlg.height() - okRow->mapTo(&dlg, QPoint(0, 0)).y(), okGapAtStart);
  EXPECT_EQ(list->columnWidth(1), titleWidth);
  EXPECT_EQ(list->columnWidth(0) + list->columnWidth(1) + list->columnWidth(2),
            list->viewport()->width());
  EXPECT_GT(list->columnWidth(2), 360);
}

TEST_F(LogViewerWindowTest, TabLeavesTheListAndEnterClosesWithOk) {
  for (int i = 0; i < 5; ++i) Log(1798761000 + i, u"entry", i % 2 == 0);
  ui::CLogFilesDlg dlg(temp_.store());
  dlg.keepIndex = 2;
  dlg.Create();
  Activate(&dlg);
  auto* list = dlg.Control<ui::ListView>(IDC_LOG_LIST);
  list->setFocus(Qt::TabFocusReason);
  EXPECT_EQ(Press(Qt::Key_Tab), dlg.GetDlgItem(IDC_LOG_REFRESH));
  EXPECT_EQ(Press(Qt::Key_Tab), dlg.GetDlgItem(IDC_LOG_CLEAR));
  EXPECT_EQ(Press(Qt::Key_Tab), dlg.GetDlgItem(IDC_LOG_KEEP));
  EXPECT_EQ(Press(Qt::Key_Backtab, Qt::ShiftModifier), dlg.GetDlgItem(IDC_LOG_CLEAR));
  // Rows cannot be opened: Enter on one is the dialog's OK.
  list->setFocus(Qt::TabFocusReason);
  list->setCurrentCell(0, 0);
  Press(Qt::Key_Return);
  EXPECT_EQ(dlg.result(), IDOK);
  EXPECT_FALSE(dlg.isVisible());
}

TEST(WindowPlacement, FitsOnTheScreensThatAreThere) {
  const std::vector<QRect> screens = {QRect(0, 0, 1280, 800), QRect(1280, 0, 1920, 1080)};
  const QSize minimum(280, 320);
  struct Case {
    const char* what;
    QRect kept;
    QRect expected;
  };
  const Case cases[] = {
      {"on the primary screen", {100, 50, 600, 400}, {100, 50, 600, 400}},
      {"on the second screen", {2000, 100, 800, 600}, {2000, 100, 800, 600}},
      {"mostly on the second", {1200, 10, 400, 300}, {1280, 10, 400, 320}},
      {"hanging off the bottom", {100, 700, 600, 400}, {100, 400, 600, 400}},
      {"on a screen no longer there", {-3000, -900, 500, 400}, {0, 0, 500, 400}},
      {"far right of every screen", {9000, 500, 500, 400}, {780, 400, 500, 400}},
      {"larger than its screen", {-10, -10, 2000, 1500}, {0, 0, 1280, 800}},
      {"smaller than the template", {300, 300, 10, 10}, {300, 300, 280, 320}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ui::FitOnScreens(c.kept, minimum, screens), c.expected) << c.what;
  }
  // A template larger than the only screen wins over the screen.
  EXPECT_EQ(ui::FitOnScreens({0, 0, 100, 100}, {400, 300}, {QRect(0, 0, 320, 240)}),
            QRect(0, 0, 400, 300));
}

TEST_F(DesktopWindowTest, MainWindowKeepsItsSizeAndPlaceInTheWindowSection) {
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  auto* window = &Open();
  const QSize larger = window->size() + QSize(120, 90);
  const QPoint place = screen.topLeft() + QPoint(30, 40);
  ResizeShown(window, larger);
  window->move(place);
  Settle([&] { return window->pos() == place && window->size() == larger; });
  window->close();  // the title bar's close button hides it: the place is written then

  SettingsStore& store = temp_.store();
  const std::u16string section = ui::kWindowSection;
  EXPECT_EQ(store.ReadSettingInt(section, u"X", -1), place.x());
  EXPECT_EQ(store.ReadSettingInt(section, u"Y", -1), place.y());
  EXPECT_EQ(store.ReadSettingInt(section, u"Width", -1), larger.width());
  EXPECT_EQ(store.ReadSettingInt(section, u"Height", -1), larger.height());

  // The next run starts there.
  window_.reset();
  window = &Open();
  QCoreApplication::processEvents();
  EXPECT_EQ(window->size(), larger);
  EXPECT_EQ(window->pos(), place);

  // A place on a screen that is gone brings the window onto one that is there.
  window_.reset();
  ASSERT_TRUE(ui::WriteWindowPlacement(store, QRect(screen.right() + 5000, -4000, 400, 350)));
  window = &Open();
  QCoreApplication::processEvents();
  EXPECT_TRUE(screen.contains(QRect(window->pos(), window->size())))
      << window->x() << "," << window->y();
  EXPECT_EQ(window->size(), QSize(400, 350).expandedTo(window->minimumSize()));
}

// The log viewer keeps its own size and place, beside the main window's.
TEST_F(LogViewerWindowTest, KeepsItsOwnSizeAndPlace) {
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  QSize larger;
  const QPoint place = screen.topLeft() + QPoint(50, 60);
  {
    ui::CLogFilesDlg dlg(temp_.store());
    dlg.Create();
    dlg.show();
    // Not the first start's size, and small enough for any screen.
    larger = dlg.minimumSize() + QSize(30, 40);
    ResizeShown(&dlg, larger);
    dlg.move(place);
    Settle([&] { return dlg.pos() == place && dlg.size() == larger; });
    dlg.SendCommand(IDOK);  // closing hides it: the place is written then
  }
  SettingsStore& store = temp_.store();
  EXPECT_EQ(store.ReadSettingInt(ui::kLogWindowSection, u"Width", -1), larger.width());
  EXPECT_EQ(store.ReadSettingInt(ui::kLogWindowSection, u"Height", -1), larger.height());
  EXPECT_FALSE(ui::ReadWindowPlacement(store).has_value());  // the main window's is its own

  ui::CLogFilesDlg again(temp_.store());
  again.Create();
  again.show();
  QCoreApplication::processEvents();
  EXPECT_EQ(again.size(), larger);
  EXPECT_EQ(again.pos(), place);
}

TEST_F(DesktopWindowTest, MissingOrDamagedPlaceLeavesTheFirstStartSize) {
  auto* window = &Open();
  const QSize templateSize = window->size();
  window_.reset();
  SettingsStore& store = temp_.store();
  ASSERT_TRUE(store.WriteSettingInt(ui::kWindowSection, u"X", 10));
  ASSERT_TRUE(store.WriteSettingInt(ui::kWindowSection, u"Y", 10));
  ASSERT_TRUE(store.WriteSettingInt(ui::kWindowSection, u"Width", 0));
  ASSERT_TRUE(store.WriteSettingInt(ui::kWindowSection, u"Height", 900));
  EXPECT_FALSE(ui::ReadWindowPlacement(store).has_value());
  window = &Open();
  EXPECT_EQ(window->size(), templateSize);
}

}  // namespace
}  // namespace halvern::test
