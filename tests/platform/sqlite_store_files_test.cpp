// The settings store's files on disk: private modes, and a database file
// removed or replaced while the store is open.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>

#include "sqlite_store.h"
#include "temp_store.h"

namespace halvern {
namespace {

mode_t ModeOf(const std::filesystem::path& p) {
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

std::filesystem::path Side(const std::filesystem::path& file, const char* suffix) {
  return file.string() + suffix;
}

// The process's umask for the life of a test, restored after it.
class Umask {
 public:
  explicit Umask(mode_t mask) : old_(::umask(mask)) {}
  ~Umask() { ::umask(old_); }

 private:
  mode_t old_;
};

// Folder 0700 and database, log and index 0600: made so, and tightened when an
// earlier run or another client left them readable by others.
TEST(SqliteStoreFilesTest, FolderAndFilesArePrivate) {
  const Umask umask(022);
  struct Case {
    const char* name;
    bool premade;  // a 0755 folder with 0644 files, kept open by another client
  };
  for (const Case& c : {Case{"fresh", false}, Case{"wide folder and files", true}}) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const auto folder = dir.path() / "Velmora";
    const auto file = folder / "registry.sqlite3";
    std::unique_ptr<test::OtherProgram> other;
    if (c.premade) {
      std::filesystem::create_directory(folder);
      ::chmod(folder.c_str(), 0755);
      other = std::make_unique<test::OtherProgram>(file);
      ASSERT_EQ(other->Exec("PRAGMA journal_mode=WAL; CREATE TABLE notes (text);"
                            " INSERT INTO notes VALUES ('x')"),
                "");
      for (const char* suffix : {"", "-wal", "-shm"}) ::chmod(Side(file, suffix).c_str(), 0644);
    }
    std::string error;
    auto store = SqliteStore::Open(file, u"Velmora", error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->WriteSettingString(kSettingsSection, u"ProxyAddress", u"user:pw@proxy"));
    EXPECT_EQ(ModeOf(folder), 0700u);
    for (const char* suffix : {"", "-wal", "-shm"}) {
      EXPECT_EQ(ModeOf(Side(file, suffix)), 0600u) << suffix;
    }
  }
}

// The database file goes from under the running store (a user removing it, a
// restore moving another store over it): the store notices and goes on with
// the file at the path, so that what is written from then on is kept there.
// What another user could have made or may still change is refused, with a
// message naming the path and why: a settings folder of another user or open
// to writing by others, and a database or side file that is a link, another
// user's or no regular file. Nothing is written or changed through them.
TEST(SqliteStoreFilesTest, RefusesFoldersAndFilesThatAreNotPrivate) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving files to another user needs root";
  constexpr uid_t kOther = 4242;
  namespace fs = std::filesystem;
  struct Paths {
    fs::path folder, file, elsewhere, victim;
  };
  const auto giveAway = [](const fs::path& p) {
    ASSERT_EQ(::lchown(p.c_str(), kOther, kOther), 0);
  };
  struct Case {
    const char* name;
    std::function<void(const Paths&)> arrange;
    std::function<fs::path(const Paths&)> named;
    const char* why;
  };
  const auto folder = [](const Paths& p) { return p.folder; };
  const auto side = [](const char* suffix) {
    return [suffix](const Paths& p) { return Side(p.file, suffix); };
  };
  const Case cases[] = {
      {"folder of another user",
       [&](const Paths& p) {
         fs::create_directory(p.folder);
         ::chmod(p.folder.c_str(), 0777);
         giveAway(p.folder);
       },
       folder, "belongs to another user (uid 4242)"},
      {"folder linked to a folder of another user",
       [&](const Paths& p) {
         fs::create_directory(p.elsewhere / "theirs");
         giveAway(p.elsewhere / "theirs");
         fs::create_directory_symlink(p.elsewhere / "theirs", p.folder);
       },
       folder, "belongs to another user"},
      {"folder linked to a folder others may write",
       [&](const Paths& p) {
         fs::create_directory(p.elsewhere / "open");
         ::chmod((p.elsewhere / "open").c_str(), 0777);
         fs::create_directory_symlink(p.elsewhere / "open", p.folder);
       },
       folder, "is open to other users (mode 0777)"},
      {"database is a link",
       [&](const Paths& p) {
         fs::create_directory(p.folder);
         fs::create_symlink(p.victim, p.file);
       },
       side(""), "is a link"},
      {"database of another user",
       [&](const Paths& p) {
         fs::create_directory(p.folder);
         std::ofstream(p.file).close();
         giveAway(p.file);
       },
       side(""), "belongs to another user"},
      {"log is a link",
       [&](const Paths& p) {
         fs::create_directory(p.folder);
         fs::create_symlink(p.victim, Side(p.file, "-wal"));
       },
       side("-wal"), "is a link"},
      {"index of another user",
       [&](const Paths& p) {
         fs::create_directory(p.folder);
         std::ofstream(Side(p.file, "-shm")).close();
         giveAway(Side(p.file, "-shm"));
       },
       side("-shm"), "belongs to another user"},
      {"journal is a link",
       [&](const Paths& p) {
         fs::create_directory(p.folder);
         fs::create_symlink(p.victim, Side(p.file, "-journal"));
       },
       side("-journal"), "is a link"},
      {"database is a pipe",
       [&](const Paths& p) {
         fs::create_directory(p.folder);
         ASSERT_EQ(::mkfifo(p.file.c_str(), 0600), 0);
       },
       side(""), "is not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const Paths paths{dir.path() / "Velmora", dir.path() / "Velmora" / "registry.sqlite3",
                      dir.path() / "elsewhere", dir.path() / "elsewhere" / "victim"};
    fs::create_directory(paths.elsewhere);
    std::ofstream(paths.victim) << "not for the store";
    ::chmod(paths.victim.c_str(), 0644);
    c.arrange(paths);

    std::string error;
    SqliteStore::OpenStatus status = SqliteStore::OpenStatus::kOpened;
    EXPECT_FALSE(SqliteStore::Open(paths.file, u"Velmora", error, status));
    EXPECT_EQ(status, SqliteStore::OpenStatus::kUnusable);
    EXPECT_NE(error.find("\"" + c.named(paths).string() + "\" " + c.why), std::string::npos)
        << error;
    // The file a link led to is as it was.
    std::ifstream in(paths.victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "not for the store");
    EXPECT_EQ(ModeOf(paths.victim), 0644u);
  }
}

TEST(SqliteStoreFilesTest, ARemovedOrReplacedFileIsFollowed) {
  const Umask umask(022);
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path& file)> act;
    bool keepsSeed;  // the file now at the path holds the value "Seed"
  };
  const auto removeAll = [](const std::filesystem::path& file) {
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(Side(file, suffix));
  };
  const auto replace = [](const std::filesystem::path& file) {
    const auto other = file.parent_path() / "restored.sqlite3";
    {
      std::string error;
      auto store = SqliteStore::Open(other, u"Velmora", error);
      ASSERT_TRUE(store) << error;
      ASSERT_TRUE(store->WriteSettingInt(kSettingsSection, u"Seed", 7));
    }
    std::filesystem::rename(other, file);
  };
  const Case cases[] = {
      {"database removed, its log and index left", [](auto& f) { std::filesystem::remove(f); },
       false},
      {"database, log and index removed", removeAll, false},
      {"another store moved over it", replace, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempStore t;
    const auto file = t.file();
    auto& s = t.store();
    ASSERT_TRUE(s.WriteSettingInt(kSettingsSection, u"Before", 1));
    c.act(file);
    EXPECT_TRUE(s.WriteSettingInt(kSettingsSection, u"After", 2));
    EXPECT_EQ(s.ReadSettingInt(kSettingsSection, u"After", 0), 2);
    EXPECT_EQ(s.ReadSettingInt(kSettingsSection, u"Seed", 0), c.keepsSeed ? 7 : 0);
    EXPECT_TRUE(s.WriteSettingBinary(kLogSection, u"1700000000", Bytes(256, 3)));
    auto cursor = s.OpenSection(kLogSection);
    ASSERT_TRUE(cursor);
    EXPECT_EQ(cursor->Enumerate(0)->name, u"1700000000");
    cursor.reset();
    for (const char* suffix : {"", "-wal", "-shm"}) {
      EXPECT_EQ(ModeOf(Side(file, suffix)), 0600u) << suffix;
    }

    // What another program (or the next start) finds at the path.
    test::OtherProgram reader(file);
    EXPECT_EQ(reader.Rows("SELECT name FROM reg_values ORDER BY name"),
              (c.keepsSeed ? std::vector<std::string>{"1700000000", "After", "Seed"}
                           : std::vector<std::string>{"1700000000", "After"}));
    EXPECT_EQ(reader.Rows("PRAGMA integrity_check"), std::vector<std::string>{"ok"});
  }
}

}  // namespace
}  // namespace halvern

