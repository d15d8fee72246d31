// The whole Halvern in a desktop session: a session-end signal (SIGTERM at
// logout, SIGHUP when its terminal closes, SIGINT for Ctrl+C) ends it as Exit
// Program does: exit code 0, its socket file gone, and an alert's LED off.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "check_log.h"
#include "http_test_server.h"
#include "network_connection.h"
#include "qt_loop.h"
#include "settings_store.h"
#include "silent_server.h"
#include "sqlite_store.h"
#include "system_bus_stand_ins.h"
#include "temp_store.h"
#include "url_entry.h"

extern char** environ;

namespace halvern::test {
namespace {

using namespace std::chrono_literals;

std::string ReadFirstLine(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit = 60s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// One Halvern with a home of its own: configuration, runtime folder and a
// fake sysfs with one notification LED.
class Session {
 public:
  Session() {
    config_ = dir_.path() / "config";
    runtime_ = dir_.path() / "runtime";
    std::filesystem::create_directories(config_);
    std::filesystem::create_directories(runtime_);
    ::chmod(runtime_.c_str(), 0700);
    led_ = dir_.path() / "sys" / "class" / "leds" / "halvern::notification";
    std::filesystem::create_directories(led_);
    std::ofstream(led_ / "brightness") << "0\n";
    std::ofstream(led_ / "max_brightness") << "255\n";
  }
  ~Session() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  std::filesystem::path StoreFile() const { return config_ / "Velmora" / "registry.sqlite3"; }
  std::filesystem::path SocketFile() const { return runtime_ / "Velmora Halvern.sock"; }
  std::string Led() const { return ReadFirstLine(led_ / "brightness"); }

  // An enabled entry whose address refuses every connection.
  void StoreFailingEntry() { StoreEntry(u"Refused", u"http://127.0.0.1:1/"); }

  void StoreEntry(const std::u16string& title, const std::u16string& url) {
    std::string error;
    auto store = SqliteStore::Open(StoreFile(), u"Velmora", error);
    ASSERT_TRUE(store) << error;
    UrlEntry entry;
    InitUrlEntry(entry);
    SetEntryTitle(entry, title);
    SetEntryUrl(entry, url);
    entry.enabled = 1;
    entry.sizeLimit = 0xFFFFFFFFu;
    ASSERT_TRUE(SaveUrlEntry(*store, title, entry));
  }

  // The store as another program sees it: nothing when it cannot be opened.
  std::unique_ptr<SqliteStore> OpenStore() const {
    std::string error;
    auto store = SqliteStore::Open(StoreFile(), u"Velmora", error);
    EXPECT_TRUE(store) << error;
    return store;
  }

  pid_t Spawn(const char* binary) {
    std::vector<std::string> env = {
        "QT_QPA_PLATFORM=offscreen",
        "XDG_CONFIG_HOME=" + config_.string(),
        "XDG_RUNTIME_DIR=" + runtime_.string(),
        "HOME=" + dir_.path().string(),
        "HALVERN_SYSFS_ROOT=" + (dir_.path() / "sys").string(),
        "LSAN_OPTIONS=suppressions=" HALVERN_LSAN_SUPPRESSIONS,
    };
    if (!systemBus_.empty()) env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + systemBus_);
    for (const char* keep : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TMPDIR"}) {
      if (const char* value = ::getenv(keep)) env.push_back(std::string(keep) + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string path = binary;
    char* argv[] = {path.data(), nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, binary, nullptr, nullptr, argv, envp.data()) != 0) return -1;
    return pid;
  }

  void Start() {
    pid_ = Spawn(HALVERN_BINARY);
    ASSERT_GT(pid_, 0);
    ASSERT_TRUE(WaitUntil([this] { return std::filesystem::exists(SocketFile()); }))
        << "Halvern made no socket";
  }

  // HalvernRun tells the running Halvern to run its checks.
  void RunChecks() {
    const pid_t run = Spawn(HALVERN_RUN_BINARY);
    ASSERT_GT(run, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(run, &status, 0), run);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  pid_t pid() const { return pid_; }
  // The system bus Halvern is started with (none by default).
  void UseSystemBus(std::string address) { systemBus_ = std::move(address); }
  // The test has reaped the process itself.
  void Forget() { pid_ = -1; }

  // Sends `signal` and returns the wait status once Halvern has ended.
  int Stop(int signal) {
    EXPECT_EQ(::kill(pid_, signal), 0);
    int status = 0;
    const bool ended = WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; });
    EXPECT_TRUE(ended) << "Halvern did not end after the signal";
    if (ended) pid_ = -1;
    return status;
  }

 private:
  TempDir dir_;
  std::filesystem::path config_;
  std::filesystem::path runtime_;
  std::filesystem::path led_;
  pid_t pid_ = -1;
  std::string systemBus_;
};

std::string SignalName(int signal) {
  return signal == SIGTERM ? "SIGTERM" : signal == SIGINT ? "SIGINT" : "SIGHUP";
}

class SessionEndTest : public ::testing::TestWithParam<int> {};

TEST_P(SessionEndTest, SignalEndsTheProgramCleanly) {
  Session session;
  session.Start();
  const int status = session.Stop(GetParam());
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal "
                                 << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(std::filesystem::exists(session.SocketFile()));
}

INSTANTIATE_TEST_SUITE_P(Signals, SessionEndTest, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& info) { return SignalName(info.param); });

TEST(SessionEnd, AlertLedLitBeforeTheSignalIsOffAfterIt) {
  Session session;
  session.StoreFailingEntry();
  session.Start();
  session.RunChecks();
  // The scheduled run retries the refused address before it alerts.
  ASSERT_TRUE(WaitUntil([&] { return session.Led() == "255"; }, 120s))
      << "no alert lit the LED; brightness " << session.Led();
  const int status = session.Stop(SIGTERM);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(session.Led(), "0");
  EXPECT_FALSE(std::filesystem::exists(session.SocketFile()));
}

// Titles of the stored log records, passed ones marked with a leading '+'.
std::vector<std::u16string> LogTitles(SettingsStore& store) {
  std::vector<std::u16string> titles;
  auto cursor = store.OpenSection(kLogSection);
  for (std::size_t i = 0; cursor; ++i) {
    const auto value = cursor->Enumerate(i);
    if (!value) break;
    const LogRecord record = ReadLogRecordBytes(value->data);
    titles.push_back((record.passed ? u"+" : u"-") + FieldText(record.title, 25));
  }
  return titles;
}

// The program ends without waiting for a check that is still waiting for a
// server that never answers (its timeouts are a minute away): it exits with
// 0 at once, its socket goes, and what the finished checks stored is intact.
TEST(SessionEnd, ACheckStillWaitingForItsServerDoesNotHoldTheEndUp) {
  HttpTestServer web;
  web.http().Get("/ok", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("hello", "text/plain");
  });
  web.Start();
  SilentServer silent;
  Session session;
  session.StoreEntry(u"Quick", web.Url16("/ok"));
  session.StoreEntry(u"Silent", silent.Url16("/"));
  session.Start();
  session.RunChecks();
  ASSERT_TRUE(WaitUntil([&] {
    auto store = session.OpenStore();
    return store && LogTitles(*store) == std::vector<std::u16string>{u"+Quick"};
  })) << "the quick check's outcome was not stored";
  ASSERT_TRUE(WaitUntil([&] { return silent.Accepted() == 1; }))
      << "the silent check did not connect";

