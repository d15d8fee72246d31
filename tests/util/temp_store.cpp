#include "temp_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

namespace halvern::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "halvern-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

TempStore::TempStore() {
  ::setenv("XDG_CONFIG_HOME", (dir_.path() / "config").c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1);
  // The launcher socket's last fallback lies under the cache folder.
  ::setenv("XDG_CACHE_HOME", (dir_.path() / "cache").c_str(), 1);
  std::string error;
  store_ = SqliteStore::Open(SqliteStore::DefaultPath(), u"Velmora", error);
  if (!store_) throw std::runtime_error("cannot open test store: " + error);
}

std::unique_ptr<SqliteStore> TempStore::Reopen() const {
  std::string error;
  return SqliteStore::Open(store_->file(), u"Velmora", error);
}

OtherProgram::OtherProgram(const std::filesystem::path& file) {
  if (sqlite3_open(file.c_str(), &db_) != SQLITE_OK) {
    throw std::runtime_error("cannot open " + file.string() + ": " + sqlite3_errmsg(db_));
  }
}

OtherProgram::~OtherProgram() { Close(); }

std::string OtherProgram::Exec(const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return {};
  std::string text = message ? message : "failed";
  sqlite3_free(message);
  return text;
}

std::vector<std::string> OtherProgram::Rows(const std::string& sql) {
  std::vector<std::string> rows;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) return rows;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    const auto* text = sqlite3_column_text(stmt, 0);
    rows.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
  }
  sqlite3_finalize(stmt);
  return rows;
}

void OtherProgram::Close() {
  sqlite3_close(db_);
  db_ = nullptr;
}

}  // namespace halvern::test
