#include "main_dlg.h"

#include <QtCore/QEventLoop>
#include <QtGui/QAction>
#include <QtGui/QCloseEvent>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMenu>
#include <QtWidgets/QMenuBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QSystemTrayIcon>
#include <unordered_set>

#include "about_dlg.h"
#include "autostart.h"
#include "check_log.h"
#include "desktop_notifier.h"
#include "icons.h"
#include "list_view.h"
#include "log_files_dlg.h"
#include "message_box.h"
#include "preferences_dlg.h"
#include "settings_commands.h"
#include "string_table.h"
#include "transfer_commands.h"
#include "url_dlg.h"
#include "url_entry.h"

namespace halvern::ui {
namespace {

constexpr int kAddRowPosition = 4095;
// The first start's smallest size; the window is also as wide as its columns.
constexpr QSize kFirstSize{560, 420};
// Wide enough for most titles of the 24 characters an entry keeps.
constexpr char kTitleSample[] = "nnnnnnnnnnnnnnnnnnnnnnnn";

QString Q(const std::u16string& text) { return QString::fromStdU16String(text); }

// `shared` when set, else a share of `object` that owns nothing.
template <typename T>
std::shared_ptr<T> SharedOr(const std::shared_ptr<T>& shared, T& object) {
  if (shared) return shared;
  return std::shared_ptr<T>(std::shared_ptr<T>(), &object);
}

QAction* FindMenuAction(QMenuBar* bar, int id) {
  if (!bar) return nullptr;
  for (QAction* action : bar->findChildren<QAction*>()) {
    if (action->data().toInt() == id && !action->menu()) return action;
  }
  return nullptr;
}

}  // namespace

CMainDlg::CMainDlg(const MainServices& services)
    : CDialog(res::IDD_MAIN, nullptr),
      s_(services),
      host_(this),
      popup_(*this, s_.store, s_.clock) {
  SetButtonRow(ButtonRow::kNone);
  SetMenu(res::IDR_MAIN_MENU);
  SetGrowingControl(res::IDC_URL_LIST);
  SetNoDefaultButton();
  // A run that blocks for the network shows its rows' texts before it waits.
  host_.SetPainter([this] { repaint(); });
  monitor_ = std::make_unique<Monitor>(
      MonitorServices{SharedOr(s_.sharedStore, s_.store), SharedOr(s_.sharedClock, s_.clock), host_,
                      host_.WorkerHandle(), *this, s_.timedRun, s_.connections, s_.sound, s_.leds,
                      s_.idleTimer, SharedOr(s_.sharedInternet, s_.internet), popup_, *this},
      s_.monitorOptions);

  MapCommand(res::IDC_ADD, [this] { OnAdd(); });
  MapCommand(res::IDC_EDIT, [this] { OnEdit(); });
  MapCommand(res::IDC_DELETE, [this] { OnDelete(); });
  MapCommand(res::IDC_CHECK_NOW, [this] { monitor_->CheckNow(); });
  const auto settings = [this] {
    return SettingsCommandContext{*this, s_.store, s_.clock, *monitor_, s_.sound, s_.leds};
  };
  MapCommand(res::IDC_TIMETABLE, [settings] { OpenTimetable(settings()); });
  MapCommand(res::IDC_PROXY_SERVER, [settings] { OpenProxySettings(settings()); });
  MapCommand(res::IDC_NOTIFICATIONS, [settings] { OpenAlertSettings(settings()); });
  MapCommand(res::IDC_LOG_FILE, [this] { OpenLogViewer(this, s_.store, s_.clock); });
  MapCommand(res::ID_PREFERENCES, [this] { OpenPreferences(this, s_.store); });
  MapCommand(res::ID_VISIT_WEBSITE, [this] {
    if (s_.openUrl) s_.openUrl(QString::fromUtf8(res::kHomePage));
  });
  MapCommand(res::ID_APP_ABOUT, [this] { CAboutDlg(this).DoModal(); });
  MapCommand(res::ID_EXIT_PROGRAM, [this] { OnExitProgram(); });
  MapCommand(res::ID_START_AT_LOGIN, [this] { OnStartAtLogin(); });
  const auto transfer = [this] {
    return TransferContext{
        this, s_.store, s_.storeFile,
        [this](const std::vector<std::u16string>& titles) { ListStoredTitles(titles); },
        [this] { monitor_->ScheduleNextWakeUp(); }};
  };
  MapCommand(res::ID_EXPORT, [transfer] { ExportEntries(transfer()); });
  MapCommand(res::ID_IMPORT, [transfer] { ImportEntries(transfer()); });
  MapCommand(res::ID_BACK_UP_STORE, [transfer] { BackUpStoreCommand(transfer()); });
  MapCommand(res::ID_HISTORY, [this] { OnHistory(); });
  MapDoubleClick(res::IDC_URL_LIST, [this] { OnCheckOne(); });
  if (s_.notifier) {
    monitor_->alerts().SetNotifier(s_.notifier);
    // A click on the alert's notification shows the window, and the popup in
    // front of it.
    s_.notifier->SetActivationHook([this] {
      ShowWindow();
      popup_.Activate();
    });
  }
}

CMainDlg::~CMainDlg() { Shutdown(); }

ListView* CMainDlg::list() { return Control<ListView>(res::IDC_URL_LIST); }

bool CMainDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  setWindowTitle(AppTitle());
  appIcon_ = LoadResIcon(res::IDI_APP);
  setWindowIcon(appIcon_);
  CreateTrayIcon();
  SetBoldFont(GetDlgItem(res::IDC_CHECK_NOW));
  ListView* urls = list();
  urls->SetImageList(StatusImages(), StatusImageNames());
  urls->InsertColumn(0, QStringLiteral("Title"), 100);
  urls->InsertColumn(1, QStringLiteral("Status"), 360);
  urls->SetExtendedStyle(0x21);
  urls->FitColumnTo(0, QString::fromLatin1(kTitleSample));
  urls->StretchLastColumn();
  placement_ = new WindowPlacementKeeper(*this, s_.store);
  if (!placement_->Restore()) SizeForListColumns(res::IDC_URL_LIST, kFirstSize);
  {
    // The stored titles come in the store's order; the list sorts them once.
    ListView::BulkFill fill(*urls);
    FillUrlList(s_.store, *this);
  }
  // Rows and tray tell each entry's last known outcome from the start; the
  // tray follows the engine's state from here on.
  monitor_->ShowStoredOutcomes();
  if (trayMenu_) {
    trayMenu_->Render(monitor_->states().Tray());
    monitor_->states().SetListener([tray = trayMenu_](const TrayState& state) {
      if (tray) tray->Render(state);
    });
  }
  ExpireLog(s_.store, s_.clock);
  monitor_->ScheduleNextWakeUp();
  UpdateStartAtLoginItem();
  if (QAction* item = FindMenuAction(menuBar(), res::ID_BACK_UP_STORE)) {
    item->setEnabled(!s_.storeFile.empty());
  }
  return true;
}

