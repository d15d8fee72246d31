#include "transfer_commands.h"

#include <QtCore/QDir>
#include <QtCore/QEventLoop>
#include <QtCore/QFileInfo>
#include <QtWidgets/QProgressDialog>
#include <functional>
#include <thread>

#include "entry_export.h"
#include "entry_import.h"
#include "import_dlg.h"
#include "message_box.h"
#include "private_file.h"
#include "settings_commands.h"
#include "settings_store.h"
#include "store_backup.h"

namespace halvern::ui {

const char kCredentialsNote[] =
    "The file holds your addresses as you entered them, with any user name and password in "
    "them (user:password@). It is written so that only you can read it; keep it where others "
    "cannot.";

namespace {

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }
QString Q(const std::u16string& text) { return QString::fromStdU16String(text); }

std::filesystem::path PathOf(const QString& file) {
  return std::filesystem::path(file.toStdString());
}

QString InHome(const char* name) { return QDir::home().filePath(QString::fromUtf8(name)); }

// Runs `work` on a thread of its own while the window goes on serving its
// events (a large file, a store held by another program); a progress window
// with `text` comes up if it takes a while and keeps the user's clicks out.
void RunAside(QWidget* owner, const QString& text, const std::function<void()>& work) {
  QEventLoop loop;
  QProgressDialog progress(text, QString(), 0, 0, owner);
  progress.setWindowModality(Qt::WindowModal);
  progress.setMinimumDuration(300);
  progress.setCancelButton(nullptr);
  std::thread worker([&] {
    work();
    QMetaObject::invokeMethod(
        &loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
  });
  loop.exec();
  worker.join();
}

// Stores the rows the preview left to store, with a progress window when there
// are many, which can stop the rest. Returns the titles stored; `failed`
// counts the store's refusals.
std::vector<std::u16string> StoreRows(const TransferContext& context,
                                      const std::vector<ImportRow>& rows, int& failed,
                                      bool& stopped) {
  std::vector<std::u16string> stored;
  QProgressDialog progress(QStringLiteral("Storing the imported addresses..."),
                           QStringLiteral("Stop"), 0, static_cast<int>(rows.size()), context.owner);
  progress.setWindowModality(Qt::WindowModal);
  progress.setMinimumDuration(500);
  stopped = false;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i % 256 == 0) {
      progress.setValue(static_cast<int>(i));
      if (progress.wasCanceled()) {
        stopped = true;
        break;
      }
    }
    const std::u16string title = TitleToStore(rows[i]);
    if (title.empty()) continue;
    if (SaveUrlEntry(context.store, title, EntryForRow(rows[i], title))) {
      stored.push_back(title);
    } else {
      ++failed;
    }
  }
  progress.setValue(static_cast<int>(rows.size()));
  return stored;
}

}  // namespace

void ExportEntries(const TransferContext& context) {
  const auto file = GetSaveFileName(
      context.owner, QStringLiteral("Export"), InHome("Velmora Halvern.json"),
      QStringLiteral("Velmora Halvern export (*.json)"), QString::fromUtf8(kCredentialsNote));
  if (!file) return;
  const ExportDocument document = CollectExport(context.store);
  std::string error;
  if (!WritePrivateFile(PathOf(*file), ExportJson(document), error)) {
    MessageBox(context.owner,
               Q(error) + QStringLiteral("\n\nNothing was exported; a file that was there "
                                         "before is as it was."),
               MB_OK | MB_ICONSTOP);
    return;
  }
  MessageBox(context.owner,
             QStringLiteral("Exported %1 addresses and the settings to \"%2\".")
                 .arg(document.entries.size())
                 .arg(*file),
             MB_OK | MB_ICONINFORMATION);
}

