#include "history_window.h"

#include <QtCore/QSortFilterProxyModel>
#include <QtGui/QCloseEvent>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>
#include <QtGui/QShortcut>
#include <QtWidgets/QApplication>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QSplitter>
#include <QtWidgets/QTableView>
#include <QtWidgets/QTableWidget>
#include <QtWidgets/QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "check_log.h"
#include "clock.h"
#include "settings_store.h"
#include "url_entry.h"

namespace halvern::ui {
namespace {

constexpr int kPollMs = 1000;

// Colours that read on light and dark backgrounds alike.
const QColor kGreen(0x2e, 0xa0, 0x4e);
const QColor kRed(0xd9, 0x3f, 0x3f);
const QColor kAmber(0xe8, 0xa3, 0x17);
const QColor kLine(0x3b, 0x82, 0xf6);

QString Q(const std::u16string& text) { return QString::fromStdU16String(text); }

QString Ms(std::optional<double> ms) {
  if (!ms) return QString::fromUtf16(u"\u2014");
  if (*ms >= 10000) return QStringLiteral("%1 s").arg(*ms / 1000, 0, 'f', 1);
  return QStringLiteral("%1 ms").arg(std::lround(*ms));
}

QString LocalTimeText(std::int64_t ms) {
  return Q(FormatLocalTime(ms >= 0 ? ms / 1000 : (ms - 999) / 1000, u"%X %x"));
}

// The grey of a cell without a check: halfway between the base and the text.
QColor NotChecked(const QPalette& palette) {
  const QColor a = palette.color(QPalette::Base);
  const QColor b = palette.color(QPalette::Text);
  return QColor((a.red() * 3 + b.red()) / 4, (a.green() * 3 + b.green()) / 4,
                (a.blue() * 3 + b.blue()) / 4);
}

}  // namespace

// ---- The table.

HistoryModel::HistoryModel(QObject* parent) : QAbstractTableModel(parent) {}

void HistoryModel::SetRows(std::vector<EntryOverview> rows) {
  // Same entries in the same order (a live update): the cells change in place,
  // so that the view keeps its selection and scroll position.
  const bool same =
      rows.size() == rows_.size() &&
      std::equal(rows.begin(), rows.end(), rows_.begin(), [](const auto& a, const auto& b) {
        return a.entry.entryId == b.entry.entryId && a.entry.title == b.entry.title;
      });
  if (same) {
    rows_ = std::move(rows);
    if (!rows_.empty()) Q_EMIT dataChanged(index(0, 0), index(Rows() - 1, kColCount - 1));
    return;
  }
  beginResetModel();
  rows_ = std::move(rows);
  endResetModel();
}

int HistoryModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : Rows();
}

int HistoryModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColCount;
}

QVariant HistoryModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= Rows()) return {};
  const EntryOverview& o = Row(index.row());
  const auto uptime = [&](const UptimeCount& count) -> QVariant {
    if (role == kHistorySortRole) return UptimeRatio(count).value_or(-1.0);
    if (role == Qt::DisplayRole) return Q(FormatUptime(count));
    if (role == Qt::ToolTipRole) {
      return QStringLiteral("%1 of %2 checks up").arg(count.up).arg(count.all);
    }
    if (role == Qt::TextAlignmentRole) return int(Qt::AlignRight | Qt::AlignVCenter);
    return {};
  };
  switch (index.column()) {
    case kColTitle:
      if (role == Qt::DisplayRole || role == kHistorySortRole) return Q(o.entry.title);
      if (role == Qt::ToolTipRole) return Q(o.entry.url);
      return {};
    case kColStrip: {
      int up = 0, retried = 0, down = 0;
      for (const StripCell& c : o.strip) {
        up += c.up;
        retried += c.upAfterRetry;
        down += c.down;
      }
      if (role == kHistorySortRole) return down * 1000000 + retried * 1000 - up;
      if (role == Qt::ToolTipRole || role == Qt::AccessibleTextRole) {
        return QStringLiteral("Last 24 hours: %1 passed, %2 passed after a retry, %3 failed")
            .arg(up)
            .arg(retried)
            .arg(down);
      }
      return {};
    }
    case kColUptimeDay:
      return uptime(o.day);
    case kColUptimeWeek:
      return uptime(o.week);
    case kColUptimeMonth:
      return uptime(o.month);
    case kColMedian:
      if (role == kHistorySortRole) return o.medianDayMs.value_or(-1.0);
      if (role == Qt::DisplayRole) return Ms(o.medianDayMs);
      if (role == Qt::TextAlignmentRole) return int(Qt::AlignRight | Qt::AlignVCenter);
      return {};
    case kColLastFailure:
      if (role == kHistorySortRole) return qint64(o.lastFailureMs.value_or(-1));
      if (!o.lastFailureMs) {
        return role == Qt::DisplayRole ? QString::fromUtf16(u"\u2014") : QVariant();
      }
      if (role == Qt::DisplayRole) {
        return LocalTimeText(*o.lastFailureMs) + QStringLiteral("  ") + Q(o.lastFailureReason);
      }
      if (role == Qt::ToolTipRole) return Q(o.lastFailureReason);
      return {};
    case kColCertificate:
      // Filled by the certificate checks.
      if (role == kHistorySortRole) return QString();
      return {};
    default:
      return {};
  }
}

