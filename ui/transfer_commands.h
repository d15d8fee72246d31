#pragma once
// The main window's commands that take the user's data in and out: URLs >
// "Export..." and "Import...", and Tools > "Back Up Store...". Each asks for a
// file, does its work, and tells the user what happened; a file that cannot
// be read, imported or written changes nothing.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

class QWidget;

namespace halvern {
class SettingsStore;
}

namespace halvern::ui {

struct TransferContext {
  QWidget* owner;  // the main window
  SettingsStore& store;
  // The store's database file; empty where there is none to copy.
  std::filesystem::path storeFile;
  // Lists the entries just stored under these titles (rows of the same
  // titles go first, so that the list shows one row per stored entry).
  std::function<void(const std::vector<std::u16string>& titles)> listStored;
  // Settings were taken from an import: what is booked follows them.
  std::function<void()> settingsTaken;
};

void ExportEntries(const TransferContext& context);
void ImportEntries(const TransferContext& context);
void BackUpStoreCommand(const TransferContext& context);

// The note of the save dialogs: what the file holds and who may read it.
extern const char kCredentialsNote[];

}  // namespace halvern::ui