void CMainDlg::CreateTrayIcon() {
  // The program works without a tray too (the icon is then never shown); Hide
  // then keeps the window in the task bar.
  trayMenu_ = new TrayIcon(
      appIcon_,
      TrayCommands{[this] { ShowWindow(); }, [this] { SendCommand(res::IDC_CHECK_NOW); },
                   [this] { SendCommand(res::ID_EXIT_PROGRAM); },
                   [this] { SendCommand(res::ID_HISTORY); }},
      this);
  tray_ = trayMenu_->icon();
  trayMenu_->Show();
}

int CMainDlg::RunMainWindow() {
  Create();
  QEventLoop loop;
  connect(this, &QDialog::finished, &loop, [&loop](int result) { loop.exit(result); });
  show();
  raise();
  activateWindow();
  return loop.exec();
}

void CMainDlg::ShowWindow() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

void CMainDlg::Hide() {
  if (placement_) placement_->Save();
  // Without a tray there would be no way back but starting Halvern again; the
  // window then stays in the task bar, minimised.
  showMinimized();
  if (QSystemTrayIcon::isSystemTrayAvailable()) hide();
}

void CMainDlg::OnOK() { Hide(); }

void CMainDlg::closeEvent(QCloseEvent* event) {
  event->ignore();
  SendCommand(res::IDOK);
}

void CMainDlg::reject() { SendCommand(res::IDOK); }

bool CMainDlg::OnCommandHook(int id, std::intptr_t lParam) {
  return monitor_ && monitor_->OnCommand(static_cast<std::uintptr_t>(id), lParam);
}

void CMainDlg::OnMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  if (message == UM_NOTIFY_ICON) {
    ShowWindow();
    return;
  }
  if (monitor_) monitor_->OnMessage(message, wParam, lParam);
}

void CMainDlg::OnOwnedMessage(std::uint32_t message, std::unique_ptr<MessagePayload> payload,
                              std::intptr_t lParam) {
  if (monitor_) monitor_->OnOwnedMessage(message, std::move(payload), lParam);
}

