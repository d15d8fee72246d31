#pragma once
// A temporary folder per test, with XDG_CONFIG_HOME and XDG_RUNTIME_DIR pointed
// into it, and a fresh SQLite store there. Nothing touches the real home folder.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "sqlite_store.h"

struct sqlite3;

namespace halvern::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A temporary folder that is also the process's XDG_CONFIG_HOME and
// XDG_RUNTIME_DIR, and the store opened in it.
class TempStore {
 public:
  TempStore();
  SqliteStore& store() { return *store_; }
  const std::filesystem::path& dir() const { return dir_.path(); }
  std::filesystem::path file() const { return store_->file(); }
  // Opens a second store on the same file (another program's view).
  std::unique_ptr<SqliteStore> Reopen() const;

 private:
  TempDir dir_;
  std::unique_ptr<SqliteStore> store_;
};

// A plain SQLite connection on a store's file, opened as another program (a
// SQLite client, a backup) would open it, to hold locks and run SQL.
class OtherProgram {
 public:
  explicit OtherProgram(const std::filesystem::path& file);
  ~OtherProgram();
  OtherProgram(const OtherProgram&) = delete;
  OtherProgram& operator=(const OtherProgram&) = delete;
  // Runs the statements; SQLite's message when one fails, else empty.
  std::string Exec(const std::string& sql);
  // The first column of every row of a query, as text.
  std::vector<std::string> Rows(const std::string& sql);
  // Closes the connection, which lets go of every lock it held.
  void Close();

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace halvern::test
