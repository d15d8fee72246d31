// The History window over a real store with a seeded history: the table's
// figures and sorting, the chosen address's chart, phases and outages, live
// updates, keyboard, one window at a time with its place kept, and renders to
// PNG (light and dark) for a reviewer to look at.

#include "history_window.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <QtCore/QDir>
#include <QtCore/QSortFilterProxyModel>
#include <QtTest/QTest>
#include <QtWidgets/QApplication>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QTableView>
#include <QtWidgets/QTableWidget>

#include "check_history.h"
#include "clock.h"
#include "temp_store.h"
#include "url_entry.h"

namespace halvern::test {
namespace {

using ui::HistoryWindow;

constexpr std::int64_t kMin = 60 * 1000;
constexpr std::int64_t kHour = 60 * kMin;
constexpr std::int64_t kNowMs = 1786000000000;  // 2026-08-06 07:06:40 UTC

class HistoryWindowTest : public ::testing::Test {
 protected:
  HistoryWindowTest() {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    clock_.SetMs(kNowMs);
    Entry(1, u"Alpha", u"https://alpha.example/");
    Entry(2, u"Beta", u"https://beta.example/status");
    Entry(3, u"Gamma", u"http://gamma.example/");
    // Two days of 5-minute checks. Alpha always passes; Beta was down from
    // three hours ago for an hour and passed once only on its retry.
    for (std::int64_t t = kNowMs - 48 * kHour; t < kNowMs; t += 5 * kMin) {
      Check(1, t, CheckKind::Scheduled, true, 100 + (t / kMin) % 50);
      const bool down = t >= kNowMs - 3 * kHour && t < kNowMs - 2 * kHour;
      if (down) {
        Check(2, t, CheckKind::Scheduled, false, std::nullopt, u"Failed. Not Found");
        Check(2, t + 5000, CheckKind::Retry, false, std::nullopt, u"Failed. Not Found");
        Check(2, t + 10000, CheckKind::Retry, false, std::nullopt, u"Failed. Not Found");
      } else if (t == kNowMs - 10 * kHour) {
        Check(2, t, CheckKind::Scheduled, false, std::nullopt, u"Failed. Internal Server Error");
        Check(2, t + 5000, CheckKind::Retry, true, 400);
      } else {
        Check(2, t, CheckKind::Scheduled, true, 300 + (t / kMin) % 100);
      }
    }
  }

  void Entry(std::uint32_t id, const std::u16string& title, const std::u16string& url) {
    UrlEntry e;
    InitUrlEntry(e);
    e.id = id;
    SetEntryTitle(e, title);
    SetEntryUrl(e, url);
    ASSERT_TRUE(SaveUrlEntry(temp_.store(), title, e));
  }
  void Check(std::uint32_t id, std::int64_t t, CheckKind kind, bool passed,
             std::optional<double> total, const std::u16string& detail = u"OK") {
    HistoryRow row;
    row.entryId = id;
    row.title = id == 1 ? u"Alpha" : u"Beta";
    row.timeMs = t;
    row.kind = kind;
    row.passed = passed;
    row.httpStatus = passed ? 200 : 404;
    row.detail = detail;
    if (total) {
      row.dnsMs = 2.0;
      row.connectMs = 11.0;
      row.tlsMs = 35.0;
      row.firstByteMs = *total - 5;
      row.totalMs = *total;
      row.bytes = 5120;
    }
    ASSERT_TRUE(temp_.store().History()->AppendCheck(row));
  }

  std::unique_ptr<HistoryWindow> Open() {
    auto window = std::make_unique<HistoryWindow>(temp_.store(), *temp_.store().History(), clock_);
    window->show();
    QCoreApplication::processEvents();
    return window;
  }
  // The text a cell shows, by title and column.
  QString Cell(HistoryWindow& w, const QString& title, int column) {
    auto* model = w.table()->model();
    for (int r = 0; r < model->rowCount(); ++r) {
      if (model->index(r, ui::kColTitle).data().toString() == title) {
        return model->index(r, column).data().toString();
      }
    }
    return QStringLiteral("<no row>");
  }
  const EntryOverview* Overview(HistoryWindow& w, std::uint32_t id) {
    for (int r = 0; r < w.model()->Rows(); ++r) {
      if (w.model()->Row(r).entry.entryId == id) return &w.model()->Row(r);
    }
    return nullptr;
  }
  bool Choose(HistoryWindow& w, const std::u16string& title) { return w.SelectTitle(title); }

