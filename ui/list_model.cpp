#include "list_model.h"

#include <algorithm>

namespace halvern::ui {

int ListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : Rows(); }

int ListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : Columns();
}

QVariant ListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= Rows() || index.column() >= Columns()) return {};
  const int row = index.row();
  const int column = index.column();
  if (role == Qt::DisplayRole || role == Qt::EditRole) {
    // Column 0 always holds a text; a cell of another column has none until
    // one is set, and then shows nothing and needs no room.
    const QString& text = Text(row, column);
    if (column != 0 && text.isNull()) return {};
    return text;
  }
  if (role == Qt::DecorationRole && column == 0) {
    const int image = Image(row);
    const bool known = image >= 0 && static_cast<std::size_t>(image) < images_.size();
    return known ? images_[static_cast<std::size_t>(image)] : QIcon();
  }
  return {};
}

QVariant ListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= Columns()) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  if (role == Qt::DisplayRole) return headers_[static_cast<std::size_t>(section)];
  if (role == Qt::TextAlignmentRole) return static_cast<int>(Qt::AlignLeft | Qt::AlignVCenter);
  return {};
}

Qt::ItemFlags ListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
}

void ListModel::SetImages(std::vector<QIcon> images) {
  images_ = std::move(images);
  if (Rows() > 0 && Columns() > 0 && bulkDepth_ == 0) {
    Q_EMIT dataChanged(index(0, 0), index(Rows() - 1, 0), {Qt::DecorationRole});
  }
}

void ListModel::InsertColumn(int column, const QString& header) {
  const std::size_t oldColumns = headers_.size();
  if (bulkDepth_ == 0) beginInsertColumns({}, column, column);
  std::vector<QString> cells;
  cells.reserve(info_.size() * (oldColumns + 1));
  for (std::size_t row = 0; row < info_.size(); ++row) {
    for (std::size_t c = 0; c <= oldColumns; ++c) {
      const auto at = static_cast<std::size_t>(column);
      if (c == at) cells.emplace_back();
      if (c < oldColumns) cells.push_back(std::move(cells_[row * oldColumns + c]));
    }
  }
  cells_ = std::move(cells);
  headers_.insert(headers_.begin() + column, header);
  if (bulkDepth_ == 0) endInsertColumns();
  // Column 0 may now be another column: its texts name the rows.
  if (column == 0) RebuildIndex();
}

QString ListModel::Header(int column) const {
  return column >= 0 && column < Columns() ? headers_[static_cast<std::size_t>(column)] : QString();
}

void ListModel::InsertRow(int row, const QString& text, int image) {
  if (bulkDepth_ == 0) beginInsertRows({}, row, row);
  const auto at = cells_.begin() + static_cast<std::ptrdiff_t>(Cell(row, 0));
  cells_.insert(at, headers_.size(), QString());
  cells_[Cell(row, 0)] = text.isNull() ? QStringLiteral("") : text;
  info_.insert(info_.begin() + row, RowInfo{0, image});
  IndexInserted(row, text);
  if (bulkDepth_ == 0) endInsertRows();
}

void ListModel::RemoveRow(int row) {
  if (bulkDepth_ == 0) beginRemoveRows({}, row, row);
  const QString text = Text(row, 0);
  const auto first = cells_.begin() + static_cast<std::ptrdiff_t>(Cell(row, 0));
  cells_.erase(first, first + static_cast<std::ptrdiff_t>(headers_.size()));
  info_.erase(info_.begin() + row);
  IndexRemoved(row, text);
  if (bulkDepth_ == 0) endRemoveRows();
}

void ListModel::RemoveAll() {
  if (info_.empty()) return;
  if (bulkDepth_ == 0) beginRemoveRows({}, 0, Rows() - 1);
  cells_.clear();
  info_.clear();
  firstRow_.clear();
  if (bulkDepth_ == 0) endRemoveRows();
}

void ListModel::SetText(int row, int column, const QString& text) {
  QString& cell = cells_[Cell(row, column)];
  // A cell that was given a text shows it, even an empty one.
  const QString stored = text.isNull() ? QStringLiteral("") : text;
  if (column == 0 && cell != stored) IndexTextChanged(row, cell, stored);
  cell = stored;
  CellChanged(row, column);
}

