#pragma once
// The report-view list control: rows of text cells with a small status image
// in column 0, column headers, optional grid lines and full-row selection. A
// list made with the sort-ascending style keeps its rows ordered by the text of
// column 0 (without regard to case), whatever position a row is inserted at.
//
// Keyboard: Tab leaves the list for the next control (it never walks the
// cells); Enter on a row emits rowEntered when enabled with SetEnterActivates,
// as a double-click on it would act.

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
  // Widens `column` (never narrows it) so that a cell holding `sample` shows it
  // whole in the list's font, the row's image included in column 0.
  void FitColumnTo(int column, const QString& sample);
  // The last column fills the room the others leave and never gets narrower
  // than its width at this call.
  void StretchLastColumn();
  // Enter on a row selects it and emits rowEntered instead of passing the key on.
  void SetEnterActivates(bool on) { enterActivates_ = on; }
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
  // Selects `row`; -1 (or any row that is not there) leaves no row selected
  // and none current.
  void SelectItem(int row);
  // Orders the rows by `less` on their item data; the selection is dropped.
  void SortItemsByData(bool descending);

 Q_SIGNALS:
  void rowEntered(int row);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  bool viewportEvent(QEvent* event) override;

 private:
  QTableWidgetItem* CellAt(int row, int column);
  int SortedPosition(const QString& text) const;
  void FitLastColumn();

  bool sorted_;
  bool enterActivates_ = false;
  int lastColumnMinWidth_ = -1;  // -1: the last column does not stretch
  bool fitting_ = false;
  std::vector<QIcon> images_;
};

}  // namespace halvern::ui