  TempStore temp_;
  ManualClock clock_;
};

TEST_F(HistoryWindowTest, TableShowsEveryAddressWithItsFiguresAndSorts) {
  auto w = Open();
  EXPECT_EQ(w->windowTitle(), QStringLiteral("History"));
  ASSERT_EQ(w->model()->Rows(), 3);  // Gamma, never checked, too
  EXPECT_EQ(Cell(*w, QStringLiteral("Alpha"), ui::kColUptimeDay), QStringLiteral("100.00 %"));
  // Beta: 288 verdicts in 24 hours, 12 of them down.
  EXPECT_EQ(Cell(*w, QStringLiteral("Beta"), ui::kColUptimeDay), QStringLiteral("95.83 %"));
  // No day is summarized yet: the rows of both days answer for 7 and 30 days.
  EXPECT_EQ(Cell(*w, QStringLiteral("Beta"), ui::kColUptimeWeek), QStringLiteral("97.91 %"));
  EXPECT_EQ(Cell(*w, QStringLiteral("Beta"), ui::kColUptimeMonth), QStringLiteral("97.91 %"));
  EXPECT_EQ(Cell(*w, QStringLiteral("Gamma"), ui::kColUptimeDay), QString::fromUtf16(u"\u2014"));
  EXPECT_EQ(Cell(*w, QStringLiteral("Gamma"), ui::kColMedian), QString::fromUtf16(u"\u2014"));
  EXPECT_TRUE(Cell(*w, QStringLiteral("Beta"), ui::kColLastFailure).endsWith(u"Failed. Not Found"));
  EXPECT_TRUE(Cell(*w, QStringLiteral("Alpha"), ui::kColCertificate).isEmpty());
  EXPECT_TRUE(Cell(*w, QStringLiteral("Alpha"), ui::kColMedian).endsWith(u" ms"));

  const EntryOverview* beta = Overview(*w, 2);
  ASSERT_TRUE(beta);
  int red = 0, amber = 0, grey = 0;
  for (const StripCell& c : beta->strip) {
    red += c.down > 0 ? 1 : 0;
    amber += c.upAfterRetry > 0 ? 1 : 0;
    grey += c.checked() ? 0 : 1;
  }
  EXPECT_EQ(red, 3);    // one hour of failures from 04:06 over three half hours
  EXPECT_EQ(amber, 1);  // the pass on a retry
  EXPECT_LE(grey, 1);   // the current half hour may not be checked yet

  // Sorting by every column; the lowest uptime first, then the missing one last
  // in descending order.
  w->table()->sortByColumn(ui::kColUptimeDay, Qt::AscendingOrder);
  EXPECT_EQ(w->table()->model()->index(0, 0).data().toString(), QStringLiteral("Gamma"));
  EXPECT_EQ(w->table()->model()->index(1, 0).data().toString(), QStringLiteral("Beta"));
  for (int column = 0; column < ui::kColCount; ++column) {
    w->table()->sortByColumn(column, Qt::DescendingOrder);
    EXPECT_EQ(w->table()->model()->rowCount(), 3) << column;
  }
  w->table()->sortByColumn(ui::kColLastFailure, Qt::DescendingOrder);
  EXPECT_EQ(w->table()->model()->index(0, 0).data().toString(), QStringLiteral("Beta"));
}

TEST_F(HistoryWindowTest, TheChosenAddressShowsItsChartPhasesAndOutages) {
  auto w = Open();
  ASSERT_TRUE(Choose(*w, u"beta"));  // letter case ignored
  EXPECT_EQ(w->SelectedEntry(), 2u);
  const EntryDetail& d = w->chart()->detail();
  EXPECT_EQ(d.toMs, kNowMs);
  EXPECT_EQ(d.fromMs, kNowMs - 24 * kHour);
  ASSERT_EQ(d.buckets.size(), 48u);
  ASSERT_EQ(d.outages.size(), 1u);
  EXPECT_EQ(d.outages[0].startMs, kNowMs - 3 * kHour);
  EXPECT_EQ(w->outages()->rowCount(), 1);
  EXPECT_EQ(w->outages()->item(0, 2)->text(), QStringLiteral("1 h 00 min"));
  EXPECT_EQ(w->outages()->item(0, 3)->text(), QStringLiteral("Failed. Not Found"));
  EXPECT_TRUE(w->phases()->accessibleDescription().contains(QStringLiteral("TLS 35 ms")));
  // A screen reader hears what the chart draws.
  EXPECT_TRUE(w->chart()->accessibleDescription().startsWith(QStringLiteral("Answers took ")));
  EXPECT_TRUE(w->chart()->accessibleDescription().endsWith(QStringLiteral(", 1 outages")));

  w->period()->setCurrentIndex(2);  // 30 days
  EXPECT_EQ(w->chart()->detail().fromMs, kNowMs - 30 * 24 * kHour);
  // Days before the rows take over are a bucket each; the buckets cover the
  // period.
  const auto& month = w->chart()->detail().buckets;
  ASSERT_FALSE(month.empty());
  EXPECT_EQ(month.front().startMs, kNowMs - 30 * 24 * kHour);
  EXPECT_EQ(month.back().endMs, kNowMs);
  // The address without history has an empty chart and no outages.
  ASSERT_TRUE(Choose(*w, u"Gamma"));
  EXPECT_FALSE(w->chart()->detail().lastCheck);
  EXPECT_EQ(w->outages()->rowCount(), 0);
  EXPECT_FALSE(Choose(*w, u"No such address"));
}

TEST_F(HistoryWindowTest, FollowsTheHistoryAsChecksComplete) {
  auto w = Open();
  ASSERT_TRUE(Choose(*w, u"Beta"));
  Check(1, kNowMs - 1000, CheckKind::ManualRun, false, std::nullopt, u"Failed. Bad Gateway");
  w->Poll();
  EXPECT_EQ(Cell(*w, QStringLiteral("Alpha"), ui::kColUptimeDay), QStringLiteral("99.65 %"));
  EXPECT_TRUE(Cell(*w, QStringLiteral("Alpha"), ui::kColLastFailure).endsWith(u"Bad Gateway"));
  EXPECT_EQ(w->SelectedEntry(), 2u);  // the choice stays
}

TEST_F(HistoryWindowTest, KeyboardOneWindowAndItsPlaceKept) {
  QWidget owner;
  QPointer<HistoryWindow> window;
  HistoryWindow* first = ui::ShowHistoryWindow(window, &owner, temp_.store(), clock_, u"Beta");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->SelectedEntry(), 2u);
  EXPECT_TRUE(first->isWindow());
  EXPECT_EQ(ui::ShowHistoryWindow(window, &owner, temp_.store(), clock_, u"Alpha"), first);
  EXPECT_EQ(first->SelectedEntry(), 1u);

