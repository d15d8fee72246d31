#pragma once
// The History window: how each address has been doing. A table with one row
// per address (title, a strip of the last 24 hours in half-hour cells, uptime
// over 24 hours, 7 and 30 days, the median response time over 24 hours, the
// last failure, and the certificate), sortable by every column; for the chosen
// address a response-time chart over 24 hours, 7 or 30 days with its outages
// shaded and the phases of its last check beside it, and the list of its
// outages. Modeless and resizable; its place and size are kept in the store's
// "History" section. It follows the history as checks complete.
//
// Everything is drawn with QPainter from the engine's definitions
// (history_stats.h, history_overview.h); colours come from the palette where
// they carry text, so a dark theme stays readable.

#include <QtCore/QAbstractTableModel>
#include <QtCore/QPointer>
#include <QtCore/QTimer>
#include <QtWidgets/QStyledItemDelegate>
#include <QtWidgets/QWidget>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "history_overview.h"
#include "window_placement.h"

class QComboBox;
class QLabel;
class QSortFilterProxyModel;
class QTableView;
class QTableWidget;

namespace halvern {
class Clock;
class SettingsStore;
}  // namespace halvern

namespace halvern::ui {

using ::halvern::kHistorySection;

// The table's columns.
enum HistoryColumn {
  kColTitle,
  kColStrip,
  kColUptimeDay,
  kColUptimeWeek,
  kColUptimeMonth,
  kColMedian,
  kColLastFailure,
  kColCertificate,
  kColCount
};

// The value each column sorts by.
inline constexpr int kHistorySortRole = Qt::UserRole + 1;

class HistoryModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit HistoryModel(QObject* parent = nullptr);
  void SetRows(std::vector<EntryOverview> rows);
  const EntryOverview& Row(int row) const { return rows_[static_cast<std::size_t>(row)]; }
  int Rows() const { return static_cast<int>(rows_.size()); }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  std::vector<EntryOverview> rows_;
};

// Paints a row's strip: 48 cells, green when every verdict passed, amber when
// one passed only after a retry, red in proportion to the failed ones, grey
// when not checked.
class StripDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// Median and range of the response time per bucket, outages shaded.
class ResponseChart final : public QWidget {
  Q_OBJECT

 public:
  explicit ResponseChart(QWidget* parent = nullptr);
  void SetDetail(const EntryDetail& detail);
  const EntryDetail& detail() const { return detail_; }
  QSize sizeHint() const override { return {560, 200}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  EntryDetail detail_;
};

// The phases of the last check, one bar each from the start of the check.
class PhasesView final : public QWidget {
  Q_OBJECT

 public:
  explicit PhasesView(QWidget* parent = nullptr);
  void SetCheck(const std::optional<HistoryRow>& check);
  QSize sizeHint() const override { return {240, 200}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::optional<HistoryRow> check_;
};

class HistoryWindow final : public QWidget {
  Q_OBJECT

 public:
  // `history` is the store's history; the entries are read from `store`.
  HistoryWindow(SettingsStore& store, HistoryStore& history, const Clock& clock,
                QWidget* parent = nullptr);
  ~HistoryWindow() override;

  // Reads everything afresh and shows it; the chosen address stays chosen.
  void Reload();
  // Chooses the row of the entry (by title, letter case ignored); false when
  // it has none.
  bool SelectTitle(const std::u16string& title);
  // Reloads when the history changed since the last look (called every second).
  void Poll();

  QTableView* table() const { return table_; }
  HistoryModel* model() const { return model_; }
  ResponseChart* chart() const { return chart_; }
  PhasesView* phases() const { return phases_; }
  QTableWidget* outages() const { return outages_; }
  QComboBox* period() const { return period_; }
  // The entry whose detail is shown, if any.
  std::optional<std::uint32_t> SelectedEntry() const;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void ShowDetail();
  void SavePlacement();
  void RestorePlacement();
  WindowPlacementKeeper* placement_ = nullptr;  // a child of the window

  SettingsStore& store_;
  HistoryStore& history_;
  const Clock& clock_;
  HistoryModel* model_;
  QSortFilterProxyModel* sorted_;
  QTableView* table_;
  QComboBox* period_;
  ResponseChart* chart_;
  PhasesView* phases_;
  QLabel* outagesLabel_;
  QTableWidget* outages_;
  QTimer poll_;
  std::uint64_t seenVersion_ = 0;
};

// Shows the one History window of `owner` (creating it when there is none),
// with the entry `title` chosen when given and listed.
HistoryWindow* ShowHistoryWindow(QPointer<HistoryWindow>& window, QWidget* owner,
                                 SettingsStore& store, const Clock& clock,
                                 const std::u16string& title = {});

}  // namespace halvern::ui
