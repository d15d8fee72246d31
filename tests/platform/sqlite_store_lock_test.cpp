// The settings store beside another program that holds its database locked.

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>

#include "sqlite_store.h"
#include "temp_store.h"

namespace halvern {
namespace {

using namespace std::chrono_literals;

std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::u16string U16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// A store file with one value, left in the journal mode `journal`.
void MakeStoreFile(const std::filesystem::path& file, const char* journal) {
  std::string error;
  {
    auto store = SqliteStore::Open(file, u"Velmora", error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->WriteSettingInt(kSettingsSection, u"Frequency", 30));
  }
  test::OtherProgram other(file);
  ASSERT_EQ(other.Exec(std::string("PRAGMA journal_mode=") + journal), "");
}

struct LockCase {
  const char* name;
  const char* journal;  // "wal" or "delete"; nullptr: a database of another program, no tables
  const char* lock;     // what the other program runs and keeps
};

// Every lock that stops the store from opening or writing, as found with a
// second connection: a rollback-journal database cannot be switched to WAL
// while any other connection reads or writes it, an exclusive lock keeps even
// the check of the file from reading, and creating the tables or writing a
// value needs the write lock.
const LockCase kOpenLocks[] = {
    {"rollback journal, BEGIN EXCLUSIVE", "delete", "BEGIN EXCLUSIVE"},
    {"rollback journal, BEGIN IMMEDIATE", "delete", "BEGIN IMMEDIATE"},
    {"rollback journal, open read", "delete", "BEGIN; SELECT count(*) FROM reg_values"},
    {"WAL, exclusive locking mode", "wal",
     "PRAGMA locking_mode=EXCLUSIVE; DELETE FROM reg_keys WHERE 0"},
    {"WAL, BEGIN IMMEDIATE", "wal", "BEGIN IMMEDIATE"},
    {"WAL, no tables yet, BEGIN IMMEDIATE", nullptr, "BEGIN IMMEDIATE"},
};

TEST(SqliteStoreLockTest, ALockAtOpenIsBusyTouchesNothingAndPassesWhenGone) {
  for (const LockCase& c : kOpenLocks) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const auto file = dir.path() / "registry.sqlite3";
    if (c.journal) {
      MakeStoreFile(file, c.journal);
    } else {
      test::OtherProgram maker(file);
      ASSERT_EQ(maker.Exec("PRAGMA journal_mode=WAL; CREATE TABLE notes (text)"), "");
    }
    test::OtherProgram other(file);
    ASSERT_EQ(other.Exec(c.lock), "");
    const std::string before = ReadFile(file);

    std::string error;
    auto status = SqliteStore::OpenStatus::kOpened;
    EXPECT_FALSE(SqliteStore::Open(file, u"Velmora", error, status));
    EXPECT_EQ(status, SqliteStore::OpenStatus::kBusy);
    EXPECT_EQ(error, "The settings store \"" + file.string() + "\" is in use by another program.");
    EXPECT_EQ(ReadFile(file), before);

    other.Close();
    auto store = SqliteStore::Open(file, u"Velmora", error, status);
    ASSERT_TRUE(store) << error;
    EXPECT_EQ(status, SqliteStore::OpenStatus::kOpened);
    EXPECT_EQ(store->ReadSettingInt(kSettingsSection, u"Frequency", 45), c.journal ? 30 : 45);
    EXPECT_TRUE(store->WriteSettingInt(kSettingsSection, u"Frequency", 20));
    EXPECT_EQ(store->ReadSettingInt(kSettingsSection, u"Frequency", 45), 20);
  }
}

// 4 writers of 5 log-sized records each meet a write lock that outlasts many
// busy timeouts: each write returns only once written, none is lost, and the
// records of each writer land in the order it wrote them (seen by a trigger of
// the other program that notes every arrival).
TEST(SqliteStoreLockTest, WritesOutlastALockLongerThanTheBusyTimeoutInOrder) {
  test::TempStore t;
  t.store().SetBusyTimeout(100ms);
  test::OtherProgram other(t.file());
  ASSERT_EQ(other.Exec("CREATE TABLE arrivals (seq INTEGER PRIMARY KEY, name TEXT);"
                       "CREATE TRIGGER note AFTER INSERT ON reg_values"
                       " BEGIN INSERT INTO arrivals (name) VALUES (NEW.name); END"),
            "");
  ASSERT_EQ(other.Exec("BEGIN IMMEDIATE"), "");

  constexpr int kWriters = 4, kRecords = 5;
  std::atomic<int> failed{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < kRecords; ++i) {
        const std::string name = std::to_string(w) + "-" + std::to_string(i);
        if (!t.store().WriteSettingBinary(kLogSection, U16(name), Bytes(256, 1))) ++failed;
      }
    });
  }
  std::this_thread::sleep_for(1s);  // ten busy timeouts
  ASSERT_EQ(other.Exec("COMMIT"), "");
  for (auto& th : writers) th.join();

  EXPECT_EQ(failed, 0);
  test::OtherProgram reader(t.file());
  const auto arrivals = reader.Rows("SELECT name FROM arrivals ORDER BY seq");
  ASSERT_EQ(arrivals.size(), static_cast<std::size_t>(kWriters * kRecords));
  std::vector<int> next(kWriters, 0);
  for (const std::string& name : arrivals) {
    const int w = name[0] - '0';
    EXPECT_EQ(name, std::to_string(w) + "-" + std::to_string(next[w])) << "out of order";
    ++next[w];
  }
}

// A lock that never goes: the write waits for it until the program begins to
// exit, then fails within the bound; later writes that meet it fail at once,
// and writes that meet no lock still pass.
TEST(SqliteStoreLockTest, ExitBoundsAWriteThatMeetsALockThatNeverGoes) {
  test::TempStore t;
  t.store().SetBusyTimeout(50ms);
  test::OtherProgram other(t.file());
  ASSERT_EQ(other.Exec("BEGIN IMMEDIATE"), "");

  std::atomic<bool> returned{false}, result{true};
  std::thread writer([&] {
    result = t.store().WriteSettingInt(kSettingsSection, u"Frequency", 10);
    returned = true;
  });
  std::this_thread::sleep_for(500ms);  // ten busy timeouts
  EXPECT_FALSE(returned) << "a write gave up on the lock while the program runs";
  t.store().BeginExit(200ms);
  writer.join();
  EXPECT_FALSE(result);
  EXPECT_FALSE(t.store().WriteSettingInt(kSettingsSection, u"Frequency", 11));

  other.Close();
  EXPECT_TRUE(t.store().WriteSettingInt(kSettingsSection, u"Frequency", 12));
  EXPECT_EQ(t.store().ReadSettingInt(kSettingsSection, u"Frequency", 45), 12);
}

}  // namespace
}  // namespace halvern
