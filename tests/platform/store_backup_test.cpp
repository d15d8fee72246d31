// A backup of the store made while checks write: a sound database with every
// table, private, and nothing left behind when it fails.

#include "store_backup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "temp_store.h"

namespace halvern {
namespace {

std::vector<std::string> Tables(const std::filesystem::path& file) {
  test::OtherProgram db(file);
  return db.Rows("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name");
}

TEST(StoreBackupTest, CopiesEveryTableWhileAWriterRuns) {
  test::TempStore temp;
  SqliteStore& store = temp.store();
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(store.WriteSettingBinary(
        kLogSection,
        u"before" + std::u16string(1, u'a' + i % 26) + std::u16string(i / 26 + 1, u'x'),
        Bytes(256, 1)));
  }
  {
    // Another program's table: the backup holds the whole file, not only ours.
    test::OtherProgram other(temp.file());
    ASSERT_EQ(other.Exec("CREATE TABLE extra(a); INSERT INTO extra VALUES (42);"), "");
  }
  std::atomic<bool> stop{false};
  std::atomic<int> written{0};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) {
      if (store.WriteSettingInt(kSettingsSection, u"w" + std::u16string(1, u'a' + i % 26), i)) {
        ++written;
      }
    }
  });
  while (written < 50) std::this_thread::yield();
  const auto target = temp.dir() / "backup.sqlite3";
  std::string error;
  const bool backedUp = BackUpStore(temp.file(), target, error);
  stop = true;
  writer.join();
  ASSERT_TRUE(backedUp) << error;

  EXPECT_EQ(Tables(target), Tables(temp.file()));
  test::OtherProgram copy(target);
  EXPECT_EQ(copy.Rows("PRAGMA integrity_check"), std::vector<std::string>{"ok"});
  EXPECT_EQ(copy.Rows("PRAGMA journal_mode"), std::vector<std::string>{"delete"});
  EXPECT_EQ(copy.Rows("SELECT a FROM extra"), std::vector<std::string>{"42"});
  EXPECT_EQ(copy.Rows("SELECT count(*) FROM reg_values WHERE name LIKE 'before%'"),
            std::vector<std::string>{"200"});
  copy.Close();
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_FALSE(std::filesystem::exists(target.string() + "-wal"));
  EXPECT_FALSE(std::filesystem::exists(target.string() + "-journal"));

  // The copy opens as a store, with the values it held.
  std::unique_ptr<SqliteStore> restored = SqliteStore::Open(target, u"Velmora", error);
  ASSERT_TRUE(restored) << error;
  EXPECT_TRUE(restored->ReadSettingBinary(kLogSection, u"beforeax").has_value());
}

TEST(StoreBackupTest, AFailedBackupLeavesTheTargetAsItWas) {
  test::TempDir dir;
  const auto target = dir.path() / "backup.sqlite3";
  std::ofstream(target) << "an older backup";
  const auto notAStore = dir.path() / "notes.txt";
  std::ofstream(notAStore) << std::string(4096, 'n');
  std::string error;
  EXPECT_FALSE(BackUpStore(notAStore, target, error));
  EXPECT_NE(error.find("Cannot back up the store to \"" + target.string() + "\""),
            std::string::npos)
      << error;
  std::ifstream in(target);
  std::string kept;
  std::getline(in, kept);
  EXPECT_EQ(kept, "an older backup");
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& item : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 2u);

  EXPECT_FALSE(BackUpStore(notAStore, dir.path() / "no such folder" / "b.sqlite3", error));
  EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
}

}  // namespace
}  // namespace halvern