namespace halvern {
namespace {

// The POSIX locks this process holds on `file`, as /proc/locks lists them.
int LocksHeldOn(const std::filesystem::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return -1;
  std::ifstream locks("/proc/locks");
  int held = 0;
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, id;
    fields >> number >> kind;
    if (kind == "->") fields >> kind;  // a waiting lock
    fields >> mode >> access >> pid >> id;
    const auto inode = id.substr(id.rfind(':') + 1);
    if (kind == "POSIX" && pid == std::to_string(::getpid()) &&
        inode == std::to_string(st.st_ino)) {
      ++held;
    }
  }
  return held;
}

// Making the files private after SQLite opened them must not close a
// descriptor of them: closing one drops every lock the process holds on the
// file. Without its lock on the index, another program that closes the store
// takes itself for the last one and removes the log this process still
// writes, and what is written from then on is lost.
TEST(SqliteStoreFilesTest, TheOpenStoreKeepsItsLocks) {
  test::TempDir dir;
  const auto file = dir.path() / "Velmora" / "registry.sqlite3";
  std::string error;
  auto store = SqliteStore::Open(file, u"Velmora", error);
  ASSERT_TRUE(store) << error;
  ASSERT_TRUE(store->WriteSettingString(kSettingsSection, u"ProxyAddress", u"proxy"));
  EXPECT_GT(LocksHeldOn(Side(file, "-shm")), 0);
}

}  // namespace
}  // namespace halvern