  // Tab walks table, period, outages; it never stays inside the table's cells.
  QApplication::setActiveWindow(first);
  first->table()->setFocus();
  QApplication::processEvents();
  EXPECT_FALSE(first->table()->tabKeyNavigation());
  QTest::keyClick(first->table(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), first->period());
  QTest::keyClick(first->period(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), first->outages());
  first->table()->setFocus();
  // Arrow keys choose another address.
  QTest::keyClick(first->table(), Qt::Key_Down);
  EXPECT_NE(first->SelectedEntry(), 1u);

  first->resize(700, 500);
  QApplication::processEvents();
  QTest::keyClick(first, Qt::Key_Escape);  // Esc closes it
  QApplication::processEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(window.isNull());
  HistoryWindow* again = ui::ShowHistoryWindow(window, &owner, temp_.store(), clock_);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->size(), QSize(700, 500));
  again->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void Render(QWidget& w, const char* name) {
  const QString dir = QStringLiteral(HALVERN_SCREENSHOT_DIR);
  QDir().mkpath(dir);
  const QString file = dir + QLatin1Char('/') + QString::fromLatin1(name) + QStringLiteral(".png");
  const QPixmap shot = w.grab();
  ASSERT_FALSE(shot.isNull());
  EXPECT_TRUE(shot.save(file)) << file.toStdString();
}

TEST_F(HistoryWindowTest, RendersLightAndDark) {
  auto w = Open();
  w->resize(1000, 680);
  ASSERT_TRUE(Choose(*w, u"Beta"));
  QApplication::processEvents();
  Render(*w, "history_window");

  QPalette dark;
  dark.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2b));
  dark.setColor(QPalette::WindowText, QColor(0xe8, 0xe8, 0xe8));
  dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
  dark.setColor(QPalette::AlternateBase, QColor(0x2a, 0x2a, 0x2a));
  dark.setColor(QPalette::Text, QColor(0xe8, 0xe8, 0xe8));
  dark.setColor(QPalette::Button, QColor(0x35, 0x35, 0x35));
  dark.setColor(QPalette::ButtonText, QColor(0xe8, 0xe8, 0xe8));
  dark.setColor(QPalette::Highlight, QColor(0x2f, 0x65, 0xca));
  dark.setColor(QPalette::HighlightedText, Qt::white);
  w->setPalette(dark);
  for (QWidget* child : w->findChildren<QWidget*>()) child->setPalette(dark);
  QApplication::processEvents();
  Render(*w, "history_window_dark");
}

}  // namespace
}  // namespace halvern::test
