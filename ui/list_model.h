#pragma once
// The rows behind a ListView: the text of every cell, each row's image and
// item data, and an index from the exact text of column 0 to the first row
// that holds it, so that a row is found by its text in constant time. The
// cells live in one flat array (row by row), which keeps a list of 100,000
// rows at a few dozen bytes a row beside the texts themselves.

#include <QtCore/QAbstractTableModel>
#include <QtCore/QList>
#include <QtGui/QIcon>
#include <cstdint>
#include <vector>

#include "row_index.h"

namespace halvern::ui {

class ListModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit ListModel(QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  int Rows() const { return static_cast<int>(info_.size()); }
  int Columns() const { return static_cast<int>(headers_.size()); }

  // The images a row can show in column 0, by index, and their names, which
  // column 0's accessible text adds to the row's text ("Site, failed").
  void SetImages(std::vector<QIcon> images, std::vector<QString> names = {});
  // `column` in [0, Columns()].
  void InsertColumn(int column, const QString& header);
  QString Header(int column) const;

  // The row and column arguments below must name a row and column that are
  // there (`row` may be Rows() for InsertRow); the list view checks them.
  void InsertRow(int row, const QString& text, int image);
  void RemoveRow(int row);
  void RemoveAll();
  const QString& Text(int row, int column) const { return cells_[Cell(row, column)]; }
  void SetText(int row, int column, const QString& text);
  int Image(int row) const { return info_[static_cast<std::size_t>(row)].image; }
  void SetImage(int row, int image);
  std::int64_t Data(int row) const { return info_[static_cast<std::size_t>(row)].data; }
  void SetData(int row, std::int64_t data) { info_[static_cast<std::size_t>(row)].data = data; }
  // A text of the row's own, shown as the tooltip of its first cell.
  const QString& ToolTip(int row) const { return info_[static_cast<std::size_t>(row)].toolTip; }
  void SetToolTip(int row, const QString& text) {
    info_[static_cast<std::size_t>(row)].toolTip = text;
  }

  // The first row whose column 0 is exactly `text`, or -1.
  int FindFirst(const QString& text) const { return index_.Find(text); }

  // Puts the row that was at order[i] at row i; `order` holds every row once.
  // Views keep their current cell and selection at the same positions, as
  // they do when the cells' contents are swapped.
  void Reorder(const std::vector<int>& order);

  // Between BeginBulk and EndBulk rows come and go without a signal each; at
  // EndBulk the views hear of it once, as a reset (they drop their selection
  // and current cell). Nested calls count; the outermost EndBulk tells.
  void BeginBulk();
  void EndBulk();

 private:
  struct RowInfo {
    std::int64_t data = 0;
    int image = -1;
    QString toolTip;
  };

  qsizetype Cell(int row, int column) const {
    return static_cast<qsizetype>(row) * Columns() + column;
  }
  void CellChanged(int row, int column);
  void ReindexAll();

  std::vector<QString> headers_;
  // QString moves by memmove in a QList, so a row inserted or removed in the
  // middle shifts the cells after it cheaply.
  QList<QString> cells_;
  std::vector<RowInfo> info_;
  std::vector<QIcon> images_;
  std::vector<QString> imageNames_;
  RowIndex index_;
  int bulkDepth_ = 0;
};

}  // namespace halvern::ui
