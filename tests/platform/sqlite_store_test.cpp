#include "sqlite_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "check_history.h"
#include "settings.h"
#include "temp_store.h"

namespace halvern {
namespace {

std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs one SQL statement on the file with a plain SQLite connection, as another
// program would, and returns the first column of the first row as text.
std::string PlainSql(const std::filesystem::path& file, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(file.c_str(), &db);
  sqlite3_busy_timeout(db, 5000);
  sqlite3_stmt* stmt = nullptr;
  std::string result = "<error>";
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
      const auto* text = sqlite3_column_text(stmt, 0);
      result = text ? reinterpret_cast<const char*>(text) : "";
    } else if (rc == SQLITE_DONE) {
      result = "";
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return result;
}

TEST(SqliteStoreTest, EmptyStoreGivesEveryDefault) {
  test::TempStore t;
  auto& s = t.store();
  EXPECT_EQ(ReadSetting(s, kFrequency), 45);
  EXPECT_EQ(ReadSetting(s, kTimetable), -1);
  EXPECT_EQ(ReadSetting(s, kTimeFormat), 0);
  EXPECT_EQ(ReadSetting(s, kProxyMode), 1);
  EXPECT_EQ(ReadSetting(s, kProxyAddress), u"");
  EXPECT_EQ(ReadSetting(s, kProxyPort), 8080);
  EXPECT_EQ(ReadSetting(s, kNotifyDuration), 15);
  EXPECT_EQ(ReadSetting(s, kNotifySoundFile), u"Halvern.wav");
  EXPECT_EQ(ReadSetting(s, kNotifyEnableSound), 1);
  EXPECT_EQ(ReadSetting(s, kNotifyEnableVibrate), 1);
  EXPECT_EQ(ReadSetting(s, kNotifyEnableLed), 1);
  EXPECT_EQ(ReadSetting(s, kNotifyRepeat), 4);
  EXPECT_EQ(ReadSetting(s, kKeepLogFiles), 5);
  EXPECT_EQ(ReadSetting(s, kRemoveExpairedLogItems), u"");
  EXPECT_EQ(PlainSql(t.file(), "SELECT count(*) FROM reg_values"), "0");
  EXPECT_EQ(t.file(), t.dir() / "config" / "Velmora" / "registry.sqlite3");
  struct stat st {};
  ASSERT_EQ(::stat(t.file().parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(SqliteStoreTest, ValuesRoundTripAndReplaceWhole) {
  test::TempStore t;
  auto& s = t.store();
  EXPECT_TRUE(s.WriteSettingInt(kSettingsSection, u"Frequency", -5));
  EXPECT_EQ(s.ReadSettingInt(kSettingsSection, u"Frequency", 45), -5);
  EXPECT_TRUE(s.WriteSettingString(kSettingsSection, u"ProxyAddress", u"proxy.example"));
  EXPECT_EQ(s.ReadSettingString(kSettingsSection, u"ProxyAddress", u""), u"proxy.example");
  EXPECT_TRUE(s.WriteSettingBinary(kUrlsSection, u"x", Bytes{1, 2, 3}));
  EXPECT_TRUE(s.WriteSettingBinary(kUrlsSection, u"x", Bytes{9}));
  EXPECT_EQ(s.ReadSettingBinary(kUrlsSection, u"x"), Bytes{9});
  EXPECT_FALSE(s.ReadSettingBinary(kUrlsSection, u"missing"));
  // An empty binary value is a value like any other.
  EXPECT_TRUE(s.WriteSettingBinary(kUrlsSection, u"empty", Bytes{}));
  EXPECT_EQ(s.ReadSettingBinary(kUrlsSection, u"empty"), Bytes{});
  // A value of another type reads as missing for the typed readers.
  EXPECT_EQ(s.ReadSettingInt(kSettingsSection, u"ProxyAddress", 7), 7);
  EXPECT_FALSE(s.ReadSettingBinary(kSettingsSection, u"Frequency"));
}

TEST(SqliteStoreTest, NamesCompareWithoutCaseIncludingNonAscii) {
  test::TempStore t;
  auto& s = t.store();
  s.WriteSettingBinary(kUrlsSection, u"Ärger Straße", Bytes{1});
  EXPECT_EQ(s.ReadSettingBinary(kUrlsSection, u"ärger STRASSE"), std::nullopt);  // no ß expansion
  EXPECT_EQ(s.ReadSettingBinary(kUrlsSection, u"äRGER straße"), Bytes{1});
  s.WriteSettingBinary(u"urls", u"ÄRGER STRAßE", Bytes{2});  // same section, same value
  EXPECT_EQ(s.ReadSettingBinary(kUrlsSection, u"Ärger Straße"), Bytes{2});
  // The name keeps the spelling of the last write; the key its first spelling.
  EXPECT_EQ(PlainSql(t.file(), "SELECT name || '|' || key FROM reg_values"),
            "ÄRGER STRAßE|software\\Velmora\\Velmora Halvern\\URLs");
  EXPECT_EQ(PlainSql(t.file(), "SELECT count(*) FROM reg_values"), "1");
}

// A value goes under the first name that no value holds, names compared
// without case, and keeps its other values as they were.
TEST(SqliteStoreTest, InsertUnderFreeNameSkipsTakenNames) {
  test::TempStore t;
  auto& s = t.store();
  ASSERT_TRUE(s.WriteSettingBinary(kLogSection, u"100", Bytes{1}));
  ASSERT_TRUE(s.WriteSettingBinary(kLogSection, u"X-1", Bytes{2}));
  const std::vector<std::u16string> names = {u"100", u"x-1", u"100-2", u"100-3"};
  std::vector<int> asked;
  const auto nameFor = [&](int attempt) {
    asked.push_back(attempt);
    return names.at(static_cast<std::size_t>(attempt));
  };
  EXPECT_EQ(s.InsertBinaryUnderFreeName(kLogSection, nameFor, Bytes{3}), u"100-2");
  EXPECT_EQ(asked, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(s.ReadSettingBinary(kLogSection, u"100"), Bytes{1});
  EXPECT_EQ(s.ReadSettingBinary(kLogSection, u"x-1"), Bytes{2});
  EXPECT_EQ(s.ReadSettingBinary(kLogSection, u"100-2"), Bytes{3});
  EXPECT_EQ(s.InsertBinaryUnderFreeName(kLogSection, nameFor, Bytes{4}), u"100-3");
}

TEST(SqliteStoreTest, OtherProgramsSeedAndReadWithPlainSql) {
  test::TempStore t;
  // Frequency = 30 as a DWORD, a string with its zero terminator.
  PlainSql(t.file(),
           "INSERT INTO reg_values VALUES ('software\\velmora\\velmora halvern\\settings',"
           " 'frequency', 'software\\Velmora\\Velmora Halvern\\Settings', 'Frequency', 4,"
           " x'1e000000')");
  PlainSql(t.file(),
           "INSERT INTO reg_values VALUES ('software\\velmora\\velmora halvern\\settings',"
           " 'proxyaddress', 'software\\Velmora\\Velmora Halvern\\Settings', 'ProxyAddress', 1,"
           " x'680069000000')");
  EXPECT_EQ(ReadSetting(t.store(), kFrequency), 30);
  EXPECT_EQ(ReadSetting(t.store(), kProxyAddress), u"hi");
  EXPECT_TRUE(WriteSetting(t.store(), kKeepLogFiles, 258));
  EXPECT_EQ(PlainSql(t.file(),
                     "SELECT hex(data) || type FROM reg_values WHERE name_fold = 'keeplogfiles'"),
            "020100004");
  EXPECT_TRUE(WriteSetting(t.store(), kNotifySoundFile, u"a"));
  EXPECT_EQ(
      PlainSql(t.file(), "SELECT hex(data) || type FROM reg_values WHERE name = 'NotifySoundFile'"),
      "610000001");
}

// A store written before the history of the checks existed (its two tables
// and their indexes missing) opens with every value it held, and gains the
// tables: a check's row is written and read back.
TEST(SqliteStoreTest, AStoreFromBeforeTheHistoryOpensWithItsDataAndGainsTheTables) {
  test::TempDir dir;
  const auto file = dir.path() / "Velmora" / "registry.sqlite3";
  std::string error;
  {
    auto store = SqliteStore::Open(file, u"Velmora", error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(WriteSetting(*store, kFrequency, 30));
    ASSERT_TRUE(store->WriteSettingBinary(kUrlsSection, u"Shop", Bytes{1, 2, 3}));
  }
  EXPECT_EQ(PlainSql(file, "DROP TABLE check_history"), "");
  EXPECT_EQ(PlainSql(file, "DROP TABLE daily_summary"), "");
  EXPECT_EQ(PlainSql(file,
                     "SELECT count(*) FROM sqlite_master WHERE name LIKE '%history%'"
                     " OR name LIKE '%summary%'"),
            "0");

  auto store = SqliteStore::Open(file, u"Velmora", error);
  ASSERT_TRUE(store) << error;
  EXPECT_EQ(ReadSetting(*store, kFrequency), 30);
  EXPECT_EQ(store->ReadSettingBinary(kUrlsSection, u"Shop"), (Bytes{1, 2, 3}));
  ASSERT_NE(store->History(), nullptr);
  HistoryRow row;
  row.entryId = 7;
  row.title = u"Shop";
  row.timeMs = 1786000000000;
  row.passed = true;
  row.detail = u"OK";
  ASSERT_TRUE(store->History()->AppendCheck(row));
  const auto rows = store->History()->ReadChecks({7});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].detail, u"OK");
}

TEST(SqliteStoreTest, SectionWalkSeesEveryValueOnceAndDeletes) {
  test::TempStore t;
  auto& s = t.store();
  for (int i = 0; i < 300; ++i) {
    const std::string n = std::to_string(i);
    s.WriteSettingBinary(kLogSection, std::u16string(n.begin(), n.end()), Bytes(256, 1));
  }
  s.WriteSettingInt(kSettingsSection, u"Frequency", 1);  // another section stays out
  auto cursor = s.OpenSection(kLogSection);
  ASSERT_TRUE(cursor);
  std::size_t n = 0;
  while (auto v = cursor->Enumerate(n)) {
    EXPECT_EQ(v->data.size(), 256u);
    ++n;
  }
  EXPECT_EQ(n, 300u);
  EXPECT_EQ(cursor->Enumerate(5)->name,
            u"102");  // name order: 0 1 10 100 101 102  // going back restarts the walk
  cursor.reset();
  EXPECT_EQ(s.DeleteValues(kLogSection, {u"0", u"1", u"missing"}), 2u);
  EXPECT_TRUE(s.DeleteSection(kLogSection));
  auto empty = s.OpenSection(kLogSection);
  EXPECT_FALSE(empty->Enumerate(0));
  EXPECT_EQ(s.ReadSettingInt(kSettingsSection, u"Frequency", 0), 1);
}

TEST(SqliteStoreTest, ManyThreadsWritingAtOnceLoseNothing) {
  test::TempStore t;
  constexpr int kThreads = 8, kWrites = 300;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int n = 0; n < kThreads; ++n) {
    threads.emplace_back([&, n] {
      for (int i = 0; i < kWrites; ++i) {
        const std::string name = std::to_string(n) + "-" + std::to_string(i);
        if (!t.store().WriteSettingBinary(kLogSection, std::u16string(name.begin(), name.end()),
                                          Bytes(256, static_cast<std::uint8_t>(n))))
          ++failures;
        // Readers at the same time.
        t.store().ReadSettingInt(kSettingsSection, u"KeepLogFiles", 5);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(PlainSql(t.file(), "SELECT count(*) FROM reg_values"),
            std::to_string(kThreads * kWrites));
}

// Writes that arrive together are committed together; one that fails (here
// refused by triggers another program put in: one ends its statement, one its
// whole transaction) fails alone, and every other write of its group lands.
TEST(SqliteStoreTest, AFailingWriteAmongConcurrentWritesFailsAlone) {
  test::TempStore t;
  PlainSql(t.file(),
           "CREATE TRIGGER refuse_statement BEFORE INSERT ON reg_values"
           " WHEN NEW.name LIKE 'abort-%' BEGIN SELECT RAISE(ABORT, 'refused'); END");
  PlainSql(t.file(),
           "CREATE TRIGGER refuse_transaction BEFORE INSERT ON reg_values"
           " WHEN NEW.name LIKE 'rollback-%' BEGIN SELECT RAISE(ROLLBACK, 'refused'); END");
  constexpr int kThreads = 8, kWrites = 150;
  const auto nameOf = [](int n, int i) {
    const char* kind = i % 50 == 7 ? "rollback-" : i % 10 == 3 ? "abort-" : "ok-";
    return kind + std::to_string(n) + "-" + std::to_string(i);
  };
  std::atomic<int> wrongResults{0};
  std::vector<std::thread> threads;
  for (int n = 0; n < kThreads; ++n) {
    threads.emplace_back([&, n] {
      for (int i = 0; i < kWrites; ++i) {
        const std::string name = nameOf(n, i);
        const bool ok = t.store().WriteSettingBinary(
            kLogSection, std::u16string(name.begin(), name.end()), Bytes(256, 1));
        if (ok != name.starts_with("ok-")) ++wrongResults;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrongResults, 0);
  int good = 0;
  for (int n = 0; n < kThreads; ++n) {
    for (int i = 0; i < kWrites; ++i) good += nameOf(n, i).starts_with("ok-") ? 1 : 0;
  }
  EXPECT_EQ(PlainSql(t.file(), "SELECT count(*) FROM reg_values WHERE name LIKE 'ok-%'"),
            std::to_string(good));
  EXPECT_EQ(PlainSql(t.file(), "SELECT count(*) FROM reg_values WHERE name NOT LIKE 'ok-%'"), "0");
  // The store goes on writing afterwards.
  EXPECT_TRUE(t.store().WriteSettingInt(kSettingsSection, u"KeepLogFiles", 3));
  EXPECT_EQ(t.store().ReadSettingInt(kSettingsSection, u"KeepLogFiles", 5), 3);
}

// Another program that opens the store and closes it again while this one has
// it open finds this one still there: the store's log and index stay, so what
// this one writes afterwards reaches every reader.
TEST(SqliteStoreTest, WritesAfterAnotherProgramClosedTheStoreReachEveryReader) {
  test::TempDir dir;
  const auto file = dir.path() / "registry.sqlite3";
  int toParent[2], toChild[2];
  ASSERT_EQ(::pipe(toParent), 0);
  ASSERT_EQ(::pipe(toChild), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // This program: the store stays open throughout.
    ::close(toParent[0]);
    ::close(toChild[1]);
    std::string error;
    auto store = SqliteStore::Open(file, u"Velmora", error);
    char step = 0;
    if (!store || !store->WriteSettingInt(kSettingsSection, u"Before", 1)) ::_exit(2);
    if (::write(toParent[1], "r", 1) != 1 || ::read(toChild[0], &step, 1) != 1) ::_exit(3);
    if (!store->WriteSettingInt(kSettingsSection, u"After", 2)) ::_exit(4);
    if (::write(toParent[1], "w", 1) != 1) ::_exit(5);
    static_cast<void>(::read(toChild[0], &step, 1));  // until the reader is done
    ::_exit(0);
  }
  ::close(toParent[1]);
  ::close(toChild[0]);
  char step = 0;
  ASSERT_EQ(::read(toParent[0], &step, 1), 1);
  EXPECT_EQ(PlainSql(file, "SELECT count(*) FROM reg_values WHERE name = 'Before'"), "1");
  ASSERT_EQ(::write(toChild[1], "g", 1), 1);
  ASSERT_EQ(::read(toParent[0], &step, 1), 1);
  EXPECT_EQ(PlainSql(file, "SELECT count(*) FROM reg_values WHERE name = 'After'"), "1");
  EXPECT_TRUE(std::filesystem::exists(file.string() + "-wal"));
  ::close(toChild[1]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(toParent[0]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(SqliteStoreTest, KilledWriterLeavesWholeValues) {
  test::TempStore t;
  int pipefd[2];
  ASSERT_EQ(::pipe(pipefd), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipefd[0]);
    std::string error;
    auto store = SqliteStore::Open(t.file(), u"Velmora", error);
    if (!store) ::_exit(2);
    for (std::uint32_t i = 0;; ++i) {
      const std::string name = std::to_string(i);
      Bytes data(2136, static_cast<std::uint8_t>(i & 0xff));
      store->WriteSettingBinary(kUrlsSection, std::u16string(name.begin(), name.end()), data);
      // Reported only after the write returned.
      if (::write(pipefd[1], &i, sizeof i) != sizeof i) ::_exit(3);
    }
  }
  ::close(pipefd[1]);
  std::uint32_t last = 0, got = 0;
  while (got < 500 && ::read(pipefd[0], &last, sizeof last) == sizeof last) ++got;
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(pipefd[0]);
  ASSERT_EQ(got, 500u);

  auto reopened = t.Reopen();
  ASSERT_TRUE(reopened);
  for (std::uint32_t i = 0; i <= last; ++i) {
    const std::string name = std::to_string(i);
    auto v = reopened->ReadSettingBinary(kUrlsSection, std::u16string(name.begin(), name.end()));
    ASSERT_TRUE(v) << i;
    ASSERT_EQ(*v, Bytes(2136, static_cast<std::uint8_t>(i & 0xff))) << i;
  }
  auto cursor = reopened->OpenSection(kUrlsSection);
  for (std::size_t i = 0; auto v = cursor->Enumerate(i); ++i) EXPECT_EQ(v->data.size(), 2136u);
  EXPECT_EQ(PlainSql(t.file(), "PRAGMA integrity_check"), "ok");
}

TEST(SqliteStoreTest, AFileThatIsNotADatabaseIsReportedAndLeftAlone) {
  test::TempDir dir;
  const auto file = dir.path() / "Velmora" / "registry.sqlite3";
  std::filesystem::create_directories(file.parent_path());
  { std::ofstream(file) << "these are my notes, not a database\n"; }
  const std::string before = ReadFile(file);
  std::string error;
  EXPECT_FALSE(SqliteStore::Open(file, u"Velmora", error));
  EXPECT_NE(error.find(file.string()), std::string::npos) << error;
  EXPECT_EQ(ReadFile(file), before);
  EXPECT_FALSE(std::filesystem::exists(file.string() + "-wal"));
}

TEST(SqliteStoreTest, ADamagedDatabaseIsReportedAndLeftAlone) {
  test::TempDir dir;
  const auto file = dir.path() / "registry.sqlite3";
  {
    std::string error;
    auto store = SqliteStore::Open(file, u"Velmora", error);
    ASSERT_TRUE(store) << error;
    for (int i = 0; i < 200; ++i) {
      const std::string n = std::to_string(i);
      store->WriteSettingBinary(kLogSection, std::u16string(n.begin(), n.end()), Bytes(256, 7));
    }
  }
  // Checkpoint so the data sits in the main file, then scribble over its pages.
  PlainSql(file, "PRAGMA wal_checkpoint(TRUNCATE)");
  std::string bytes = ReadFile(file);
  ASSERT_GT(bytes.size(), 8192u);
  for (std::size_t i = 4096; i < bytes.size(); i += 7) bytes[i] = static_cast<char>(0x5A);
  { std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes; }
  std::error_code ec;
  std::filesystem::remove(file.string() + "-wal", ec);
  std::filesystem::remove(file.string() + "-shm", ec);

  std::string error;
  EXPECT_FALSE(SqliteStore::Open(file, u"Velmora", error));
  EXPECT_NE(error.find(file.string()), std::string::npos) << error;
  EXPECT_NE(error.find("damaged"), std::string::npos) << error;
  EXPECT_EQ(ReadFile(file), bytes);
}

TEST(SqliteStoreTest, AFolderThatCannotBeMadeIsReported) {
  test::TempDir dir;
  const auto blocker = dir.path() / "blocker";
  { std::ofstream(blocker) << "a file where a folder should be"; }
  std::string error;
  EXPECT_FALSE(SqliteStore::Open(blocker / "Velmora" / "registry.sqlite3", u"Velmora", error));
  EXPECT_NE(error.find("blocker"), std::string::npos) << error;
}

}  // namespace
}  // namespace halvern
