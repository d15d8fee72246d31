#include "log_files_dlg.h"

#include <QtCore/QDir>
#include <QtGui/QHelpEvent>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QToolTip>

#include "check_history.h"
#include "check_log.h"
#include "icons.h"
#include "list_view.h"
#include "log_csv.h"
#include "log_rows.h"
#include "message_box.h"
#include "private_file.h"
#include "settings.h"
#include "settings_commands.h"
#include "settings_store.h"
#include "window_placement.h"

namespace halvern::ui {
namespace {

constexpr const char* kKeepTexts[] = {"Don't keep",   "Keep 1 day",   "Keep 2 days",
                                      "Keep 3 days",  "Keep 5 days",  "Keep 7 days",
                                      "Keep 10 days", "Keep 15 days", "Keep 30 days"};

// The widest texts of the Time and Title cells: "%X %x" and a title of 24
// characters.
constexpr char kTimeSample[] = "00:00:00 00/00/00";
constexpr char kTitleSample[] = "nnnnnnnnnnnnnnnnnnnnnnnn";

// The first start's smallest size: room for a screenful of records.
constexpr QSize kFirstSize{560, 420};

constexpr int kImagePassed = 0;
constexpr int kImageFailed = 1;

}  // namespace

CLogFilesDlg::CLogFilesDlg(SettingsStore& store, QWidget* owner)
    : CDialog(res::IDD_LOG_FILES, owner), store_(store) {
  SetGrowingControl(res::IDC_LOG_LIST);
  MapCommand(res::IDC_LOG_REFRESH, [this] { Refresh(); });
  MapCommand(res::IDC_LOG_CLEAR, [this] { Clear(); });
  AddRowButton(res::IDC_LOG_SAVE_AS, QStringLiteral("Save As..."));
  MapCommand(res::IDC_LOG_SAVE_AS, [this] { SaveAs(); });
}

bool CLogFilesDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  auto* list = Control<ListView>(res::IDC_LOG_LIST);
  list->SetImageList({LoadResIcon(res::IDI_STATUS_PASSED), LoadResIcon(res::IDI_STATUS_FAILED)},
                     {QStringLiteral("passed"), QStringLiteral("failed")});
  list->InsertColumn(0, QStringLiteral("Time"), 120);
  list->InsertColumn(1, QStringLiteral("Title"), 100);
  list->InsertColumn(2, QStringLiteral("Status"), 360);
  list->SetExtendedStyle(0x21);
  list->FitColumnTo(0, QString::fromLatin1(kTimeSample));
  list->FitColumnTo(1, QString::fromLatin1(kTitleSample));
  list->StretchLastColumn();
  // The viewer keeps its own size and place; its first start shows every column.
  auto* placement = new WindowPlacementKeeper(*this, store_, kLogWindowSection);
  if (!placement->Restore()) SizeForListColumns(res::IDC_LOG_LIST, kFirstSize);
  auto* keep = Control<QComboBox>(res::IDC_LOG_KEEP);
  for (const char* text : kKeepTexts) keep->addItem(QString::fromUtf8(text));
  UpdateData(false);
  Refresh();
  list->viewport()->installEventFilter(this);
  return true;
}

QString CLogFilesDlg::FullText(int row) {
  auto* list = Control<ListView>(res::IDC_LOG_LIST);
  if (row < 0 || row >= list->ItemCount()) return {};
  const auto full = FullOutcomeText(store_, list->ItemText(row, 1).toStdU16String(),
                                    list->ItemData(row), list->ItemImage(row) == kImagePassed,
                                    list->ItemText(row, 2).toStdU16String());
  return full ? QString::fromStdU16String(*full) : QString();
}