QVariant HistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  static const char* const kHeaders[kColCount] = {"Title",         "Last 24 hours",  "Uptime 24 h",
                                                  "Uptime 7 days", "Uptime 30 days", "Median 24 h",
                                                  "Last failure",  "Certificate"};
  if (section < 0 || section >= kColCount) return {};
  return QString::fromLatin1(kHeaders[section]);
}

void StripDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const {
  QStyleOptionViewItem opt = option;
  initStyleOption(&opt, index);
  // The cell's background and focus as any other cell has them.
  QStyle* style = opt.widget ? opt.widget->style() : QApplication::style();
  style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, opt.widget);

  const auto* proxy = qobject_cast<const QSortFilterProxyModel*>(index.model());
  const auto* model =
      qobject_cast<const HistoryModel*>(proxy ? proxy->sourceModel() : index.model());
  if (!model) return;
  const QModelIndex source = proxy ? proxy->mapToSource(index) : index;
  const auto& cells = model->Row(source.row()).strip;

  const QRect area = opt.rect.adjusted(3, 4, -3, -4);
  if (area.width() < kStripCells || area.height() < 2) return;
  painter->save();
  const double w = double(area.width()) / kStripCells;
  const QColor grey = NotChecked(opt.palette);
  for (int i = 0; i < kStripCells; ++i) {
    const StripCell& c = cells[static_cast<std::size_t>(i)];
    const QRectF cell(area.left() + i * w, area.top(), std::max(1.0, w - 1), area.height());
    if (!c.checked()) {
      painter->fillRect(cell, grey);
      continue;
    }
    painter->fillRect(cell, c.upAfterRetry > 0 ? kAmber : kGreen);
    // Red from the bottom, in proportion to the failed verdicts.
    const double share = c.downShare();
    if (share > 0) {
      const double h = cell.height() * share;
      painter->fillRect(QRectF(cell.left(), cell.bottom() - h, cell.width(), h), kRed);
    }
  }
  painter->restore();
}

QSize StripDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
  return {kStripCells * 4 + 6, option.fontMetrics.height() + 8};
}

// ---- The chart.

ResponseChart::ResponseChart(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("responseChart"));
  setMinimumSize(240, 140);
  setFocusPolicy(Qt::NoFocus);
  setAccessibleName(QStringLiteral("Response time"));
}

void ResponseChart::SetDetail(const EntryDetail& detail) {
  detail_ = detail;
  // What the chart draws, in words, for a screen reader.
  std::optional<double> fastest, slowest;
  for (const ResponseBucket& b : detail.buckets) {
    if (b.min && (!fastest || *b.min < *fastest)) fastest = b.min;
    if (b.max && (!slowest || *b.max > *slowest)) slowest = b.max;
  }
  QString summary = fastest && slowest ? QStringLiteral("Answers took %1 to %2 ms")
                                             .arg(std::lround(*fastest))
                                             .arg(std::lround(*slowest))
                                       : QStringLiteral("No answer in this period");
  summary += QStringLiteral(", %1 outages").arg(detail.outages.size());
  setAccessibleDescription(summary);
  update();
}