void CMainDlg::OnTimer(std::uint32_t id) {
  if (monitor_) monitor_->OnTimer(id);
}

bool CMainDlg::TitleTaken(const QString& title, const std::u16string& editedTitle) {
  const std::u16string stored = title.toStdU16String();
  if (!editedTitle.empty() && SameTitle(stored, editedTitle)) return false;
  return s_.store.ReadSettingBinary(kUrlsSection, stored).has_value();
}

void CMainDlg::RemoveRowsOf(const std::u16string& title) {
  const std::u16string folded = FoldTitle(title);
  for (int row = list()->ItemCount() - 1; row >= 0; --row) {
    if (FoldTitle(list()->ItemText(row).toStdU16String()) != folded) continue;
    list()->DeleteItem(row);
  }
}

void CMainDlg::ListStoredTitles(const std::vector<std::u16string>& titles) {
  // One sweep over the list, however many titles: an import may bring many.
  std::unordered_set<std::u16string> folded;
  for (const std::u16string& title : titles) folded.insert(FoldTitle(title));
  for (int row = list()->ItemCount() - 1; row >= 0; --row) {
    if (folded.count(FoldTitle(list()->ItemText(row).toStdU16String())) == 0) continue;
    DeleteRow(row);
  }
  ListView::BulkFill fill(*list());
  for (const std::u16string& title : titles) InsertRow(kAddRowPosition, title, kImageIdle);
}

bool CMainDlg::StoreFromDialog(UrlEntry& entry, const CUrlDlg& dialog, int row) {
  const std::u16string title = CutTitle(dialog.title.toStdU16String());
  entry.enabled = dialog.enabled;
  SetEntryTitle(entry, title);
  SetEntryUrl(entry, dialog.url.toStdU16String());
  entry.mode = dialog.mode;
  entry.sizeLimit = static_cast<std::uint32_t>(dialog.sizeLimit);
  SettingsWrites writes(s_.store);
  if (!writes.Check(SaveUrlEntry(s_.store, title, entry),
                    QStringLiteral("The address \"%1\"").arg(Q(title)))) {
    writes.ReportFailures(this);
    return false;
  }
  // The list shows what is stored: one row for the title, the saved entry's,
  // not checked since.
  RemoveRowsOf(title);
  const int inserted = InsertRow(row, title, kImageIdle);
  SetRowToolTip(inserted, EntryUrl(entry));
  monitor_->states().SetNeverChecked(title);
  return true;
}

void CMainDlg::OnAdd() {
  CUrlDlg dialog(this);
  dialog.titleTaken = [this](const QString& title) { return TitleTaken(title, {}); };
  if (dialog.DoModal() != res::IDOK) return;
  UrlEntry entry;
  InitUrlEntry(entry);
  if (StoreFromDialog(entry, dialog, kAddRowPosition)) {
    list()->SelectItem(FindRow(EntryTitle(entry)));
  }
}

void CMainDlg::OnEdit() {
  const int row = list()->SelectedItem();
  if (row < 0) return;
  const std::u16string oldTitle = list()->ItemText(row).toStdU16String();
  UrlEntry entry;
  if (!LoadUrlEntry(s_.store, oldTitle, entry)) return;
  CUrlDlg dialog(this);
  dialog.enabled = entry.enabled;
  dialog.title = Q(EntryTitle(entry));
  dialog.url = Q(EntryUrl(entry));
  dialog.mode = entry.mode;
  dialog.sizeLimit = static_cast<std::int32_t>(entry.sizeLimit);
  dialog.titleTaken = [this, oldTitle](const QString& title) {
    return TitleTaken(title, oldTitle);
  };
  if (dialog.DoModal() != res::IDOK) return;
  entry.failureCount = 0;
  // The edited entry is saved before the old one goes: a store that refuses
  // the write leaves the old entry stored and listed as it was. A title that
  // differs only in case is saved over the old entry in place.
  if (!StoreFromDialog(entry, dialog, row)) return;
  if (FoldTitle(EntryTitle(entry)) != FoldTitle(oldTitle)) {
    ReportRefusedDelete(DeleteUrlEntryRow(s_.store, *this, oldTitle, FindRow(oldTitle)), oldTitle);
  }
  list()->SelectItem(FindRow(EntryTitle(entry)));
}

void CMainDlg::OnDelete() {
  const int row = list()->SelectedItem();
  if (row < 0) return;
  const std::u16string title = list()->ItemText(row).toStdU16String();
  if (MessageBox(this, QStringLiteral("Are you sure you want to delete the selected URL?"),
                 MB_OKCANCEL | MB_ICONQUESTION) != res::IDOK) {
    return;
  }
  if (!ReportRefusedDelete(DeleteUrlEntryRow(s_.store, *this, title, row), title)) return;
  list()->SelectItem(-1);
}

