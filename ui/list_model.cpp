#include "list_model.h"

#include <algorithm>

namespace halvern::ui {

ListModel::ListModel(QObject* parent)
    : QAbstractTableModel(parent),
      index_([this](int row) -> const QString& { return Text(row, 0); }) {}

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
  if (role == Qt::AccessibleTextRole && column == 0) {
    const int image = Image(row);
    const bool named = image >= 0 && static_cast<std::size_t>(image) < imageNames_.size();
    if (!named) return Text(row, 0);
    return Text(row, 0) + QStringLiteral(", ") + imageNames_[static_cast<std::size_t>(image)];
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

void ListModel::SetImages(std::vector<QIcon> images, std::vector<QString> names) {
  images_ = std::move(images);
  imageNames_ = std::move(names);
  if (Rows() > 0 && Columns() > 0 && bulkDepth_ == 0) {
    Q_EMIT dataChanged(index(0, 0), index(Rows() - 1, 0), {Qt::DecorationRole});
  }
}

void ListModel::InsertColumn(int column, const QString& header) {
  const int oldColumns = Columns();
  if (bulkDepth_ == 0) beginInsertColumns({}, column, column);
  QList<QString> cells;
  cells.reserve(static_cast<qsizetype>(Rows()) * (oldColumns + 1));
  for (int row = 0; row < Rows(); ++row) {
    for (int c = 0; c <= oldColumns; ++c) {
      if (c == column) cells.emplace_back();
      if (c < oldColumns) cells.push_back(std::move(cells_[Cell(row, c)]));
    }
  }
  cells_ = std::move(cells);
  headers_.insert(headers_.begin() + column, header);
  if (bulkDepth_ == 0) endInsertColumns();
  // Column 0 may now be another column: its texts name the rows.
  if (column == 0) index_.Reindex();
}

QString ListModel::Header(int column) const {
  return column >= 0 && column < Columns() ? headers_[static_cast<std::size_t>(column)] : QString();
}

void ListModel::InsertRow(int row, const QString& text, int image) {
  if (bulkDepth_ == 0) beginInsertRows({}, row, row);
  cells_.insert(Cell(row, 0), Columns(), QString());
  // A cell that was given a text shows it, even an empty one.
  cells_[Cell(row, 0)] = text.isNull() ? QStringLiteral("") : text;
  info_.insert(info_.begin() + row, RowInfo{0, image, {}});
  index_.Inserted(row, text);
  if (bulkDepth_ == 0) endInsertRows();
}

void ListModel::RemoveRow(int row) {
  if (bulkDepth_ == 0) beginRemoveRows({}, row, row);
  // The index may look at the rows after this one while it is still there.
  index_.Removed(row, Text(row, 0));
  cells_.remove(Cell(row, 0), Columns());
  info_.erase(info_.begin() + row);
  if (bulkDepth_ == 0) endRemoveRows();
}

void ListModel::RemoveAll() {
  if (info_.empty()) return;
  if (bulkDepth_ == 0) beginRemoveRows({}, 0, Rows() - 1);
  cells_.clear();
  info_.clear();
  index_.Clear();
  if (bulkDepth_ == 0) endRemoveRows();
}

void ListModel::SetText(int row, int column, const QString& text) {
  const QString stored = text.isNull() ? QStringLiteral("") : text;
  if (column == 0) index_.Retexted(row, Text(row, 0), stored);
  cells_[Cell(row, column)] = stored;
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

void ListModel::Reorder(const std::vector<int>& order) {
  const int columns = Columns();
  if (bulkDepth_ == 0) Q_EMIT layoutAboutToBeChanged({}, QAbstractItemModel::NoLayoutChangeHint);
  QList<QString> cells;
  cells.reserve(cells_.size());
  std::vector<RowInfo> info;
  info.reserve(info_.size());
  for (const int from : order) {
    for (int column = 0; column < columns; ++column) {
      cells.push_back(std::move(cells_[Cell(from, column)]));
    }
    info.push_back(info_[static_cast<std::size_t>(from)]);
  }
  cells_ = std::move(cells);
  info_ = std::move(info);
  index_.Reordered(order);
  if (bulkDepth_ == 0) Q_EMIT layoutChanged({}, QAbstractItemModel::NoLayoutChangeHint);
}

void ListModel::BeginBulk() {
  if (bulkDepth_++ > 0) return;
  beginResetModel();
  index_.Hold();
}

void ListModel::EndBulk() {
  if (bulkDepth_ == 0 || --bulkDepth_ > 0) return;
  index_.Release();
  endResetModel();
}

}  // namespace halvern::ui