void ResponseChart::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing, true);
  const QPalette& pal = palette();
  p.fillRect(rect(), pal.color(QPalette::Base));
  const QFontMetrics fm = fontMetrics();
  const int left = fm.horizontalAdvance(QStringLiteral("00000 ms")) + 8;
  const QRect plot = rect().adjusted(left, fm.height() / 2 + 4, -8, -(fm.height() + 8));
  if (plot.width() < 10 || plot.height() < 10) return;
  const QColor text = pal.color(QPalette::Text);
  QColor grid = text;
  grid.setAlpha(50);

  double top = 0;
  for (const ResponseBucket& b : detail_.buckets) {
    if (b.max) top = std::max(top, *b.max);
  }
  // A round top: 1, 2 or 5 times a power of ten.
  double scale = 10;
  while (scale < top) {
    for (double step : {2.0, 2.5, 2.0}) {
      scale *= step;
      if (scale >= top) break;
    }
  }
  const double span = double(std::max<std::int64_t>(detail_.toMs - detail_.fromMs, 1));
  const auto xOf = [&](std::int64_t ms) {
    return plot.left() + plot.width() * double(ms - detail_.fromMs) / span;
  };
  const auto yOf = [&](double ms) { return plot.bottom() - plot.height() * ms / scale; };

  // Outages behind everything.
  QColor shade = kRed;
  shade.setAlpha(60);
  for (const Outage& o : detail_.outages) {
    const double x0 = std::max<double>(plot.left(), xOf(o.startMs));
    const double x1 = std::min<double>(plot.right(), xOf(o.endMs.value_or(detail_.toMs)));
    if (x1 > x0) p.fillRect(QRectF(x0, plot.top(), std::max(1.0, x1 - x0), plot.height()), shade);
  }
  // Grid and value labels.
  p.setPen(grid);
  for (int i = 0; i <= 4; ++i) {
    const double y = plot.bottom() - plot.height() * i / 4.0;
    p.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
  }
  p.setPen(text);
  for (int i = 0; i <= 4; ++i) {
    const double y = plot.bottom() - plot.height() * i / 4.0;
    const QString label = Ms(scale * i / 4.0);
    p.drawText(QRectF(0, y - fm.height() / 2.0, left - 6, fm.height()),
               Qt::AlignRight | Qt::AlignVCenter, label);
  }
  // Time labels: the start, the middle and now.
  for (double f : {0.0, 0.5, 1.0}) {
    const std::int64_t at = detail_.fromMs + std::int64_t(span * f);
    const QString label = Q(FormatLocalTime(at / 1000, span > 2 * kDayMs ? u"%x" : u"%X"))
                              .left(span > 2 * kDayMs ? 8 : 5);
    const int width = fm.horizontalAdvance(label);
    double x = plot.left() + plot.width() * f - width / 2.0;
    x = std::clamp(x, double(plot.left()), double(plot.right() - width));
    p.drawText(QPointF(x, plot.bottom() + fm.ascent() + 4), label);
  }

  // The range per bucket, then the median line. Buckets lie where their
  // times are: days taken from their summaries are wider than today's.
  QColor band = kLine;
  band.setAlpha(70);
  for (const ResponseBucket& b : detail_.buckets) {
    if (!b.min || !b.max) continue;
    const double x0 = xOf(b.startMs), x1 = xOf(b.endMs);
    const double y0 = yOf(*b.max), y1 = yOf(*b.min);
    p.fillRect(QRectF(x0, y0, std::max(1.0, x1 - x0), std::max(1.0, y1 - y0)), band);
  }
  QPen line(kLine, 2);
  p.setPen(line);
  QPainterPath path;
  bool open = false;
  for (const ResponseBucket& b : detail_.buckets) {
    if (!b.median) {
      open = false;  // a gap where nothing passed
      continue;
    }
    const QPointF point((xOf(b.startMs) + xOf(b.endMs)) / 2, yOf(*b.median));
    if (open) {
      path.lineTo(point);
    } else {
      path.moveTo(point);
      open = true;
    }
  }
  p.drawPath(path);
  p.setPen(grid);
  p.setBrush(Qt::NoBrush);
  p.drawRect(plot);
}

PhasesView::PhasesView(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("phasesView"));
  setMinimumSize(180, 140);
  setAccessibleName(QStringLiteral("Phases of the last check"));
}

