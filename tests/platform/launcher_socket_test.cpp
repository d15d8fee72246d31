#include "launcher_socket.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "env_guard.h"
#include "qt_loop.h"
#include "temp_store.h"
#include "window_host.h"

namespace halvern {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

using test::EnvGuard;
using test::QtApp;
using test::RunFor;
using test::RunUntil;

// A client socket connected to `path`; -1 when nobody listens.
int Connect(const std::filesystem::path& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string Message(std::uint32_t id, std::uint64_t w = 0, std::uint64_t l = 0) {
  std::string bytes(20, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(id >> (8 * i));
  for (int i = 0; i < 8; ++i) bytes[4 + i] = static_cast<char>(w >> (8 * i));
  for (int i = 0; i < 8; ++i) bytes[12 + i] = static_cast<char>(l >> (8 * i));
  return bytes;
}

void SendRaw(const std::filesystem::path& path, const std::string& bytes) {
  const int fd = Connect(path);
  ASSERT_GE(fd, 0);
  if (!bytes.empty()) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  ::close(fd);
}

class LauncherSocketTest : public ::testing::Test {
 protected:
  void SetUp() override { QtApp(); }

  std::filesystem::path SocketPath() const { return dir_.path() / "Velmora Halvern.sock"; }

  // A listener on SocketPath() that records what it accepts.
  std::unique_ptr<LauncherSocket> Listener() {
    return std::make_unique<LauncherSocket>(
        [this](std::uint32_t message) { received_.push_back(message); }, SocketPath());
  }

  test::TempDir dir_;
  std::vector<std::uint32_t> received_;
};

TEST_F(LauncherSocketTest, AcceptsTheTwoMessagesWithZeroParameters) {
  auto listener = Listener();
  ASSERT_EQ(listener->Listen(), LauncherSocket::ListenResult::kListening);
  EXPECT_TRUE(SendLauncherMessage(SocketPath(), UM_RUN_CHECK));
  ASSERT_TRUE(RunUntil([&] { return received_.size() == 1; }));
  EXPECT_TRUE(SendLauncherMessage(SocketPath(), UM_NOTIFY_ICON));
  ASSERT_TRUE(RunUntil([&] { return received_.size() == 2; }));
  EXPECT_EQ(received_, (std::vector<std::uint32_t>{UM_RUN_CHECK, UM_NOTIFY_ICON}));

  struct stat st {};
  ASSERT_EQ(::stat(SocketPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(LauncherSocketTest, DropsEverythingElse) {
  auto listener = Listener();
  ASSERT_EQ(listener->Listen(), LauncherSocket::ListenResult::kListening);
  const std::string run = Message(UM_RUN_CHECK);
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"nothing", ""},
      {"check-done id (carries a pointer)", Message(UM_CHECK_DONE, 0x1234, 1)},
      {"unknown id", Message(0x0400)},
      {"id with high bits", Message(0x10000 | UM_RUN_CHECK)},
      {"wParam set", Message(UM_RUN_CHECK, 1, 0)},
      {"lParam set", Message(UM_RUN_CHECK, 0, 1)},
      {"lParam top byte set", Message(UM_NOTIFY_ICON, 0, 0xFF00000000000000ull)},
      {"one byte short", run.substr(0, 19)},
      {"one byte extra", run + std::string(1, '\0')},
      {"two messages", run + run},
      {"a 32-bit lParam layout", run.substr(0, 12)},
      {"garbage", std::string(4096, 'x')},
  };
  for (const auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    SendRaw(SocketPath(), bytes);
  }
  // A client that sends a whole message but never ends its stream is dropped
  // at its deadline and holds nobody up.
  const int hanging = Connect(SocketPath());
  ASSERT_GE(hanging, 0);
  ASSERT_EQ(::send(hanging, run.data(), run.size(), MSG_NOSIGNAL), 20);

  ASSERT_TRUE(SendLauncherMessage(SocketPath(), UM_NOTIFY_ICON));
  ASSERT_TRUE(RunUntil([&] { return !received_.empty(); }));
  RunFor(2500ms);  // past the hanging client's deadline
  ::close(hanging);
  RunFor(200ms);
  EXPECT_EQ(received_, (std::vector<std::uint32_t>{UM_NOTIFY_ICON}));
}

TEST_F(LauncherSocketTest, ReplacesAStaleSocketAndRemovesItsOwnAtTheEnd) {
  // A crashed instance leaves its socket file behind, with nobody listening.
  {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, SocketPath().c_str(), sizeof addr.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    ::close(fd);
  }
  ASSERT_TRUE(std::filesystem::exists(SocketPath()));
  EXPECT_FALSE(SendLauncherMessage(SocketPath(), UM_RUN_CHECK));

  auto listener = Listener();
  ASSERT_EQ(listener->Listen(), LauncherSocket::ListenResult::kListening);
  ASSERT_TRUE(SendLauncherMessage(SocketPath(), UM_RUN_CHECK));
  ASSERT_TRUE(RunUntil([&] { return received_.size() == 1; }));

  listener.reset();
  EXPECT_FALSE(std::filesystem::exists(SocketPath()));
}

TEST_F(LauncherSocketTest, SecondInstanceShowsTheFirstAndDoesNotListen) {
  auto first = Listener();
  ASSERT_EQ(first->Listen(), LauncherSocket::ListenResult::kListening);

  std::vector<std::uint32_t> secondReceived;
  LauncherSocket second([&](std::uint32_t m) { secondReceived.push_back(m); }, SocketPath());
  EXPECT_EQ(second.Listen(), LauncherSocket::ListenResult::kOtherInstance);
  ASSERT_TRUE(RunUntil([&] { return received_.size() == 1; }));
  EXPECT_EQ(received_.front(), UM_NOTIFY_ICON);

  // The first still serves the socket.
  ASSERT_TRUE(SendLauncherMessage(SocketPath(), UM_RUN_CHECK));
  ASSERT_TRUE(RunUntil([&] { return received_.size() == 2; }));
  EXPECT_TRUE(secondReceived.empty());

  // Once the first is gone, a new instance takes over.
  first.reset();
  LauncherSocket third([&](std::uint32_t m) { secondReceived.push_back(m); }, SocketPath());
  ASSERT_EQ(third.Listen(), LauncherSocket::ListenResult::kListening);
  ASSERT_TRUE(SendLauncherMessage(SocketPath(), UM_RUN_CHECK));
  ASSERT_TRUE(RunUntil([&] { return secondReceived.size() == 1; }));
}

TEST_F(LauncherSocketTest, MakesAPrivateFolderAndRefusesAnOpenOne) {
  const auto made = dir_.path() / "velmora-halvern-test" / "Velmora Halvern.sock";
  LauncherSocket inNewFolder([](std::uint32_t) {}, made);
  ASSERT_EQ(inNewFolder.Listen(), LauncherSocket::ListenResult::kListening);
  struct stat st {};
  ASSERT_EQ(::stat(made.parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // A folder that others may write into could have the socket swapped.
  const auto open = dir_.path() / "open";
  std::filesystem::create_directory(open);
  ::chmod(open.c_str(), 0777);
  LauncherSocket inOpenFolder([](std::uint32_t) {}, open / "Velmora Halvern.sock");
  EXPECT_EQ(inOpenFolder.Listen(), LauncherSocket::ListenResult::kFailed);

  // A link in place of the folder is refused too.
  const auto link = dir_.path() / "link";
  std::filesystem::create_directory_symlink(made.parent_path(), link);
  LauncherSocket throughLink([](std::uint32_t) {}, link / "Velmora Halvern.sock");
  EXPECT_EQ(throughLink.Listen(), LauncherSocket::ListenResult::kFailed);

  // A path longer than a socket address can hold.
  LauncherSocket tooLong([](std::uint32_t) {}, dir_.path() / std::string(120, 'x') / "s.sock");
  EXPECT_EQ(tooLong.Listen(), LauncherSocket::ListenResult::kFailed);
}

// The place is repaired through the folder watch alone: the safety check is
// set a day away, so only the change events can bring the socket back.
TEST_F(LauncherSocketTest, MakesTheSocketAgainWhenItsFilesGoAndStaysTheOneInstance) {
  constexpr auto kSafetyCheckFarAway = std::chrono::hours(24);
  const auto folder = dir_.path() / "place";
  const auto socket = folder / "Velmora Halvern.sock";
  const auto lock = folder / "Velmora Halvern.lock";
  struct Case {
    const char* what;
    std::function<void()> damage;
  };
  const std::vector<Case> cases = {
      {"socket removed", [&] { std::filesystem::remove(socket); }},
      {"socket replaced by a plain file",
       [&] {
         std::filesystem::remove(socket);
         std::ofstream(socket) << "x";
       }},
      {"lock file removed", [&] { std::filesystem::remove(lock); }},
      {"socket renamed away", [&] { std::filesystem::rename(socket, dir_.path() / "moved.sock"); }},
      {"lock file replaced by a rename",
       [&] {
         std::ofstream(dir_.path() / "other.lock") << "x";
         std::filesystem::rename(dir_.path() / "other.lock", lock);
       }},
      {"folder removed", [&] { std::filesystem::remove_all(folder); }},
      {"folder renamed away",
       [&] {
         std::filesystem::remove_all(dir_.path() / "moved");
         std::filesystem::rename(folder, dir_.path() / "moved");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint32_t> received;
    LauncherSocket first([&](std::uint32_t m) { received.push_back(m); }, socket,
                         kSafetyCheckFarAway);
    ASSERT_EQ(first.Listen(), LauncherSocket::ListenResult::kListening);
    ASSERT_TRUE(first.WatchesForChanges());
    c.damage();

    ASSERT_TRUE(RunUntil([&] { return SendLauncherMessage(socket, UM_RUN_CHECK); }));
    ASSERT_TRUE(RunUntil([&] { return received.size() == 1; }));
    struct stat st {};
    ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::lstat(socket.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // The instance lock was made again with the socket: a second Halvern
    // still finds the first.
    LauncherSocket second([](std::uint32_t) {}, socket);
    EXPECT_EQ(second.Listen(), LauncherSocket::ListenResult::kOtherInstance);
    ASSERT_TRUE(RunUntil([&] { return received.size() == 2; }));
    EXPECT_EQ(received.back(), UM_NOTIFY_ICON);
  }
}

TEST(LauncherSocketPathTest, ChainsTheRuntimeFolderATemporaryFolderAndTheCacheFolder) {
  EnvGuard runtime("XDG_RUNTIME_DIR");
  EnvGuard tmp("TMPDIR");
  EnvGuard cache("XDG_CACHE_HOME");
  EnvGuard home("HOME");
  const std::string user = "velmora-halvern-" + std::to_string(::getuid());
  const std::string name = "/Velmora Halvern.sock";
  struct Case {
    const char* runtime;
    const char* tmp;
    const char* cache;
    const char* home;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"/run/user/1000",
       "/var/tmp",
       "/c",
       "/h",
       {"/run/user/1000" + name, "/var/tmp/" + user + name, "/c/velmora-halvern" + name}},
      {"/run/user/1000",
       nullptr,
       nullptr,
       "/home/u",
       {"/run/user/1000" + name, "/tmp/" + user + name, "/home/u/.cache/velmora-halvern" + name}},
      {nullptr, nullptr, nullptr, nullptr, {"/tmp/" + user + name}},
      {"", "/var/tmp", "", "/h", {"/var/tmp/" + user + name, "/h/.cache/velmora-halvern" + name}},
      {"relative/dir", "", "relative", "also/relative", {"/tmp/" + user + name}},
      {nullptr,
       "not/absolute",
       nullptr,
       "/h",
       {"/tmp/" + user + name, "/h/.cache/velmora-halvern" + name}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.runtime ? c.runtime : "(unset)") + " " +
                 (c.tmp ? c.tmp : "(unset)") + " " + (c.cache ? c.cache : "(unset)") + " " +
                 (c.home ? c.home : "(unset)"));
    runtime.Set(c.runtime);
    tmp.Set(c.tmp);
    cache.Set(c.cache);
    home.Set(c.home);
    std::vector<std::string> got;
    for (const auto& path : LauncherSocketCandidates()) got.push_back(path.string());
    EXPECT_EQ(got, c.expected);
    EXPECT_EQ(LauncherSocketPath().string(), c.expected.front());
  }
}

// The chain set up in a temporary folder: no runtime folder, and the
// temporary and cache folders under the test's own folder.
class LauncherSocketChainTest : public LauncherSocketTest {
 protected:
  std::filesystem::path TempFolder() const {
    return dir_.path() / "tmp" / ("velmora-halvern-" + std::to_string(::getuid()));
  }
  std::filesystem::path CacheFolder() const { return dir_.path() / "cache" / "velmora-halvern"; }

  // A listener on the default chain, reading the environment set up here.
  std::unique_ptr<LauncherSocket> ChainListener(std::vector<std::uint32_t>& received) {
    std::filesystem::create_directories(dir_.path() / "tmp");
    EnvGuard runtime("XDG_RUNTIME_DIR", nullptr);
    EnvGuard tmp("TMPDIR", (dir_.path() / "tmp").c_str());
    EnvGuard cache("XDG_CACHE_HOME", (dir_.path() / "cache").c_str());
    return std::make_unique<LauncherSocket>(
        [&received](std::uint32_t m) { received.push_back(m); });
  }

  // Makes `folder` as a private folder of another user.
  static void TakeForOtherUser(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0) << "the tests run as root";
  }
};

TEST_F(LauncherSocketChainTest, FailsWithAReasonForEachPlaceWhenNoneCanBeUsed) {
  TakeForOtherUser(TempFolder());
  std::filesystem::create_directories(CacheFolder().parent_path());
  std::filesystem::create_directory_symlink(dir_.path(), CacheFolder());

  std::vector<std::uint32_t> received;
  auto listener = ChainListener(received);
  ASSERT_EQ(listener->Listen(), LauncherSocket::ListenResult::kFailed);
  const std::string& text = listener->ErrorText();
  EXPECT_NE(text.find(TempFolder().string() + ": belongs to another user"), std::string::npos)
      << text;
  EXPECT_NE(text.find(CacheFolder().string() + ": is a link"), std::string::npos) << text;
}

TEST_F(LauncherSocketChainTest, ASecondInstanceFindsTheFirstAtAFallbackWhenAnEarlierPlaceFreesUp) {
  TakeForOtherUser(TempFolder());
  std::vector<std::uint32_t> received;
  auto first = ChainListener(received);
  ASSERT_EQ(first->Listen(), LauncherSocket::ListenResult::kListening);
  EXPECT_EQ(first->path(), CacheFolder() / "Velmora Halvern.sock");

  // The other user gives the temporary folder up; a second Halvern could now
  // settle there, but must find the first instead.
  std::filesystem::remove_all(TempFolder());
  std::vector<std::uint32_t> secondReceived;
  auto second = ChainListener(secondReceived);
  EXPECT_EQ(second->Listen(), LauncherSocket::ListenResult::kOtherInstance);
  ASSERT_TRUE(RunUntil([&] { return !received.empty(); }));
  EXPECT_EQ(received, (std::vector<std::uint32_t>{UM_NOTIFY_ICON}));
  EXPECT_FALSE(std::filesystem::exists(TempFolder()));
}

}  // namespace
}  // namespace halvern
