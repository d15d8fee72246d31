#include "import_dlg.h"

#include <QtWidgets/QCheckBox>
#include <QtWidgets/QLabel>
#include <set>

#include "icons.h"
#include "list_view.h"

namespace halvern::ui {
namespace {

constexpr int kImageAdd = 0;
constexpr int kImageExists = 1;
constexpr int kImageRefused = 2;
constexpr int kColumnWhat = 3;
constexpr char kTitleSample[] = "nnnnnnnnnnnnnnnnnnnnnnnn";

QString Q(const std::u16string& text) { return QString::fromStdU16String(text); }

}  // namespace

CImportDlg::CImportDlg(std::vector<ImportRow> rows, ImportFormat format, QString fileName,
                       bool fileHasSettings, QWidget* owner)
    : CDialog(res::IDD_IMPORT, owner),
      rows_(std::move(rows)),
      format_(format),
      fileName_(std::move(fileName)),
      fileHasSettings_(fileHasSettings) {
  SetGrowingControl(res::IDC_IMPORT_LIST);
  MapCommand(res::IDC_IMPORT_SKIP, [this] { Choose(ExistsChoice::kSkip); });
  MapCommand(res::IDC_IMPORT_REPLACE, [this] { Choose(ExistsChoice::kReplace); });
  MapCommand(res::IDC_IMPORT_ADD_AS_NEW, [this] { Choose(ExistsChoice::kAddAsNew); });
}

QString CImportDlg::WhatHappens(const ImportRow& row) {
  switch (row.status) {
    case ImportStatus::kAdd:
      return QStringLiteral("Added");
    case ImportStatus::kRefused:
      return QStringLiteral("Refused: ") + Q(row.why);
    case ImportStatus::kExists:
      switch (row.choice) {
        case ExistsChoice::kSkip:
          return QStringLiteral("Title exists: skipped");
        case ExistsChoice::kReplace:
          return QStringLiteral("Title exists: replaced");
        case ExistsChoice::kAddAsNew:
          return QStringLiteral("Title exists: added as \"%1\"").arg(Q(row.newTitle));
      }
  }
  return {};
}

bool CImportDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  setWindowTitle(QStringLiteral("Import from %1").arg(fileName_));
  auto* list = Control<ListView>(res::IDC_IMPORT_LIST);
  list->SetImageList({LoadResIcon(res::IDI_STATUS_PASSED), LoadResIcon(res::IDI_STATUS_IDLE),
                      LoadResIcon(res::IDI_STATUS_FAILED)});
  list->InsertColumn(
      0, format_ == ImportFormat::kExport ? QStringLiteral("Entry") : QStringLiteral("Line"), 50);
  list->InsertColumn(1, QStringLiteral("Title"), 120);
  list->InsertColumn(2, QStringLiteral("URL"), 220);
  list->InsertColumn(kColumnWhat, QStringLiteral("What happens"), 160);
  list->SetExtendedStyle(0x21);
  list->FitColumnTo(1, QString::fromLatin1(kTitleSample));
  list->StretchLastColumn();
  auto* settings = Control<QCheckBox>(res::IDC_IMPORT_SETTINGS);
  settings->setEnabled(fileHasSettings_);
  if (!fileHasSettings_) {
    settings->setToolTip(QStringLiteral("Only an export of Velmora Halvern carries settings."));
  }
  FillList();
  UpdateSummary();
  return true;
}

void CImportDlg::DoDataExchange(DataExchange& dx) {
  dx.Check(res::IDC_IMPORT_SETTINGS, takeSettings);
}

void CImportDlg::FillList() {
  auto* list = Control<ListView>(res::IDC_IMPORT_LIST);
  ListView::BulkFill fill(*list);
  list->DeleteAllItems();
  for (const ImportRow& row : rows_) {
    const int image = row.status == ImportStatus::kAdd      ? kImageAdd
                      : row.status == ImportStatus::kExists ? kImageExists
                                                            : kImageRefused;
    const int at = list->InsertItem(list->ItemCount(), QString::number(row.line), image);
    list->SetItemText(at, 1, Q(row.title));
    list->SetItemText(at, 2, Q(row.url));
    list->SetItemText(at, kColumnWhat, WhatHappens(row));
  }
}

void CImportDlg::Choose(ExistsChoice choice) {
  auto* list = Control<ListView>(res::IDC_IMPORT_LIST);
  // The list keeps the file's order: row n of the list is row n of the plan.
  std::set<int> selected;
  for (const QModelIndex& index : list->selectionModel()->selectedIndexes()) {
    selected.insert(index.row());
  }
  for (const int row : selected) {
    if (row < 0 || row >= static_cast<int>(rows_.size())) continue;
    ImportRow& planned = rows_[static_cast<std::size_t>(row)];
    if (planned.status != ImportStatus::kExists) continue;
    planned.choice = choice;
    list->SetItemText(row, kColumnWhat, WhatHappens(planned));
  }
  UpdateSummary();
}

void CImportDlg::UpdateSummary() {
  int add = 0, exists = 0, refused = 0, stored = 0;
  for (const ImportRow& row : rows_) {
    if (row.status == ImportStatus::kAdd) ++add;
    if (row.status == ImportStatus::kExists) ++exists;
    if (row.status == ImportStatus::kRefused) ++refused;
    if (!TitleToStore(row).empty()) ++stored;
  }
  QString text = QStringLiteral("%1 to add, %2 whose title exists, %3 refused: OK stores %4.")
                     .arg(add)
                     .arg(exists)
                     .arg(refused)
                     .arg(stored);
  text += fileHasSettings_ ? QStringLiteral(" The file also holds settings.") : QString();
  text += QStringLiteral(" Nothing changes before OK.");
  Control<QLabel>(res::IDC_IMPORT_SUMMARY)->setText(text);
}

}  // namespace halvern::ui