void PhasesView::SetCheck(const std::optional<HistoryRow>& check) {
  check_ = check;
  QStringList parts;
  if (check_) {
    parts << QStringLiteral("Last check %1").arg(LocalTimeText(check_->timeMs));
    parts << QStringLiteral("DNS %1").arg(Ms(check_->dnsMs))
          << QStringLiteral("Connect %1").arg(Ms(check_->connectMs))
          << QStringLiteral("TLS %1").arg(Ms(check_->tlsMs))
          << QStringLiteral("First byte %1").arg(Ms(check_->firstByteMs))
          << QStringLiteral("Total %1").arg(Ms(check_->totalMs));
  }
  setAccessibleDescription(parts.join(QStringLiteral(", ")));
  update();
}

void PhasesView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QPalette& pal = palette();
  p.fillRect(rect(), pal.color(QPalette::Base));
  p.setPen(pal.color(QPalette::Text));
  const QFontMetrics fm = fontMetrics();
  const int line = fm.height() + 6;
  int y = 4;
  if (!check_) {
    p.drawText(rect().adjusted(6, 4, -6, -4), Qt::AlignLeft | Qt::AlignTop,
               QStringLiteral("No check recorded."));
    return;
  }
  p.drawText(QPoint(6, y + fm.ascent()),
             QStringLiteral("Last check, %1").arg(LocalTimeText(check_->timeMs)));
  y += line;
  const struct {
    const char* name;
    std::optional<double> ms;
  } phases[] = {{"DNS", check_->dnsMs},
                {"Connect", check_->connectMs},
                {"TLS", check_->tlsMs},
                {"First byte", check_->firstByteMs},
                {"Total", check_->totalMs}};
  const double total = std::max(1.0, check_->totalMs.value_or(1.0));
  const int nameWidth = fm.horizontalAdvance(QStringLiteral("First byte")) + 10;
  const int valueWidth = fm.horizontalAdvance(QStringLiteral("00000 ms")) + 6;
  const int barLeft = 6 + nameWidth;
  const int barWidth = std::max(10, width() - barLeft - valueWidth - 6);
  for (const auto& phase : phases) {
    p.setPen(pal.color(QPalette::Text));
    p.drawText(QPoint(6, y + fm.ascent()), QString::fromLatin1(phase.name));
    if (phase.ms) {
      const double w = barWidth * std::clamp(*phase.ms / total, 0.0, 1.0);
      p.fillRect(QRectF(barLeft, y + 2, std::max(1.0, w), fm.height() - 4), kLine);
    }
    p.drawText(QRect(barLeft + barWidth + 4, y, valueWidth, fm.height()),
               Qt::AlignRight | Qt::AlignVCenter, Ms(phase.ms));
    y += line;
  }
  const QString status = check_->httpStatus ? QStringLiteral("HTTP %1").arg(check_->httpStatus)
                                            : QStringLiteral("No answer");
  p.drawText(
      QPoint(6, y + fm.ascent()),
      check_->bytes ? QStringLiteral("%1, %2 bytes").arg(status).arg(*check_->bytes) : status);
}

// ---- The window.