void ListModel::SetImage(int row, int image) {
  info_[static_cast<std::size_t>(row)].image = image;
  CellChanged(row, 0);
}

void ListModel::CellChanged(int row, int column) {
  if (bulkDepth_ > 0) return;
  const QModelIndex cell = index(row, column);
  Q_EMIT dataChanged(cell, cell);
}

int ListModel::FindFirst(const QString& text) const {
  // The index is brought up to date when a bulk change ends.
  if (bulkDepth_ > 0) return ScanFrom(0, text);
  const auto it = firstRow_.constFind(text);
  return it == firstRow_.constEnd() ? -1 : it.value();
}

int ListModel::ScanFrom(int from, const QString& text) const {
  if (headers_.empty()) return -1;
  for (int row = from; row < Rows(); ++row) {
    if (Text(row, 0) == text) return row;
  }
  return -1;
}

void ListModel::IndexInserted(int row, const QString& text) {
  if (bulkDepth_ > 0) return;
  if (row < Rows() - 1) {
    for (auto it = firstRow_.begin(); it != firstRow_.end(); ++it) {
      if (it.value() >= row) ++it.value();
    }
  }
  auto it = firstRow_.find(text);
  if (it == firstRow_.end()) {
    firstRow_.insert(text, row);
  } else if (it.value() > row) {
    it.value() = row;
  }
}

void ListModel::IndexRemoved(int row, const QString& text) {
  if (bulkDepth_ > 0) return;
  const auto it = firstRow_.find(text);
  const bool wasFirst = it != firstRow_.end() && it.value() == row;
  for (auto shift = firstRow_.begin(); shift != firstRow_.end(); ++shift) {
    if (shift.value() > row) --shift.value();
  }
  if (!wasFirst) return;
  // Another row of the same text, if any, comes later.
  const int next = ScanFrom(row, text);
  if (next < 0) {
    firstRow_.erase(it);
  } else {
    it.value() = next;
  }
}

void ListModel::IndexTextChanged(int row, const QString& before, const QString& after) {
  if (bulkDepth_ > 0) return;
  auto old = firstRow_.find(before);
  if (old != firstRow_.end() && old.value() == row) {
    const int next = ScanFrom(row + 1, before);
    if (next < 0) {
      firstRow_.erase(old);
    } else {
      old.value() = next;
    }
  }
  auto now = firstRow_.find(after);
  if (now == firstRow_.end()) {
    firstRow_.insert(after, row);
  } else if (now.value() > row) {
    now.value() = row;
  }
}

void ListModel::RebuildIndex() {
  firstRow_.clear();
  if (headers_.empty()) return;
  firstRow_.reserve(Rows());
  // From the last row up, so that the first row of a text is the one kept.
  for (int row = Rows() - 1; row >= 0; --row) firstRow_.insert(Text(row, 0), row);
}

void ListModel::Reorder(const std::vector<int>& order) {
  const std::size_t columns = headers_.size();
  if (bulkDepth_ == 0) Q_EMIT layoutAboutToBeChanged({}, QAbstractItemModel::NoLayoutChangeHint);
  std::vector<QString> cells;
  cells.reserve(cells_.size());
  std::vector<RowInfo> info;
  info.reserve(info_.size());
  for (const int from : order) {
    const auto first = cells_.begin() + static_cast<std::ptrdiff_t>(Cell(from, 0));
    std::move(first, first + static_cast<std::ptrdiff_t>(columns), std::back_inserter(cells));
    info.push_back(info_[static_cast<std::size_t>(from)]);
  }
  cells_ = std::move(cells);
  info_ = std::move(info);
  if (bulkDepth_ > 0) return;
  RebuildIndex();
  Q_EMIT layoutChanged({}, QAbstractItemModel::NoLayoutChangeHint);
}

void ListModel::BeginBulk() {
  if (bulkDepth_++ == 0) beginResetModel();
}

void ListModel::EndBulk() {
  if (bulkDepth_ == 0 || --bulkDepth_ > 0) return;
  RebuildIndex();
  endResetModel();
}

}  // namespace halvern::ui
