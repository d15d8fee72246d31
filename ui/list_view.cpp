#include "list_view.h"

#include <QtGui/QHelpEvent>
#include <QtGui/QKeyEvent>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QStyle>
#include <QtWidgets/QToolTip>
#include <algorithm>
#include <numeric>

#include "dialog_template.h"
#include "list_model.h"

namespace halvern::ui {

ListView::ListView(std::uint32_t style, QWidget* parent)
    : QTableView(parent),
      model_(new ListModel(this)),
      sorted_((style & res::LVS_SORTASCENDING) != 0) {
  setModel(model_);
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
  connect(horizontalHeader(), &QHeaderView::sectionResized, this, [this](int column) {
    if (column != columnCount() - 1) FitLastColumn();
  });
  connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
    Q_EMIT cellDoubleClicked(index.row(), index.column());
  });
}

int ListView::rowCount() const { return model_->Rows(); }

int ListView::columnCount() const { return model_->Columns(); }

int ListView::ItemCount() const { return model_->Rows(); }

void ListView::setCurrentCell(int row, int column) { setCurrentIndex(model_->index(row, column)); }

void ListView::setCurrentCell(int row, int column, QItemSelectionModel::SelectionFlags command) {
  selectionModel()->setCurrentIndex(model_->index(row, column), command);
}

void ListView::SetImageList(std::vector<QIcon> images, std::vector<QString> names) {
  model_->SetImages(std::move(images), std::move(names));
}

void ListView::InsertColumn(int column, const QString& header, int widthPixels) {
  column = std::clamp(column, 0, columnCount());
  model_->InsertColumn(column, header);
  setColumnWidth(column, widthPixels);
}

QString ListView::HeaderText(int column) const { return model_->Header(column); }

int ListView::CellWidthFor(int column, const QString& text) const {
  QStyleOptionViewItem option;
  initViewItemOption(&option);
  option.text = text;
  option.features |= QStyleOptionViewItem::HasDisplay;
  if (column == 0) {
    option.features |= QStyleOptionViewItem::HasDecoration;
    option.decorationSize = iconSize();
  }
  const QSize cell = style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this);
  // The grid line takes one pixel of the column.
  return cell.width() + (showGrid() ? 1 : 0);
}

void ListView::FitColumnTo(int column, const QString& sample) {
  if (column < 0 || column >= columnCount()) return;
  const int needed = CellWidthFor(column, sample);
  if (needed > columnWidth(column)) setColumnWidth(column, needed);
}

int ListView::WidthForColumns() const {
  int width = 2 * frameWidth() + style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
  for (int column = 0; column < columnCount(); ++column) {
    const bool last = column == columnCount() - 1;
    width += last && lastColumnMinWidth_ >= 0 ? lastColumnMinWidth_ : columnWidth(column);
  }
  return width;
}

void ListView::SetItemToolTip(int row, const QString& text) {
  if (HasRow(row)) model_->SetToolTip(row, text);
}

QString ListView::CellToolTip(int row, int column) const {
  if (!HasRow(row) || column < 0 || column >= columnCount()) return {};
  const QString& text = model_->Text(row, column);
  QString tip;
  if (!text.isEmpty() && CellWidthFor(column, text) > columnWidth(column)) tip = text;
  if (column == 0 && !model_->ToolTip(row).isEmpty()) {
    if (!tip.isEmpty()) tip += QLatin1Char('\n');
    tip += model_->ToolTip(row);
  }
  return tip;
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
  if (event->type() == QEvent::ToolTip) {
    const auto* help = static_cast<QHelpEvent*>(event);
    const QModelIndex index = indexAt(help->pos());
    const QString tip = index.isValid() ? CellToolTip(index.row(), index.column()) : QString();
    if (tip.isEmpty()) {
      QToolTip::hideText();
    } else {
      QToolTip::showText(help->globalPos(), tip, viewport(), visualRect(index));
    }
    return true;
  }
  return QTableView::viewportEvent(event);
}

void ListView::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  const int row = currentRow();
  if (!enter || !enterActivates_ || row < 0 || row >= rowCount()) {
    QTableView::keyPressEvent(event);
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

int ListView::SortedPosition(const QString& text) const {
  // The first row whose text sorts after the new one. The rows of a sorted
  // list are in order, so a binary search finds it.
  int first = 0;
  int count = rowCount();
  while (count > 0) {
    const int half = count / 2;
    if (QString::compare(text, model_->Text(first + half, 0), Qt::CaseInsensitive) < 0) {
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
  int row = std::clamp(position, 0, rowCount());
  if (sorted_) row = bulkDepth_ > 0 ? rowCount() : SortedPosition(text);
  model_->InsertRow(row, text, image);
  return row;
}

void ListView::DeleteItem(int row) {
  if (HasRow(row)) model_->RemoveRow(row);
}

void ListView::DeleteAllItems() { model_->RemoveAll(); }

QString ListView::ItemText(int row, int column) const {
  if (!HasRow(row) || column < 0 || column >= columnCount()) return {};
  return model_->Text(row, column);
}

void ListView::SetItemText(int row, int column, const QString& text) {
  if (!HasRow(row) || column < 0 || column >= columnCount()) return;
  model_->SetText(row, column, text);
}

int ListView::ItemImage(int row) const { return HasRow(row) ? model_->Image(row) : -1; }

void ListView::SetItemImage(int row, int image) {
  if (HasRow(row)) model_->SetImage(row, image);
}

void ListView::SetItemData(int row, std::int64_t data) {
  if (HasRow(row)) model_->SetData(row, data);
}

std::int64_t ListView::ItemData(int row) const { return HasRow(row) ? model_->Data(row) : 0; }

int ListView::FindItem(const QString& text) const { return model_->FindFirst(text); }

int ListView::SelectedItem() const {
  // The first row whose cell in column 0 is selected.
  int first = -1;
  for (const QItemSelectionRange& range : selectionModel()->selection()) {
    if (range.left() > 0) continue;
    if (first < 0 || range.top() < first) first = range.top();
  }
  return first;
}

void ListView::SelectItem(int row) {
  if (!HasRow(row)) {
    // Removing the current row makes a single-selection view select the next
    // one; a command that acts on "the selected row" must then find none.
    selectionModel()->clear();
    return;
  }
  clearSelection();
  setCurrentCell(row, 0, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void ListView::SortItemsByData(bool descending) {
  std::vector<int> order(static_cast<std::size_t>(rowCount()));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [this, descending](int a, int b) {
    return descending ? model_->Data(a) > model_->Data(b) : model_->Data(a) < model_->Data(b);
  });
  model_->Reorder(order);
  clearSelection();
}

void ListView::SortBulkRows() {
  // A stable sort puts rows of equal text in the order they came in, after
  // the rows that were there before: where one insert after another puts them.
  std::vector<int> order(static_cast<std::size_t>(rowCount()));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [this](int a, int b) {
    return QString::compare(model_->Text(a, 0), model_->Text(b, 0), Qt::CaseInsensitive) < 0;
  });
  model_->Reorder(order);
}

ListView::BulkFill::BulkFill(ListView& list) : list_(list) {
  ++list_.bulkDepth_;
  list_.model_->BeginBulk();
}

ListView::BulkFill::~BulkFill() {
  if (--list_.bulkDepth_ == 0 && list_.sorted_ && list_.columnCount() > 0) list_.SortBulkRows();
  list_.model_->EndBulk();
}

}  // namespace halvern::ui