bool CLogFilesDlg::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::ToolTip) return CDialog::eventFilter(watched, event);
  // Looked up when asked for: one small read for the row under the pointer.
  auto* list = Control<ListView>(res::IDC_LOG_LIST);
  auto* help = static_cast<QHelpEvent*>(event);
  const QString text = FullText(list->indexAt(help->pos()).row());
  if (text.isEmpty()) {
    QToolTip::hideText();
  } else {
    QToolTip::showText(help->globalPos(), text, list->viewport());
  }
  return true;
}

void CLogFilesDlg::DoDataExchange(DataExchange& dx) { dx.ComboIndex(res::IDC_LOG_KEEP, keepIndex); }

void CLogFilesDlg::Refresh() {
  std::vector<LogRow> rows = ReadLogRows(store_);
  SortNewestFirst(rows);
  auto* list = Control<ListView>(res::IDC_LOG_LIST);
  // The rows come in their final order and are shown once, not row by row.
  ListView::BulkFill fill(*list);
  list->DeleteAllItems();
  for (const LogRow& row : rows) {
    const int at =
        list->InsertItem(list->ItemCount(), row.time, row.passed ? kImagePassed : kImageFailed);
    list->SetItemText(at, 1, row.title);
    list->SetItemText(at, 2, row.text);
    list->SetItemData(at, row.seconds);
  }
  shown_ = std::move(rows);
}

void CLogFilesDlg::SaveAs() {
  const auto file =
      GetSaveFileName(this, QStringLiteral("Save Log As"),
                      QDir::home().filePath(QStringLiteral("Velmora Halvern log.csv")),
                      QStringLiteral("CSV files (*.csv)"));
  if (!file) return;
  std::vector<LogCsvRow> rows;
  std::vector<LogRecordKey> keys;
  rows.reserve(shown_.size());
  keys.reserve(shown_.size());
  for (const LogRow& row : shown_) {
    LogCsvRow csvRow;
    csvRow.time = row.seconds;
    csvRow.title = row.title.toStdU16String();
    csvRow.passed = row.passed;
    csvRow.text = row.text.toStdU16String();
    keys.push_back({csvRow.title, csvRow.time, csvRow.passed, csvRow.text});
    rows.push_back(std::move(csvRow));
  }
  // Where the history keeps the check, its status code, total time and whole
  // text go beside the record.
  const auto checks = HistoryRowsOfRecords(store_, keys);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!checks[i]) continue;
    if (checks[i]->httpStatus != 0)
      rows[i].httpStatus = static_cast<std::int32_t>(checks[i]->httpStatus);
    if (checks[i]->totalMs) rows[i].totalSeconds = *checks[i]->totalMs / 1000.0;
    rows[i].detail = checks[i]->detail;
  }
  std::string error;
  if (!WritePrivateFile(std::filesystem::path(file->toStdString()), LogCsv(rows, true), error)) {
    MessageBox(this, QString::fromStdString(error), MB_OK | MB_ICONSTOP);
  }
}

void CLogFilesDlg::Clear() {
  if (MessageBox(this, QStringLiteral("Are you sure you want to clear the log file?"),
                 MB_OKCANCEL | MB_ICONQUESTION) != res::IDOK) {
    return;
  }
  SettingsWrites writes(store_);
  writes.Check(store_.DeleteSection(kLogSection), QStringLiteral("The cleared log file"));
  // The history of the checks goes with the log.
  if (HistoryStore* history = store_.History()) {
    writes.Check(history->ClearChecks(), QStringLiteral("The cleared history of the checks"));
  }
  writes.ReportFailures(this);
  Refresh();
}

void OpenLogViewer(QWidget* owner, SettingsStore& store, const Clock& clock) {
  ExpireLog(store, clock);
  CLogFilesDlg dialog(store, owner);
  dialog.keepIndex = ReadSetting(store, kKeepLogFiles);
  if (dialog.DoModal() != res::IDOK) return;
  SettingsWrites writes(store);
  writes.Check(WriteSetting(store, kKeepLogFiles, dialog.keepIndex),
               QStringLiteral("How long the log is kept"));
  writes.ReportFailures(owner);
}

}  // namespace halvern::ui
