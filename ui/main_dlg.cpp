#include "main_dlg.h"

#include <QtCore/QEventLoop>
#include <QtGui/QAction>
#include <QtGui/QCloseEvent>
#include <QtGui/QKeySequence>
#include <QtWidgets/QMenu>
#include <QtWidgets/QMenuBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QSystemTrayIcon>

#include "about_dlg.h"
#include "autostart.h"
#include "check_log.h"
#include "desktop_notifier.h"
#include "icons.h"
#include "list_view.h"
#include "log_files_dlg.h"
#include "message_box.h"
#include "settings_commands.h"
#include "string_table.h"
#include "url_dlg.h"
#include "url_entry.h"

namespace halvern::ui {
namespace {

constexpr int kAddRowPosition = 4095;
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
  MapCommand(res::ID_VISIT_WEBSITE, [this] {
    if (s_.openUrl) s_.openUrl(QString::fromUtf8(res::kHomePage));
  });
  MapCommand(res::ID_APP_ABOUT, [this] { CAboutDlg(this).DoModal(); });
  MapCommand(res::ID_EXIT_PROGRAM, [this] { OnExitProgram(); });
  MapCommand(res::ID_START_AT_LOGIN, [this] { OnStartAtLogin(); });
  MapCommand(res::ID_HISTORY, [this] { OnHistory(); });
  MapDoubleClick(res::IDC_URL_LIST, [this] { OnCheckOne(); });
  if (s_.notifier) {
    monitor_->alerts().SetNotifier(s_.notifier);
    s_.notifier->SetActivationHook([this] { popup_.Activate(); });
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
  urls->SetImageList(StatusImages());
  urls->InsertColumn(0, QStringLiteral("Title"), 100);
  urls->InsertColumn(1, QStringLiteral("Status"), 360);
  urls->SetExtendedStyle(0x21);
  urls->FitColumnTo(0, QString::fromLatin1(kTitleSample));
  urls->StretchLastColumn();
  placement_ = new WindowPlacementKeeper(*this, s_.store);
  placement_->Restore();
  {
    // The stored titles come in the store's order; the list sorts them once.
    ListView::BulkFill fill(*urls);
    FillUrlList(s_.store, *this);
  }
  ExpireLog(s_.store, s_.clock);
  monitor_->ScheduleNextWakeUp();
  UpdateStartAtLoginItem();
  if (QAction* history = FindMenuAction(menuBar(), res::ID_HISTORY)) {
    history->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    history->setShortcutContext(Qt::WindowShortcut);
    addAction(history);  // the key works while the menu is closed too
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

void CMainDlg::SetTrayAlertLook(bool on) {
  if (tray_) tray_->setIcon(on ? LoadResIcon(res::IDI_ALERT) : appIcon_);
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
    if (trayMenu_) trayMenu_->RowRemoved(list()->ItemText(row).toStdU16String());
    list()->DeleteItem(row);
  }
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
  // The list shows what is stored: one row for the title, the saved entry's.
  RemoveRowsOf(title);
  InsertRow(row, title, kImageIdle);
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
    DeleteUrlEntryRow(s_.store, *this, oldTitle, FindRow(oldTitle));
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
  DeleteUrlEntryRow(s_.store, *this, title, row);
  list()->SelectItem(-1);
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
  CDialog::OnOK();
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
  if (trayMenu_ && row >= 0 && row < list()->ItemCount()) {
    trayMenu_->RowRemoved(list()->ItemText(row).toStdU16String());
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

void CMainDlg::SetRowImage(int row, int image) {
  list()->SetItemImage(row, image);
  if (trayMenu_ && row >= 0 && row < list()->ItemCount()) {
    trayMenu_->RowImageChanged(list()->ItemText(row).toStdU16String(), image);
  }
}

void CMainDlg::SetCaption(const std::u16string& caption) {
  if (auto* button = Control<QPushButton>(res::IDC_CHECK_NOW)) button->setText(Q(caption));
}

void CMainDlg::SetEnabled(bool enabled) {
  if (auto* button = GetDlgItem(res::IDC_CHECK_NOW)) button->setEnabled(enabled);
}

}  // namespace halvern::ui
