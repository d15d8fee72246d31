#include "list_view.h"

#include <QtWidgets/QHeaderView>
#include <algorithm>

#include "dialog_template.h"

namespace halvern::ui {
namespace {

constexpr int kImageRole = Qt::UserRole + 1;
constexpr int kDataRole = Qt::UserRole + 2;

}  // namespace

ListView::ListView(std::uint32_t style, QWidget* parent)
    : QTableWidget(parent), sorted_((style & res::LVS_SORTASCENDING) != 0) {
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionMode((style & res::LVS_SINGLESEL) ? QAbstractItemView::SingleSelection
                                                : QAbstractItemView::ExtendedSelection);
  setSelectionBehavior(QAbstractItemView::SelectItems);
  setShowGrid(false);
  setWordWrap(false);
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  verticalHeader()->hide();
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setDefaultSectionSize(std::max(18, fontMetrics().height() + 4));
  horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  horizontalHeader()->setHighlightSections(false);
  horizontalHeader()->setStretchLastSection(false);
  horizontalHeader()->setSectionsClickable(false);
  setIconSize(QSize(16, 16));
  setColumnCount(0);
}

void ListView::SetImageList(std::vector<QIcon> images) {
  images_ = std::move(images);
  for (int row = 0; row < rowCount(); ++row) SetItemImage(row, ItemImage(row));
}

void ListView::InsertColumn(int column, const QString& header, int widthPixels) {
  column = std::clamp(column, 0, columnCount());
  insertColumn(column);
  auto* item = new QTableWidgetItem(header);
  item->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  setHorizontalHeaderItem(column, item);
  setColumnWidth(column, widthPixels);
}

void ListView::SetExtendedStyle(std::uint32_t style) {
  setShowGrid((style & 0x01) != 0);
  setSelectionBehavior((style & 0x20) ? QAbstractItemView::SelectRows
                                      : QAbstractItemView::SelectItems);
}

QTableWidgetItem* ListView::CellAt(int row, int column) {
  QTableWidgetItem* cell = item(row, column);
  if (cell == nullptr) {
    cell = new QTableWidgetItem();
    setItem(row, column, cell);
  }
  return cell;
}

int ListView::SortedPosition(const QString& text) const {
  // The first row whose text sorts after the new one.
  for (int row = 0; row < rowCount(); ++row) {
    if (QString::compare(text, ItemText(row), Qt::CaseInsensitive) < 0) return row;
  }
  return rowCount();
}

int ListView::InsertItem(int position, const QString& text, int image) {
  if (columnCount() == 0) return -1;
  const int row = sorted_ ? SortedPosition(text) : std::clamp(position, 0, rowCount());
  insertRow(row);
  CellAt(row, 0)->setText(text);
  SetItemImage(row, image);
  return row;
}

void ListView::DeleteItem(int row) {
  if (row >= 0 && row < rowCount()) removeRow(row);
}

void ListView::DeleteAllItems() { setRowCount(0); }

QString ListView::ItemText(int row, int column) const {
  const QTableWidgetItem* cell = item(row, column);
  return cell ? cell->text() : QString();
}

void ListView::SetItemText(int row, int column, const QString& text) {
  if (row < 0 || row >= rowCount() || column < 0 || column >= columnCount()) return;
  CellAt(row, column)->setText(text);
}

int ListView::ItemImage(int row) const {
  const QTableWidgetItem* cell = item(row, 0);
  return cell ? cell->data(kImageRole).toInt() : -1;
}

void ListView::SetItemImage(int row, int image) {
  if (row < 0 || row >= rowCount()) return;
  QTableWidgetItem* cell = CellAt(row, 0);
  cell->setData(kImageRole, image);
  const bool known = image >= 0 && static_cast<std::size_t>(image) < images_.size();
  cell->setIcon(known ? images_[static_cast<std::size_t>(image)] : QIcon());
}

void ListView::SetItemData(int row, std::int64_t data) {
  if (row < 0 || row >= rowCount()) return;
  CellAt(row, 0)->setData(kDataRole, QVariant::fromValue<qint64>(data));
}

std::int64_t ListView::ItemData(int row) const {
  const QTableWidgetItem* cell = item(row, 0);
  return cell ? cell->data(kDataRole).toLongLong() : 0;
}

int ListView::FindItem(const QString& text) const {
  for (int row = 0; row < rowCount(); ++row) {
    if (ItemText(row) == text) return row;
  }
  return -1;
}

int ListView::SelectedItem() const {
  for (int row = 0; row < rowCount(); ++row) {
    const QTableWidgetItem* cell = item(row, 0);
    if (cell && cell->isSelected()) return row;
  }
  return -1;
}

void ListView::SelectItem(int row) {
  clearSelection();
  if (row < 0 || row >= rowCount()) return;
  setCurrentCell(row, 0, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void ListView::SortItemsByData(bool descending) {
  const int rows = rowCount();
  const int columns = columnCount();
  std::vector<std::vector<QTableWidgetItem*>> taken(static_cast<std::size_t>(rows));
  for (int row = 0; row < rows; ++row) {
    for (int column = 0; column < columns; ++column) {
      taken[static_cast<std::size_t>(row)].push_back(takeItem(row, column));
    }
  }
  auto data = [](const std::vector<QTableWidgetItem*>& cells) -> qint64 {
    return cells.empty() || !cells[0] ? 0 : cells[0]->data(kDataRole).toLongLong();
  };
  std::stable_sort(taken.begin(), taken.end(), [&](const auto& a, const auto& b) {
    return descending ? data(a) > data(b) : data(a) < data(b);
  });
  for (int row = 0; row < rows; ++row) {
    for (int column = 0; column < columns; ++column) {
      setItem(row, column, taken[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)]);
    }
  }
  clearSelection();
}

}  // namespace halvern::ui
