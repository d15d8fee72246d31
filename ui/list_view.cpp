#include "list_view.h"

#include <QtGui/QKeyEvent>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QStyle>
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
  // A table walks its cells with Tab by default, which keeps the focus in the
  // list for good once it has rows.
  setTabKeyNavigation(false);
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
  connect(horizontalHeader(), &QHeaderView::sectionResized, this, [this](int column) {
    if (column != columnCount() - 1) FitLastColumn();
  });
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

void ListView::FitColumnTo(int column, const QString& sample) {
  if (column < 0 || column >= columnCount()) return;
  QStyleOptionViewItem option;
  initViewItemOption(&option);
  option.text = sample;
  option.features |= QStyleOptionViewItem::HasDisplay;
  if (column == 0) {
    option.features |= QStyleOptionViewItem::HasDecoration;
    option.decorationSize = iconSize();
  }
  const QSize cell = style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this);
  // The grid line takes one pixel of the column.
  const int needed = cell.width() + (showGrid() ? 1 : 0);
  if (needed > columnWidth(column)) setColumnWidth(column, needed);
}

void ListView::StretchLastColumn() {
  if (columnCount() == 0) return;
  lastColumnMinWidth_ = columnWidth(columnCount() - 1);
  FitLastColumn();
}

void ListView::FitLastColumn() {
  if (lastColumnMinWidth_ < 0 || columnCount() == 0 || fitting_) return;
  const int last = columnCount() - 1;
  int others = 0;
  for (int column = 0; column < last; ++column) others += columnWidth(column);
  fitting_ = true;
  setColumnWidth(last, std::max(lastColumnMinWidth_, viewport()->width() - others));
  fitting_ = false;
}

bool ListView::viewportEvent(QEvent* event) {
  // The viewport changes size with the list and when a scroll bar comes or goes.
  if (event->type() == QEvent::Resize) FitLastColumn();
  return QTableWidget::viewportEvent(event);
}

void ListView::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  const int row = currentRow();
  if (!enter || !enterActivates_ || row < 0 || row >= rowCount()) {
    QTableWidget::keyPressEvent(event);
    return;
  }
  event->accept();
  SelectItem(row);
  Q_EMIT rowEntered(row);
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
  // The first row whose text sorts after the new one. Every row of a sorted
  // list came in through here, so the rows are in order and a binary search
  // finds it: filling the list with n rows costs n log n comparisons, not n².
  int first = 0;
  int count = rowCount();
  while (count > 0) {
    const int half = count / 2;
    if (QString::compare(text, ItemText(first + half), Qt::CaseInsensitive) < 0) {
      count = half;
    } else {
      first += half + 1;
      count -= half + 1;
    }
  }
  return first;
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
  if (row < 0 || row >= rowCount()) {
    // Removing the current row makes a single-selection view select the next
    // one; a command that acts on "the selected row" must then find none.
    selectionModel()->clear();
    return;
  }
  clearSelection();
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
