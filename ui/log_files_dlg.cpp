#include "log_files_dlg.h"

#include <QtWidgets/QComboBox>

#include "check_log.h"
#include "icons.h"
#include "list_view.h"
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

QString FromField(const char16_t* field, std::size_t capacity) {
  std::size_t n = 0;
  while (n < capacity && field[n] != u'\0') ++n;
  return QString::fromUtf16(field, static_cast<qsizetype>(n));
}

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
  return true;
}

void CLogFilesDlg::DoDataExchange(DataExchange& dx) { dx.ComboIndex(res::IDC_LOG_KEEP, keepIndex); }

void CLogFilesDlg::Refresh() {
  auto* list = Control<ListView>(res::IDC_LOG_LIST);
  list->DeleteAllItems();
  if (auto cursor = store_.OpenSection(kLogSection)) {
    for (std::size_t i = 0;; ++i) {
      auto value = cursor->Enumerate(i);
      if (!value) break;
      // Only whole records are shown; anything else in the section is no record.
      if (value->data.size() != sizeof(LogRecord)) continue;
      const LogRecord record = ReadLogRecordBytes(value->data);
      const int row =
          list->InsertItem(65535, QString::fromStdU16String(FormatLocalTime(record.time, u"%X %x")),
                           record.passed ? kImagePassed : kImageFailed);
      list->SetItemText(row, 1, FromField(record.title, std::size(record.title)));
      list->SetItemText(row, 2, FromField(record.text, std::size(record.text)));
      // The whole 64-bit time orders the rows: a difference of truncated
      // 32-bit times would overflow for records far apart.
      list->SetItemData(row, record.time);
    }
  }
  list->SortItemsByData(/*descending=*/true);
}

void CLogFilesDlg::Clear() {
  if (MessageBox(this, QStringLiteral("Are you sure you want to clear the log file?"),
                 MB_OKCANCEL | MB_ICONQUESTION) != res::IDOK) {
    return;
  }
  store_.DeleteSection(kLogSection);
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