void ImportEntries(const TransferContext& context) {
  const auto file =
      GetOpenFileName(context.owner, QStringLiteral("Import"), QDir::homePath(),
                      QStringLiteral("Address lists (*.json *.csv *.txt);;All files (*)"));
  if (!file) return;
  const QString name = QFileInfo(*file).fileName();
  const QString nothing = QStringLiteral("\n\nNothing was changed.");
  std::string bytes;
  std::string error;
  switch (ReadWholeFile(PathOf(*file), kMaxImportBytes, bytes, error)) {
    case ReadResult::kRead:
      break;
    case ReadResult::kTooLarge:
      MessageBox(context.owner,
                 QStringLiteral("Cannot import \"%1\": the file is larger than 16 MB, which is "
                                "more than an import reads.")
                         .arg(name) +
                     nothing,
                 MB_OK | MB_ICONSTOP);
      return;
    case ReadResult::kFailed:
      MessageBox(context.owner, Q(error) + nothing, MB_OK | MB_ICONSTOP);
      return;
  }
  std::optional<ImportSource> source;
  std::vector<ImportRow> rows;
  RunAside(context.owner, QStringLiteral("Reading \"%1\"...").arg(name), [&] {
    source = ReadImportFile(bytes, file->toStdU16String(), error);
    if (source) rows = PlanImport(source->items, StoredNames(context.store));
  });
  if (!source) {
    MessageBox(context.owner,
               QStringLiteral("Cannot import \"%1\":\n%2").arg(name, Q(error)) + nothing,
               MB_OK | MB_ICONSTOP);
    return;
  }
  bytes.clear();
  CImportDlg preview(std::move(rows), source->format, name, source->settings.has_value(),
                     context.owner);
  if (preview.DoModal() != res::IDOK) return;

  int failed = 0;
  bool stopped = false;
  const std::vector<std::u16string> stored = StoreRows(context, preview.rows(), failed, stopped);
  if (!stored.empty() && context.listStored) context.listStored(stored);
  QString report =
      QStringLiteral("Imported %1 addresses from \"%2\".").arg(stored.size()).arg(name);
  if (stopped) report += QStringLiteral(" You stopped the import; the rest was not stored.");
  bool fault = false;
  if (failed > 0) {
    report +=
        QStringLiteral(" %1 could not be stored: the settings store refused them.").arg(failed);
    fault = true;
  }
  if (preview.takeSettings && source->settings) {
    const std::vector<std::u16string> notTaken =
        TakeImportedSettings(context.store, *source->settings);
    if (context.settingsTaken) context.settingsTaken();
    if (notTaken.empty()) {
      report += QStringLiteral(" The settings were taken.");
    } else {
      QStringList names;
      for (const auto& n : notTaken) names << Q(n);
      report += QStringLiteral(" These settings could not be stored: ") + names.join(u", ") +
                QStringLiteral(".");
      fault = true;
    }
  }
  MessageBox(context.owner, report, MB_OK | (fault ? MB_ICONSTOP : MB_ICONINFORMATION));
}

void BackUpStoreCommand(const TransferContext& context) {
  if (context.storeFile.empty()) return;
  const auto file = GetSaveFileName(
      context.owner, QStringLiteral("Back Up Store"), InHome("Velmora Halvern backup.sqlite3"),
      QStringLiteral("SQLite databases (*.sqlite3 *.db);;All files (*)"),
      QStringLiteral("The copy holds the whole store: your addresses with any user name and "
                     "password in them, the settings, the log and the history. It is written so "
                     "that only you can read it."));
  if (!file) return;
  // A store held by another program is waited for without stopping the window.
  bool copied = false;
  std::string error;
  RunAside(context.owner, QStringLiteral("Backing up the store..."),
           [&] { copied = BackUpStore(context.storeFile, PathOf(*file), error); });
  if (!copied) {
    MessageBox(context.owner, Q(error), MB_OK | MB_ICONSTOP);
    return;
  }
  MessageBox(context.owner,
             QStringLiteral("The store was backed up to \"%1\".\n\nTo restore it: quit Velmora "
                            "Halvern (Exit Program), remove \"%2-wal\" and \"%2-shm\" if they "
                            "are there, put the copy in place of \"%2\", and start Velmora "
                            "Halvern again.")
                 .arg(*file, QString::fromStdString(context.storeFile.string())),
             MB_OK | MB_ICONINFORMATION);
}

}  // namespace halvern::ui
