#pragma once
// The report-view list control: rows of text cells with a small status image
// in column 0, column headers, optional grid lines and full-row selection. A
// list made with the sort-ascending style keeps its rows ordered by the text of
// column 0 (without regard to case), whatever position a row is inserted at.

#include <QtWidgets/QTableWidget>
#include <cstdint>
#include <vector>

namespace halvern::ui {

class ListView : public QTableWidget {
  Q_OBJECT

 public:
  // `style` is the template's list-view style (LVS_SINGLESEL, LVS_SORTASCENDING ...).
  explicit ListView(std::uint32_t style, QWidget* parent = nullptr);

  // The images a row can show, by index.
  void SetImageList(std::vector<QIcon> images);
  void InsertColumn(int column, const QString& header, int widthPixels);
  // LVS_EX_GRIDLINES (0x01) and LVS_EX_FULLROWSELECT (0x20).
  void SetExtendedStyle(std::uint32_t style);

  // Inserts a row (position clamped to the row count; in a sorted list the
  // row goes to its sorted place) and returns its index.
  int InsertItem(int position, const QString& text, int image);
  void DeleteItem(int row);
  void DeleteAllItems();
  int ItemCount() const { return rowCount(); }
  QString ItemText(int row, int column = 0) const;
  void SetItemText(int row, int column, const QString& text);
  int ItemImage(int row) const;
  void SetItemImage(int row, int image);
  // Item data: a number kept with the row, used for sorting.
  void SetItemData(int row, std::int64_t data);
  std::int64_t ItemData(int row) const;
  // The first row with exactly this text in column 0, or -1.
  int FindItem(const QString& text) const;
  // The first selected row, or -1.
  int SelectedItem() const;
  void SelectItem(int row);
  // Orders the rows by `less` on their item data; the selection is dropped.
  void SortItemsByData(bool descending);

 private:
  QTableWidgetItem* CellAt(int row, int column);
  int SortedPosition(const QString& text) const;

  bool sorted_;
  std::vector<QIcon> images_;
};

}  // namespace halvern::ui
