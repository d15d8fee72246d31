#include "log_files_dlg.h"

#include <QtGui/QHelpEvent>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QToolTip>

#include "check_history.h"
#include "check_log.h"
#include "icons.h"
#include "list_view.h"
#include "log_rows.h"
#include "message_box.h"
#include "settings.h"
#include "settings_commands.h"
#include "settings_store.h"

namespace halvern::ui {
namespace {

constexpr const char* kKeepTexts[] = {"Don't keep",   "Keep 1 day",   "Keep 2 days",
                                      "Keep 3 days",  "Keep 5 days",  "Keep 7 days",
                                      "Keep 10 days", "Keep 15 days", "Keep 30 days"};

// The widest texts of the Time and Title cells: "%X %x" and a title of 24
// characters.
constexpr char kTimeSample[] = "00:00:00 00/00/00";
constexpr char kTitleSample[] = "nnnnnnnnnnnnnnnnnnnnnnnn";

constexpr int kImagePassed = 0;
constexpr int kImageFailed = 1;

}  // namespace

CLogFilesDlg::CLogFilesDlg(SettingsStore& store, QWidget* owner)
    : CDialog(res::IDD_LOG_FILES, owner), store_(store) {
  SetGrowingControl(res::IDC_LOG_LIST);
  MapCommand(res::IDC_LOG_REFRESH, [this] { Refresh(); });
  MapCommand(res::IDC_LOG_CLEAR, [this] { Clear(); });
}

bool CLogFilesDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  auto* list = Control<ListView>(res::IDC_LOG_LIST);
  list->SetImageList({LoadResIcon(res::IDI_STATUS_PASSED), LoadResIcon(res::IDI_STATUS_FAILED)});
  list->InsertColumn(0, QStringLiteral("Time"), 120);
  list->InsertColumn(1, QStringLiteral("Title"), 100);
  list->InsertColumn(2, QStringLiteral("Status"), 360);
  list->SetExtendedStyle(0x21);
  list->FitColumnTo(0, QString::fromLatin1(kTimeSample));
  list->FitColumnTo(1, QString::fromLatin1(kTitleSample));
  list->StretchLastColumn();
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
}

void CLogFilesDlg::Clear() {
  if (MessageBox(this, QStringLiteral("Are you sure you want to clear the log file?"),
                 MB_OKCANCEL | MB_ICONQUESTION) != res::IDOK) {
    return;
  }
  store_.DeleteSection(kLogSection);
  // The history of the checks goes with the log.
  if (HistoryStore* history = store_.History()) history->ClearChecks();
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
