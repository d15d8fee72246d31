#include "alarm_helper_client.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "clean_spawn.h"

extern char** environ;

namespace halvern {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// How long a helper that was told to end may take before it is killed.
constexpr auto kEndBound = 2s;
// How long a full socket may keep a line out before the helper counts as stuck.
constexpr int kSendBoundMs = 1000;

bool IsProgram(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

// Starts `binary` with `socket` as its standard input and no other descriptor
// of this process but standard output and error.
pid_t SpawnHelper(const std::filesystem::path& binary, const std::filesystem::path& folder,
                  int socket) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, socket, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  const pid_t pid = SpawnClean(binary, {folder.string(), std::to_string(::getpid())}, &actions);
  posix_spawn_file_actions_destroy(&actions);
  return pid > 0 ? pid : -1;
}

bool WaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, timeoutMs);
  } while (rc < 0 && errno == EINTR);
  return rc > 0;
}

}  // namespace

std::filesystem::path AlarmHelperClient::Find(const std::filesystem::path& programFolder) {
  for (const auto& candidate : {programFolder / ".." / "libexec" / "halvern" / "HalvernAlarm",
                                programFolder / "HalvernAlarm"}) {
    if (IsProgram(candidate)) return candidate.lexically_normal();
  }
  return {};
}

std::unique_ptr<AlarmHelperClient> AlarmHelperClient::Start(
    const std::filesystem::path& programFolder, std::chrono::milliseconds timeout) {
  const std::filesystem::path binary = Find(programFolder);
  if (binary.empty()) return nullptr;
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return nullptr;
  const pid_t pid = SpawnHelper(binary, programFolder, pair[1]);
  ::close(pair[1]);
  if (pid < 0) {
    ::close(pair[0]);
    return nullptr;
  }
  // Only this end is non-blocking; the helper's end keeps its own flags.
  ::fcntl(pair[0], F_SETFL, ::fcntl(pair[0], F_GETFL) | O_NONBLOCK);
  std::unique_ptr<AlarmHelperClient> client(new AlarmHelperClient(pair[0], pid));
  if (!client->AwaitGreeting(timeout) || !client->SendEnvironment()) return nullptr;
  return client;
}

AlarmHelperClient::~AlarmHelperClient() {
  ::close(fd_);
  const auto deadline = SteadyClock::now() + kEndBound;
  for (;;) {
    const pid_t rc = ::waitpid(pid_, nullptr, WNOHANG);
    if (rc == pid_ || (rc < 0 && errno != EINTR)) return;
    if (SteadyClock::now() >= deadline) break;
    std::this_thread::sleep_for(5ms);
  }
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

bool AlarmHelperClient::AwaitGreeting(std::chrono::milliseconds timeout) {
  const auto deadline = SteadyClock::now() + timeout;
  for (;;) {
    const std::size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      const auto holdsAlarm = alarm::ParseGreeting(std::string_view(pending_).substr(0, end));
      pending_.erase(0, end + 1);
      return holdsAlarm.value_or(false);
    }
    if (pending_.size() > alarm::kMaxLine) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    if (left.count() <= 0 || !WaitReadable(fd_, static_cast<int>(left.count()))) return false;
    char chunk[512];
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return false;
    if (n > 0) pending_.append(chunk, static_cast<std::size_t>(n));
  }
}

bool AlarmHelperClient::SendEnvironment() {
  std::size_t sent = 0;
  for (char** entry = environ; *entry != nullptr && sent < alarm::kMaxEnv; ++entry) {
    const std::string_view text(*entry);
    if (text.empty() || text.front() == '=' || text.find('=') == std::string_view::npos) continue;
    const std::string line = alarm::FormatEnv(text);
    // A variable too long for one line is left out rather than refused.
    if (line.size() > alarm::kMaxLine) continue;
    if (!Send(line)) return false;
    ++sent;
  }
  return true;
}

bool AlarmHelperClient::Send(const std::string& line) {
  std::string_view rest(line);
  while (!rest.empty()) {
    const ssize_t n = ::send(fd_, rest.data(), rest.size(), MSG_NOSIGNAL);
    if (n > 0) {
      rest.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, kSendBoundMs) > 0 && !(p.revents & (POLLERR | POLLHUP))) continue;
    }
    ::shutdown(fd_, SHUT_RDWR);
    return false;
  }
  return true;
}

AlarmHelperClient::ReadResult AlarmHelperClient::Read() {
  ReadResult result;
  for (;;) {
    char chunk[4096];
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n > 0) {
      pending_.append(chunk, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // End of file or an error: the helper is gone. What it sent before
    // still counts.
    result.gone = !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
    break;
  }
  std::size_t start = 0;
  for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
    auto reply = alarm::ParseReply(std::string_view(pending_).substr(start, end - start));
    if (!reply || reply->kind != alarm::Reply::Kind::kFired) {
      result.gone = true;
      break;
    }
    result.replies.push_back(std::move(*reply));
  }
  pending_.erase(0, start);
  if (pending_.size() > alarm::kMaxLine) result.gone = true;
  return result;
}

}  // namespace halvern