  // Well inside the silent check's one-minute receive timeout.
  ASSERT_EQ(::kill(session.pid(), SIGTERM), 0);
  int status = 0;
  ASSERT_TRUE(
      WaitUntil([&] { return ::waitpid(session.pid(), &status, WNOHANG) == session.pid(); }, 20s))
      << "Halvern waited for its running check";
  session.Forget();
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal "
                                 << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(std::filesystem::exists(session.SocketFile()));

  auto store = session.OpenStore();
  ASSERT_TRUE(store);
  EXPECT_EQ(LogTitles(*store), std::vector<std::u16string>{u"+Quick"});
  UrlEntry quick, waiting;
  ASSERT_TRUE(LoadUrlEntry(*store, u"Quick", quick));
  EXPECT_EQ(quick.failureCount, 0);
  EXPECT_NE(quick.lastSuccessTime, 0);
  ASSERT_TRUE(LoadUrlEntry(*store, u"Silent", waiting));
  EXPECT_EQ(waiting.failureCount, 0);  // unfinished: nothing recorded
  EXPECT_EQ(waiting.lastSuccessTime, 0);
}

// A run holds a logind sleep lock while its check works; the session's end
// closes it with the program.
TEST(SessionEnd, TheSleepLockOfARunningCheckIsClosedOnSigterm) {
  QtApp();
  SystemBusStandIns standIns(kNmConnectedGlobal);
  ASSERT_TRUE(standIns.ok());
  SilentServer silent;
  Session session;
  session.UseSystemBus(standIns.address().toStdString());
  session.StoreEntry(u"Silent", silent.Url16("/"));
  session.Start();
  session.RunChecks();
  ASSERT_TRUE(WaitUntil([&] { return !standIns.login().Locks().empty(); }))
      << "Halvern asked logind for no lock";
  EXPECT_EQ(standIns.login().Locks()[0].who, QStringLiteral("Velmora Halvern"));
  EXPECT_TRUE(standIns.login().IsOpen(0));  // the check still waits for its server

  const int status = session.Stop(SIGTERM);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(standIns.login().WaitUntilClosed(0, 30s));
  EXPECT_EQ(standIns.login().Locks().size(), 1u);
}

}  // namespace
}  // namespace halvern::test