HistoryWindow::HistoryWindow(SettingsStore& store, HistoryStore& history, const Clock& clock,
                             QWidget* parent)
    : QWidget(parent, Qt::Window),
      store_(store),
      history_(history),
      clock_(clock),
      model_(new HistoryModel(this)),
      sorted_(new QSortFilterProxyModel(this)),
      table_(new QTableView(this)),
      period_(new QComboBox(this)),
      chart_(new ResponseChart(this)),
      phases_(new PhasesView(this)),
      outagesLabel_(new QLabel(this)),
      outages_(new QTableWidget(0, 4, this)) {
  setObjectName(QStringLiteral("historyWindow"));
  setWindowTitle(QStringLiteral("History"));
  setAttribute(Qt::WA_DeleteOnClose);
  setMinimumSize(560, 420);

  sorted_->setSourceModel(model_);
  sorted_->setSortRole(kHistorySortRole);
  sorted_->setSortCaseSensitivity(Qt::CaseInsensitive);
  table_->setObjectName(QStringLiteral("historyTable"));
  table_->setModel(sorted_);
  table_->setItemDelegateForColumn(kColStrip, new StripDelegate(table_));
  table_->setSortingEnabled(true);
  table_->sortByColumn(kColTitle, Qt::AscendingOrder);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setTabKeyNavigation(false);  // Tab moves on to the next control
  table_->verticalHeader()->hide();
  table_->setWordWrap(false);
  table_->horizontalHeader()->setStretchLastSection(false);
  table_->horizontalHeader()->setSectionResizeMode(kColLastFailure, QHeaderView::Stretch);
  const QFontMetrics fm = table_->fontMetrics();
  table_->setColumnWidth(kColTitle, fm.horizontalAdvance(QStringLiteral("nnnnnnnnnnnnnnnnnn")));
  table_->setColumnWidth(kColStrip, kStripCells * 4 + 8);
  for (int c : {kColUptimeDay, kColUptimeWeek, kColUptimeMonth}) {
    table_->setColumnWidth(c, fm.horizontalAdvance(QStringLiteral("Uptime 30 days")) + 24);
  }
  table_->setColumnWidth(kColMedian, fm.horizontalAdvance(QStringLiteral("Median 24 h")) + 24);
  table_->setColumnWidth(kColCertificate, fm.horizontalAdvance(QStringLiteral("Certificate")) + 24);
  table_->setAccessibleName(QStringLiteral("Addresses"));

  period_->setObjectName(QStringLiteral("historyPeriod"));
  period_->addItems(
      {QStringLiteral("24 hours"), QStringLiteral("7 days"), QStringLiteral("30 days")});
  period_->setAccessibleName(QStringLiteral("Period"));
  auto* periodLabel = new QLabel(QStringLiteral("&Response time over"), this);
  periodLabel->setBuddy(period_);

  outagesLabel_->setText(QStringLiteral("&Outages"));
  outagesLabel_->setBuddy(outages_);
  outages_->setObjectName(QStringLiteral("historyOutages"));
  outages_->setHorizontalHeaderLabels({QStringLiteral("Start"), QStringLiteral("End"),
                                       QStringLiteral("Duration"), QStringLiteral("Reason")});
  outages_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  outages_->setSelectionBehavior(QAbstractItemView::SelectRows);
  outages_->setTabKeyNavigation(false);
  outages_->verticalHeader()->hide();
  outages_->horizontalHeader()->setStretchLastSection(true);
  const int timeWidth = fm.horizontalAdvance(QStringLiteral("00:00:00 00/00/00")) + 16;
  outages_->setColumnWidth(0, timeWidth);
  outages_->setColumnWidth(1, timeWidth);
  outages_->setColumnWidth(2, fm.horizontalAdvance(QStringLiteral("00 h 00 min")) + 16);
  outages_->setAccessibleName(QStringLiteral("Outages"));

  auto* detail = new QWidget(this);
  auto* detailLayout = new QVBoxLayout(detail);
  detailLayout->setContentsMargins(0, 0, 0, 0);
  auto* periodRow = new QHBoxLayout;
  periodRow->addWidget(periodLabel);
  periodRow->addWidget(period_);
  periodRow->addStretch(1);
  detailLayout->addLayout(periodRow);
  auto* charts = new QHBoxLayout;
  charts->addWidget(chart_, 3);
  charts->addWidget(phases_, 1);
  detailLayout->addLayout(charts, 3);
  detailLayout->addWidget(outagesLabel_);
  detailLayout->addWidget(outages_, 2);

  auto* split = new QSplitter(Qt::Vertical, this);
  split->addWidget(table_);
  split->addWidget(detail);
  split->setStretchFactor(0, 2);
  split->setStretchFactor(1, 3);
  split->setChildrenCollapsible(false);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(split);
  setTabOrder(table_, period_);
  setTabOrder(period_, outages_);

  connect(table_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this] { ShowDetail(); });
  connect(period_, &QComboBox::currentIndexChanged, this, [this] { ShowDetail(); });
  auto* close = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  connect(close, &QShortcut::activated, this, &QWidget::close);
  connect(&poll_, &QTimer::timeout, this, [this] { Poll(); });
  poll_.start(kPollMs);

  // Wide enough that the last failure's time and reason show beside the figures.
  resize(1180, 680);
  RestorePlacement();
  Reload();
}

HistoryWindow::~HistoryWindow() = default;

