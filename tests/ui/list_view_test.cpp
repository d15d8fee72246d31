// The list control on its own: the order a sorted list keeps when it is
// filled in one go, finding a row by its text through every kind of change,
// and the selection and double-click a view of the rows gives.

#include <gtest/gtest.h>

#include <QtTest/QTest>
#include <random>
#include <string>
#include <vector>

#include "dialog_template.h"
#include "list_view.h"

namespace halvern::test {
namespace {

using ui::ListView;

constexpr std::uint32_t kSorted = res::LVS_REPORT | res::LVS_SINGLESEL | res::LVS_SORTASCENDING;
constexpr std::uint32_t kUnsorted = res::LVS_REPORT | res::LVS_SINGLESEL;

std::unique_ptr<ListView> MakeList(std::uint32_t style) {
  auto list = std::make_unique<ListView>(style);
  list->InsertColumn(0, QStringLiteral("Title"), 100);
  list->InsertColumn(1, QStringLiteral("Status"), 200);
  return list;
}

// Every row as "title | status | image".
std::vector<std::string> Rows(const ListView& list) {
  std::vector<std::string> rows;
  for (int row = 0; row < list.ItemCount(); ++row) {
    rows.push_back((list.ItemText(row, 0) + QStringLiteral(" | ") + list.ItemText(row, 1) +
                    QStringLiteral(" | ") + QString::number(list.ItemImage(row)))
                       .toStdString());
  }
  return rows;
}

void Insert(ListView& list, const QString& title, int image) {
  const int row = list.InsertItem(65535, title, image);
  // Texts set on the returned row stay with that row, within a fill too.
  list.SetItemText(row, 1, title + QStringLiteral(" status"));
}

TEST(ListViewFill, SortedFillInOneGoGivesTheOrderOfSingleInserts) {
  // Random titles from a small alphabet in both cases: many are equal without
  // regard to case, so the order of equal rows is tested throughout.
  std::mt19937 random(12);
  std::vector<QString> mixed;
  const QString letters = QStringLiteral("aAbBéÉ ");
  for (int i = 0; i < 2000; ++i) {
    QString title;
    for (int n = 1 + static_cast<int>(random() % 3); n > 0; --n) {
      title += letters[static_cast<qsizetype>(random() % static_cast<unsigned>(letters.size()))];
    }
    mixed.push_back(title);
  }
  auto texts = [](std::initializer_list<const char16_t*> list) {
    std::vector<QString> v;
    for (const char16_t* t : list) v.push_back(QString::fromUtf16(t));
    return v;
  };
  struct Case {
    const char* what;
    std::vector<QString> before;  // rows the list holds before the fill
    std::vector<QString> fill;
  };
  const Case cases[] = {
      {"into an empty list", {}, texts({u"m", u"B", u"z", u"a", u"M", u"c", u"b", u"Zz", u"m"})},
      {"equal titles after the rows already there", texts({u"Shop", u"blog"}),
       texts({u"SHOP", u"Blog", u"shop", u"", u"Ärger", u"Zebra", u"ärger"})},
      {"titles that differ only in case, many of them", {}, mixed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto single = MakeList(kSorted);
    auto bulk = MakeList(kSorted);
    for (const QString& title : c.before) {
      Insert(*single, title, 1);
      Insert(*bulk, title, 1);
    }
    int image = 0;
    for (const QString& title : c.fill) Insert(*single, title, image++ % 4);
    {
      ListView::BulkFill fill(*bulk);
      image = 0;
      for (const QString& title : c.fill) Insert(*bulk, title, image++ % 4);
    }
    EXPECT_EQ(Rows(*bulk), Rows(*single));
    ASSERT_EQ(bulk->ItemCount(), static_cast<int>(c.before.size() + c.fill.size()));
  }
}

// After every change of a fixed random run, FindItem gives the first row that
// a walk over the rows finds: the index from title to row never goes stale.
TEST(ListViewFind, FindsTheFirstRowOfATextThroughEveryChange) {
  const std::vector<QString> pool = {QStringLiteral("alpha"), QStringLiteral("Alpha"),
                                     QStringLiteral("beta"),  QStringLiteral("gamma"),
                                     QStringLiteral("delta"), QStringLiteral("")};
  auto walk = [](const ListView& list, const QString& text) {
    for (int row = 0; row < list.ItemCount(); ++row) {
      if (list.ItemText(row) == text) return row;
    }
    return -1;
  };
  for (const std::uint32_t style : {kSorted, kUnsorted}) {
    SCOPED_TRACE(style);
    auto list = MakeList(style);
    std::mt19937 random(7);
    auto any = [&random](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    auto pick = [&] { return pool[static_cast<std::size_t>(any(static_cast<int>(pool.size())))]; };
    for (int step = 0; step < 3000; ++step) {
      const int rows = list->ItemCount();
      const int action = any(100);
      std::string what;
      if (action < 40 || rows == 0) {
        what = "insert";
        list->InsertItem(any(rows + 2), pick(), 0);
      } else if (action < 65) {
        what = "delete";
        list->DeleteItem(any(rows));
      } else if (action < 85) {
        what = "new title";
        list->SetItemText(any(rows), 0, pick());
      } else if (action < 92) {
        what = "sort by data";
        for (int row = 0; row < rows; ++row) list->SetItemData(row, any(3));
        list->SortItemsByData(any(2) == 0);
      } else if (action < 98) {
        what = "fill";
        ListView::BulkFill fill(*list);
        for (int n = any(6); n > 0; --n) list->InsertItem(65535, pick(), 0);
        // Within the fill the rows are found too.
        for (const QString& text : pool) ASSERT_EQ(list->FindItem(text), walk(*list, text));
      } else {
        what = "delete all";
        list->DeleteAllItems();
      }
      for (const QString& text : pool) {
        ASSERT_EQ(list->FindItem(text), walk(*list, text))
            << "step " << step << " (" << what << "), text \"" << text.toStdString() << "\"";
      }
      ASSERT_EQ(list->FindItem(QStringLiteral("missing")), -1);
    }
  }
}

TEST(ListViewSelection, TheSelectionStaysWithItsRow) {
  auto list = MakeList(kSorted);
  for (const char* title : {"b", "d", "f"}) list->InsertItem(0, QString::fromLatin1(title), 0);
  list->SelectItem(list->FindItem(QStringLiteral("d")));
  ASSERT_EQ(list->SelectedItem(), 1);

  // Rows coming and going before it move the selected row with them.
  list->InsertItem(0, QStringLiteral("a"), 0);
  EXPECT_EQ(list->ItemText(list->SelectedItem()), QStringLiteral("d"));
  list->DeleteItem(list->FindItem(QStringLiteral("b")));
  EXPECT_EQ(list->ItemText(list->SelectedItem()), QStringLiteral("d"));
  list->SetItemText(list->FindItem(QStringLiteral("f")), 1, QStringLiteral("Downloading..."));
  EXPECT_EQ(list->ItemText(list->SelectedItem()), QStringLiteral("d"));

  // Sorting drops the selection; the current cell keeps its place.
  list->SortItemsByData(true);
  EXPECT_EQ(list->SelectedItem(), -1);
  EXPECT_EQ(list->currentRow(), 1);
  list->SelectItem(0);
  list->SelectItem(-1);
  EXPECT_EQ(list->SelectedItem(), -1);
  EXPECT_EQ(list->currentRow(), -1);

  // A fill drops both.
  list->SelectItem(0);
  { ListView::BulkFill fill(*list); }
  EXPECT_EQ(list->SelectedItem(), -1);
  EXPECT_EQ(list->currentRow(), -1);
}

TEST(ListViewSelection, ADoubleClickOnARowNamesItsCell) {
  auto list = MakeList(kSorted);
  list->SetExtendedStyle(0x21);
  for (const char* title : {"one", "two", "three"})
    list->InsertItem(0, QString::fromLatin1(title), 0);
  list->resize(400, 200);
  list->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(list.get()));
  std::vector<std::pair<int, int>> clicked;
  QObject::connect(list.get(), &ListView::cellDoubleClicked, list.get(),
                   [&clicked](int row, int column) { clicked.emplace_back(row, column); });
  const QRect cell = list->visualRect(list->model()->index(1, 1));
  // The view takes a double-click only on the cell the press before it hit.
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell.center());
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, cell.center());
  EXPECT_EQ(clicked, (std::vector<std::pair<int, int>>{{1, 1}}));
  EXPECT_EQ(list->SelectedItem(), 1);
}

}  // namespace
}  // namespace halvern::test