bool CMainDlg::ReportRefusedDelete(bool deleted, const std::u16string& title) {
  SettingsWrites writes(s_.store);
  writes.Check(deleted, QStringLiteral("The address \"%1\"").arg(Q(title)));
  return writes.ReportFailures(this);
}

void CMainDlg::OnCheckOne() {
  const int row = list()->SelectedItem();
  if (row < 0) return;
  monitor_->CheckEntry(list()->ItemText(row).toStdU16String());
}

void CMainDlg::OnHistory() {
  const int row = list()->SelectedItem();
  const std::u16string title = row < 0 ? std::u16string() : list()->ItemText(row).toStdU16String();
  ShowHistoryWindow(history_, this, s_.store, s_.clock, title);
}

void CMainDlg::OnExitProgram() {
  const QString question =
      QStringLiteral("Do you really want to close the ") + AppTitle() + QStringLiteral("?");
  if (MessageBox(this, question, MB_OKCANCEL | MB_ICONQUESTION) != res::IDOK) return;
  CloseOpenDialogs();
  CDialog::OnOK();
}

void CMainDlg::CloseOpenDialogs() {
  // Exit Program may come from the tray menu while a dialog runs: that
  // dialog's loop must return before the window's own can.
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* dialog = qobject_cast<QDialog*>(widget);
    if (dialog && dialog != this && dialog->isVisible() && dialog->isModal()) dialog->reject();
  }
}

void CMainDlg::EndSession() { CDialog::OnOK(); }

void CMainDlg::UpdateStartAtLoginItem() {
  QAction* item = FindMenuAction(menuBar(), res::ID_START_AT_LOGIN);
  if (!item) return;
  item->setCheckable(true);
  item->setEnabled(s_.autostart != nullptr);
  item->setChecked(s_.autostart && s_.autostart->IsOn());
  // The entry may be removed or written outside the program: the item shows
  // what the session will find whenever the menu opens.
  if (auto* menu = qobject_cast<QMenu*>(item->parent())) {
    connect(menu, &QMenu::aboutToShow, item,
            [this, item] { item->setChecked(s_.autostart && s_.autostart->IsOn()); });
  }
}

void CMainDlg::OnStartAtLogin() {
  if (!s_.autostart) return;
  std::string error;
  if (!s_.autostart->Set(!s_.autostart->IsOn(), error)) {
    MessageBox(this, QString::fromStdString(error), MB_OK | MB_ICONSTOP);
  }
  if (QAction* item = FindMenuAction(menuBar(), res::ID_START_AT_LOGIN)) {
    item->setChecked(s_.autostart->IsOn());
  }
}

void CMainDlg::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  if (placement_) placement_->Save();
  monitor_->Shutdown();
  if (s_.notifier) s_.notifier->SetActivationHook({});
  if (tray_) tray_->hide();
  host_.Close();
  monitor_.reset();
}

int CMainDlg::InsertRow(int position, const std::u16string& text, int image) {
  return list()->InsertItem(position, Q(text), image);
}

void CMainDlg::DeleteRow(int row) {
  if (row >= 0 && row < list()->ItemCount() && monitor_) {
    monitor_->states().Forget(list()->ItemText(row).toStdU16String());
  }
  list()->DeleteItem(row);
}

int CMainDlg::FindRow(const std::u16string& text) const {
  auto* self = const_cast<CMainDlg*>(this);
  return self->list()->FindItem(Q(text));
}

void CMainDlg::SetRowStatusText(int row, const std::u16string& text) {
  list()->SetItemText(row, 1, Q(text));
}

std::u16string CMainDlg::RowStatusText(int row) const {
  auto* self = const_cast<CMainDlg*>(this);
  return self->list()->ItemText(row, 1).toStdU16String();
}

void CMainDlg::SetRowImage(int row, int image) { list()->SetItemImage(row, image); }

void CMainDlg::SetRowToolTip(int row, const std::u16string& text) {
  list()->SetItemToolTip(row, Q(text));
}

void CMainDlg::SetCaption(const std::u16string& caption) {
  if (auto* button = Control<QPushButton>(res::IDC_CHECK_NOW)) button->setText(Q(caption));
}

void CMainDlg::SetEnabled(bool enabled) {
  if (auto* button = GetDlgItem(res::IDC_CHECK_NOW)) button->setEnabled(enabled);
}

}  // namespace halvern::ui
