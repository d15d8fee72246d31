#include "temp_store.h"

#include <gtest/gtest.h>
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
  std::string error;
  store_ = SqliteStore::Open(SqliteStore::DefaultPath(), u"Velmora", error);
  if (!store_) throw std::runtime_error("cannot open test store: " + error);
}

std::unique_ptr<SqliteStore> TempStore::Reopen() const {
  std::string error;
  return SqliteStore::Open(store_->file(), u"Velmora", error);
}

}  // namespace halvern::test