void HistoryWindow::Reload() {
  seenVersion_ = history_.HistoryVersion();
  std::vector<OverviewEntry> entries;
  static_cast<void>(WalkUrlEntries(store_, [&](const UrlEntry& entry) {
    entries.push_back(OverviewEntry{entry.id, EntryTitle(entry), EntryUrl(entry)});
  }));
  const std::optional<std::uint32_t> chosen = SelectedEntry();
  model_->SetRows(LoadOverview(history_, entries, clock_.NowMs()));
  // The chosen address stays chosen (its row may have moved), else the first.
  int row = 0;
  if (chosen) {
    for (int r = 0; r < sorted_->rowCount(); ++r) {
      if (model_->Row(sorted_->mapToSource(sorted_->index(r, 0)).row()).entry.entryId == *chosen) {
        row = r;
        break;
      }
    }
  }
  if (sorted_->rowCount() > 0) {
    const QModelIndex current = table_->currentIndex();
    if (!current.isValid() || current.row() != row) {
      table_->selectionModel()->setCurrentIndex(
          sorted_->index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
  }
  ShowDetail();
}

void HistoryWindow::Poll() {
  if (history_.HistoryVersion() != seenVersion_) Reload();
}

std::optional<std::uint32_t> HistoryWindow::SelectedEntry() const {
  const QModelIndex current = table_->currentIndex();
  if (!current.isValid()) return std::nullopt;
  const QModelIndex source = sorted_->mapToSource(current);
  if (!source.isValid() || source.row() >= model_->Rows()) return std::nullopt;
  return model_->Row(source.row()).entry.entryId;
}

bool HistoryWindow::SelectTitle(const std::u16string& title) {
  for (int r = 0; r < sorted_->rowCount(); ++r) {
    const QModelIndex source = sorted_->mapToSource(sorted_->index(r, 0));
    if (!SameTitle(model_->Row(source.row()).entry.title, title)) continue;
    table_->selectionModel()->setCurrentIndex(
        sorted_->index(r, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    table_->scrollTo(sorted_->index(r, 0));
    return true;
  }
  return false;
}

void HistoryWindow::ShowDetail() {
  const auto entry = SelectedEntry();
  if (!entry) {
    chart_->SetDetail({});
    phases_->SetCheck(std::nullopt);
    outages_->setRowCount(0);
    return;
  }
  const auto period = static_cast<HistoryPeriod>(std::clamp(period_->currentIndex(), 0, 2));
  const std::int64_t now = clock_.NowMs();
  const EntryDetail detail = LoadEntryDetail(history_, *entry, period, now);
  chart_->SetDetail(detail);
  phases_->SetCheck(detail.lastCheck);
  outages_->setRowCount(static_cast<int>(detail.outages.size()));
  // Newest first.
  int row = 0;
  for (auto it = detail.outages.rbegin(); it != detail.outages.rend(); ++it, ++row) {
    const Outage& o = *it;
    const auto set = [&](int column, const QString& text) {
      auto* item = new QTableWidgetItem(text);
      item->setToolTip(text);
      outages_->setItem(row, column, item);
    };
    set(0, LocalTimeText(o.startMs));
    set(1, o.endMs ? LocalTimeText(*o.endMs) : QStringLiteral("going on"));
    set(2, Q(FormatDuration(o.endMs.value_or(std::max(now, o.startMs)) - o.startMs)));
    set(3, Q(o.reason));
  }
  outagesLabel_->setText(detail.outages.empty() ? QStringLiteral("&Outages: none in this period")
                                                : QStringLiteral("&Outages"));
}

void HistoryWindow::SavePlacement() { placement_->Save(); }

void HistoryWindow::RestorePlacement() {
  // Kept like the other windows' places, and put back on a screen there is.
  placement_ = new WindowPlacementKeeper(*this, store_, kHistorySection);
  placement_->Restore();
}

void HistoryWindow::closeEvent(QCloseEvent* event) {
  SavePlacement();
  QWidget::closeEvent(event);
}

void HistoryWindow::hideEvent(QHideEvent* event) {
  SavePlacement();
  QWidget::hideEvent(event);
}

HistoryWindow* ShowHistoryWindow(QPointer<HistoryWindow>& window, QWidget* owner,
                                 SettingsStore& store, const Clock& clock,
                                 const std::u16string& title) {
  HistoryStore* history = store.History();
  if (history == nullptr) return nullptr;
  if (!window) {
    window = new HistoryWindow(store, *history, clock, owner);
  } else {
    window->Reload();
  }
  if (!title.empty()) window->SelectTitle(title);
  if (window->isMinimized()) window->showNormal();
  window->show();
  window->raise();
  window->activateWindow();
  return window;
}

}  // namespace halvern::ui
