#pragma once
// The report-view list control: rows of text cells with a small status image
// in column 0, column headers, optional grid lines and full-row selection. A
// list made with the sort-ascending style keeps its rows ordered by the text of
// column 0 (without regard to case), whatever position a row is inserted at.
//
// Keyboard: Tab leaves the list for the next control (it never walks the
// cells); Enter on a row emits rowEntered when enabled with SetEnterActivates,
// as a double-click on it would act.
//
// The rows live in a ListModel of the list's own (texts, image and item data
// per row, no object per cell), which also finds a row by its text at once.

#include <QtWidgets/QTableView>
#include <cstdint>
#include <vector>

namespace halvern::ui {

class ListModel;

class ListView : public QTableView {
  Q_OBJECT

 public:
  // `style` is the template's list-view style (LVS_SINGLESEL, LVS_SORTASCENDING ...).
  explicit ListView(std::uint32_t style, QWidget* parent = nullptr);

  // The images a row can show, by index, and what each says: a row's
  // accessible text is its first cell's text and its image's name.
  void SetImageList(std::vector<QIcon> images, std::vector<QString> names = {});
  void InsertColumn(int column, const QString& header, int widthPixels);
  QString HeaderText(int column) const;
  // Widens `column` (never narrows it) so that a cell holding `sample` shows it
  // whole in the list's font, the row's image included in column 0.
  void FitColumnTo(int column, const QString& sample);
  // The last column fills the room the others leave and never gets narrower
  // than its width at this call.
  void StretchLastColumn();
  // The width the list needs to show every column at its width (the last at
  // its smallest), with its frame and a vertical scroll bar.
  int WidthForColumns() const;
  // Enter on a row selects it and emits rowEntered instead of passing the key on.
  void SetEnterActivates(bool on) { enterActivates_ = on; }
  // LVS_EX_GRIDLINES (0x01) and LVS_EX_FULLROWSELECT (0x20).
  void SetExtendedStyle(std::uint32_t style);

  // Inserts a row (position clamped to the row count; in a sorted list the
  // row goes to its sorted place) and returns its index.
  int InsertItem(int position, const QString& text, int image);
  void DeleteItem(int row);
  void DeleteAllItems();
  int ItemCount() const;
  QString ItemText(int row, int column = 0) const;
  void SetItemText(int row, int column, const QString& text);
  int ItemImage(int row) const;
  void SetItemImage(int row, int image);
  // A text kept with the row and shown, after the whole first cell when that
  // is cut, as the tooltip of its first cell.
  void SetItemToolTip(int row, const QString& text);
  // The tooltip of a cell: its whole text when the column is too narrow to
  // show it, and the row's own text (SetItemToolTip) for the first cell;
  // empty when there is nothing to add to what the cell shows.
  QString CellToolTip(int row, int column) const;
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
  // Orders the rows by their item data, rows of equal data in the order they
  // had; the selection is dropped, the current cell stays where it is.
  void SortItemsByData(bool descending);

  // Rows inserted while a BulkFill lives reach their places when it ends: a
  // sorted list then sorts them once, into the order that inserting them one
  // by one gives (a row after the rows whose text equals its own without
  // regard to case), and the views hear of all of it once. Until then a
  // sorted list keeps new rows after the others, and InsertItem returns that
  // place. The fill drops the selection and the current cell.
  class BulkFill {
   public:
    explicit BulkFill(ListView& list);
    ~BulkFill();
    BulkFill(const BulkFill&) = delete;
    BulkFill& operator=(const BulkFill&) = delete;

   private:
    ListView& list_;
  };

  // The table's own calls, on the list's rows.
  int rowCount() const;
  int columnCount() const;
  int currentRow() const { return currentIndex().row(); }
  int currentColumn() const { return currentIndex().column(); }
  void setCurrentCell(int row, int column);
  void setCurrentCell(int row, int column, QItemSelectionModel::SelectionFlags command);

 Q_SIGNALS:
  void rowEntered(int row);
  void cellDoubleClicked(int row, int column);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  bool viewportEvent(QEvent* event) override;

 private:
  bool HasRow(int row) const { return row >= 0 && row < rowCount(); }
  // The width a cell of `column` needs to show `text` whole.
  int CellWidthFor(int column, const QString& text) const;
  int SortedPosition(const QString& text) const;
  void SortBulkRows();
  void FitLastColumn();

  ListModel* model_;  // owned by the list (QObject child)
  bool sorted_;
  int bulkDepth_ = 0;
  bool enterActivates_ = false;
  int lastColumnMinWidth_ = -1;  // -1: the last column does not stretch
  bool fitting_ = false;
};

}  // namespace halvern::ui
