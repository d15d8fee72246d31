#pragma once
// Opening the settings store at start-up while another program (a SQLite
// client, a backup) may hold it locked. A locked store is not damaged: the
// program says that it waits, touches nothing, and goes on by itself once the
// store is free.

#include <QtCore/QString>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "sqlite_store.h"

namespace halvern::ui {

struct StoreOpening {
  std::unique_ptr<SqliteStore> store;  // set when opened
  SqliteStore::OpenStatus status = SqliteStore::OpenStatus::kUnusable;
  std::string error;  // names the file when not opened
};

// One attempt to open the store; never waits for a lock itself.
using StoreOpener = std::function<StoreOpening()>;

// The name of the store-wait window, for tests.
inline constexpr char kStoreWaitWindowName[] = "storeWaitWindow";

// Tries `open` once; while it reports kBusy, shows a window saying that the
// store `file` is in use by another program and that Velmora Halvern will
// start as soon as it is free, and tries again every `retry` from the event
// loop. Returns the first kOpened or kUnusable; kBusy when the user gave up
// (Exit) or the window was closed otherwise (the session is ending).
StoreOpening OpenStoreWhenFree(const StoreOpener& open, const QString& file,
                               std::chrono::milliseconds retry = std::chrono::seconds(1));

}  // namespace halvern::ui
