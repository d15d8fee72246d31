#include "launcher_socket.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <array>
#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "launcher_socket_place.h"
#include "window_host.h"

namespace halvern {
namespace {

using launcher_place::FileId;
using launcher_place::PathId;
using launcher_place::SocketAddress;
using launcher_place::SocketPlace;
using launcher_place::UniqueFd;
using launcher_protocol::kSocketName;

// A client has this long after it was accepted to deliver its message and end
// the stream. A real sender writes its 20 bytes right after connecting, so this
// is generous for it, and well under the launcher's own one-second limits.
constexpr int kClientDeadlineMs = 250;
// Connections taken per wake-up of the listener, so that a flood of them
// cannot starve the rest of the event loop.
constexpr int kAcceptBatch = 64;
// When no descriptor is left for a new connection, accepting rests this long
// (clients dropped at their deadline free some) instead of spinning on a
// listener that stays readable.
constexpr int kAcceptPauseMs = 100;
// How often the place is looked at when no file watch can be had (no inotify
// instance or watch left for this user), and while something that went could
// not be made again yet: often enough that a removed socket is back within two
// seconds.
constexpr std::chrono::milliseconds kPollWithoutEvents{1000};
// What the folder watch reports: the socket or lock file removed, renamed or
// replaced by a rename, their modes changed, and the folder itself changed
// (mode, owner), removed or renamed. Creations are left out: nothing can be
// made at our names without first removing what is ours, which is reported.
constexpr std::uint32_t kFolderEvents = IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                                        IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;
// What the parent's watch reports: the folder removed, renamed or replaced by a
// rename, and the parent itself going. Other names in the parent (a busy /tmp)
// still wake the watch; they are read and dropped.
constexpr std::uint32_t kParentEvents =
    IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// How long a second instance tries to reach a first one that is still starting.
constexpr auto kReachFirstInstance = std::chrono::milliseconds(2000);

// The accepted id of a complete message, or nothing for anything else.
std::optional<std::uint32_t> DecodeMessage(const unsigned char* data, std::size_t size) {
  launcher_protocol::Message message;
  if (!launcher_protocol::DecodeMessage(data, size, message)) return std::nullopt;
  if (message.wParam != 0 || message.lParam != 0) return std::nullopt;
  if (message.id != UM_RUN_CHECK && message.id != UM_NOTIFY_ICON) return std::nullopt;
  return message.id;
}

// Tells the instance at `socket` to show its window; it may still be starting
// its listener, so this tries for a while.
void ShowFirstInstance(const std::filesystem::path& socket) {
  const auto deadline = std::chrono::steady_clock::now() + kReachFirstInstance;
  while (!SendLauncherMessage(socket, UM_NOTIFY_ICON) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

std::vector<std::filesystem::path> LauncherSocketCandidates() {
  std::vector<std::filesystem::path> out;
  // Longer than a socket address: a folder too long for one is still listed,
  // so that the error names it.
  char folder[4096];
  for (int i = 0; i < launcher_protocol::kPlaceCount; ++i) {
    if (launcher_protocol::PlaceFolder(i, folder, sizeof folder)) {
      out.push_back(std::filesystem::path(folder) / kSocketName);
    }
  }
  return out;
}

std::filesystem::path LauncherSocketPath() { return LauncherSocketCandidates().front(); }

bool SendLauncherMessage(const std::filesystem::path& path, std::uint32_t message,
                         std::uint64_t wParam, std::uint64_t lParam) {
  const auto addr = SocketAddress(path);
  if (!addr) return false;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  timeval timeout{0, 250 * 1000};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr) != 0) {
    return false;
  }
  unsigned char bytes[kLauncherMessageSize];
  launcher_protocol::EncodeMessage({message, wParam, lParam}, bytes);
  ssize_t sent;
  do {
    sent = ::send(fd.get(), bytes, sizeof bytes, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(sizeof bytes);
}

// The listening socket and its clients, served by Qt socket notifiers on the
// thread that called Listen, and the upkeep that makes the socket again when
// it goes.
class LauncherSocket::Server {
 public:
  Server(SocketPlace place, const std::vector<std::filesystem::path>& candidates,
         MessageCallback onMessage, std::chrono::milliseconds safetyCheck)
      : place_(std::move(place)), candidates_(candidates), onMessage_(std::move(onMessage)) {
    WatchListener();
    resumeAccepting_.setSingleShot(true);
    QObject::connect(&resumeAccepting_, &QTimer::timeout, &context_,
                     [this] { acceptNotifier_->setEnabled(true); });
    inotify_ = UniqueFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (inotify_) {
      changeNotifier_ = std::make_unique<QSocketNotifier>(inotify_.get(), QSocketNotifier::Read);
      QObject::connect(changeNotifier_.get(), &QSocketNotifier::activated, &context_,
                       [this] { ReadChanges(); });
    }
    // Without a file watch the safety check is all there is, so it runs as
    // often as a repair must.
    QObject::connect(&safetyCheck_, &QTimer::timeout, &context_, [this] { Repair(); });
    safetyCheck_.start(inotify_ ? safetyCheck : kPollWithoutEvents);
    retry_.setSingleShot(true);
    QObject::connect(&retry_, &QTimer::timeout, &context_, [this] { Repair(); });
    if (!Watch()) retry_.start(kPollWithoutEvents);
  }

  ~Server() {
    safetyCheck_.stop();
    retry_.stop();
    resumeAccepting_.stop();
    changeNotifier_.reset();
    for (auto& [fd, client] : clients_) {
      delete client.notifier;
      delete client.deadline;
      ::close(fd);
    }
    clients_.clear();
    RemoveOwnSocket();
  }

  bool Watching() const { return folderWatch_ >= 0 && parentWatch_ >= 0; }

  const std::filesystem::path& path() const { return place_.socket; }

 private:
  struct Client {
    QSocketNotifier* notifier = nullptr;  // owned by context_
    QTimer* deadline = nullptr;           // owned by context_
    std::array<unsigned char, kLauncherMessageSize + 1> buffer{};
    std::size_t size = 0;
  };

  void WatchListener() {
    acceptNotifier_ =
        std::make_unique<QSocketNotifier>(place_.listener.get(), QSocketNotifier::Read);
    QObject::connect(acceptNotifier_.get(), &QSocketNotifier::activated, &context_,
                     [this] { AcceptClients(); });
    // Also the first call through this notifier: later ones may come when no
    // descriptor is left, and the sanitizer builds need one to check a call.
    acceptNotifier_->setEnabled(!resumeAccepting_.isActive());
  }

  // Removes the socket file only while it is still ours: a later instance may
  // have replaced it after taking over the lock.
  void RemoveOwnSocket() {
    if (PathId(place_.socket) == place_.socketId) ::unlink(place_.socket.c_str());
  }

  void AcceptClients() {
    for (int i = 0; i < kAcceptBatch; ++i) {
      const int fd =
          ::accept4(place_.listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) {
        if (IsSameUser(fd)) {
          AddClient(fd);
        } else {
          ::close(fd);
        }
        continue;
      }
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // The connection stays queued; take it once a descriptor is free.
        acceptNotifier_->setEnabled(false);
        resumeAccepting_.start(kAcceptPauseMs);
      }
      return;  // EAGAIN: all taken; anything else: try again at the next wake-up
    }
  }

  static bool IsSameUser(int fd) {
    ucred cred{};
    socklen_t size = sizeof cred;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0 && cred.uid == ::getuid();
  }

  void AddClient(int fd) {
    Client& client = clients_[fd];
    client.notifier = new QSocketNotifier(fd, QSocketNotifier::Read, &context_);
    QObject::connect(client.notifier, &QSocketNotifier::activated, &context_,
                     [this, fd] { ReadClient(fd); });
    client.deadline = new QTimer(&context_);
    client.deadline->setSingleShot(true);
    QObject::connect(client.deadline, &QTimer::timeout, &context_, [this, fd] { DropClient(fd); });
    client.deadline->start(kClientDeadlineMs);
  }

  void ReadClient(int fd) {
    const auto it = clients_.find(fd);
    if (it == clients_.end()) return;
    Client& client = it->second;
    for (;;) {
      // One byte more than a message so that extra bytes are seen.
      const ssize_t n =
          ::recv(fd, client.buffer.data() + client.size, client.buffer.size() - client.size, 0);
      if (n > 0) {
        client.size += static_cast<std::size_t>(n);
        if (client.size > kLauncherMessageSize) return DropClient(fd);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      break;  // end of stream or error
    }
    const auto message = DecodeMessage(client.buffer.data(), client.size);
    DropClient(fd);
    if (message && onMessage_) onMessage_(*message);
  }

  // Closes a client. Its notifier and timer may be the sender of the running
  // slot, so they are disabled now and deleted later.
  void DropClient(int fd) {
    const auto it = clients_.find(fd);
    if (it == clients_.end()) return;
    it->second.notifier->setEnabled(false);
    it->second.notifier->deleteLater();
    it->second.deadline->stop();
    it->second.deadline->deleteLater();
    clients_.erase(it);
    ::close(fd);
  }

  // Reads every pending change of the watched folders and repairs the place
  // once when one of them may concern it.
  void ReadChanges() {
    alignas(inotify_event) char buffer[4096];
    bool concerned = false;
    const std::string folderName = place_.socket.parent_path().filename().string();
    for (;;) {
      const ssize_t n = ::read(inotify_.get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        concerned = concerned || Concerns(*event, folderName);
      }
    }
    if (concerned) Repair();
  }

  // Events of a watch that was replaced (its removal reports IN_IGNORED) and
  // names in the parent other than our folder's are of no concern.
  bool Concerns(const inotify_event& event, const std::string& folderName) const {
    if (event.mask & IN_Q_OVERFLOW) return true;  // events were lost
    const std::string name = event.len > 0 ? std::string(event.name) : std::string();
    if (event.wd == folderWatch_) {
      return name.empty() || name == kSocketName ||
             name == launcher_place::kLockName;
    }
    if (event.wd == parentWatch_) return name.empty() || name == folderName;
    return false;
  }

  // Makes the place whole and watches it again; while something cannot be
  // made again yet, tries once a second.
  void Repair() {
    const bool whole = CheckPlace();
    const bool watching = Watch();
    if (whole && watching) {
      retry_.stop();
    } else if (!retry_.isActive()) {
      retry_.start(kPollWithoutEvents);
    }
  }

  // Watches the socket's folder and its parent as they are now; false when no
  // watch could be had (then the safety check and the retry carry the upkeep).
  bool Watch() {
    if (!inotify_) return false;
    const std::filesystem::path folder = place_.socket.parent_path();
    folderWatch_ = Rewatch(folderWatch_, folder, kFolderEvents);
    parentWatch_ = Rewatch(parentWatch_, folder.parent_path(), kParentEvents);
    return Watching();
  }

  // A watch of the same file keeps its number; one left on a file that is no
  // longer at the path (a renamed folder) is removed.
  int Rewatch(int old, const std::filesystem::path& path, std::uint32_t events) {
    const int wd = ::inotify_add_watch(inotify_.get(), path.c_str(), events);
    if (old >= 0 && wd != old) ::inotify_rm_watch(inotify_.get(), old);
    return wd;
  }

  // Makes again whatever of the place was removed or replaced. A lock file
  // that another instance now holds is left to it: that one serves the socket
  // until it ends. False when something could not be made again now.
  bool CheckPlace() {
    const std::filesystem::path folder = place_.socket.parent_path();
    if (PathId(folder) != place_.folder || launcher_place::FolderProblem(folder)) {
      return Relocate();
    }
    if (PathId(folder / launcher_place::kLockName) != place_.lockId) {
      launcher_place::LockResult lock = launcher_place::TakeLock(folder);
      if (lock.heldElsewhere) return true;
      if (!lock.fd) return false;
      place_.lock = std::move(lock.fd);
      place_.lockId = lock.id;
    }
    if (PathId(place_.socket) != place_.socketId) {
      launcher_place::BindResult bound = launcher_place::BindListener(place_.socket);
      if (!bound.fd) return false;
      DrainListener();
      place_.listener = std::move(bound.fd);
      place_.socketId = bound.id;
      WatchListener();
    }
    return true;
  }

  // The folder went or may no longer be used: settle at the first usable
  // place again, as a newly started instance would, so that HalvernRun and a
  // second Halvern walking the same chain find this one.
  bool Relocate() {
    for (const auto& candidate : candidates_) {
      launcher_place::SettleResult settled = launcher_place::SettleAt(candidate);
      if (settled.heldElsewhere) return true;
      if (!settled.place) continue;
      DrainListener();
      place_ = std::move(*settled.place);
      WatchListener();
      return true;
    }
    return false;
  }

  // Takes the connections still queued on the listener about to be replaced.
  void DrainListener() {
    AcceptClients();
    acceptNotifier_.reset();
  }

  SocketPlace place_;
  std::vector<std::filesystem::path> candidates_;
  MessageCallback onMessage_;
  std::map<int, Client> clients_;
  // Destroyed before the descriptors above, taking every client's notifier
  // and timer and every connection made through it.
  QObject context_;
  std::unique_ptr<QSocketNotifier> acceptNotifier_;
  QTimer resumeAccepting_;
  UniqueFd inotify_;  // none when the user has no inotify instance left
  std::unique_ptr<QSocketNotifier> changeNotifier_;
  int folderWatch_ = -1;
  int parentWatch_ = -1;
  QTimer safetyCheck_;
  QTimer retry_;
};

LauncherSocket::LauncherSocket(MessageCallback onMessage)
    : onMessage_(std::move(onMessage)), candidates_(LauncherSocketCandidates()) {}

LauncherSocket::LauncherSocket(MessageCallback onMessage, std::filesystem::path path,
                               std::chrono::milliseconds safetyCheck)
    : onMessage_(std::move(onMessage)), candidates_{std::move(path)}, safetyCheck_(safetyCheck) {}

LauncherSocket::~LauncherSocket() = default;

bool LauncherSocket::WatchesForChanges() const { return server_ && server_->Watching(); }

const std::filesystem::path& LauncherSocket::path() const {
  return server_ ? server_->path() : candidates_.front();
}

LauncherSocket::ListenResult LauncherSocket::Listen() {
  if (server_) return ListenResult::kListening;
  error_.clear();
  // One instance per user wherever on the chain it settled: a place taken
  // earlier by another user may have become free since the first one started.
  // A socket that answers counts as well as a held lock: its lock file may
  // have been removed a moment ago and not be made again yet.
  for (const auto& candidate : candidates_) {
    const std::filesystem::path folder = candidate.parent_path();
    if (launcher_place::FolderProblem(folder)) continue;
    if (launcher_place::IsLockHeld(folder)) {
      ShowFirstInstance(candidate);
      return ListenResult::kOtherInstance;
    }
    if (SendLauncherMessage(candidate, UM_NOTIFY_ICON)) return ListenResult::kOtherInstance;
  }
  std::string problems;
  for (const auto& candidate : candidates_) {
    launcher_place::SettleResult settled = launcher_place::SettleAt(candidate);
    if (settled.heldElsewhere) {
      // Another instance took the lock a moment ago.
      ShowFirstInstance(candidate);
      return ListenResult::kOtherInstance;
    }
    if (settled.place) {
      server_ = std::make_unique<Server>(std::move(*settled.place), candidates_, onMessage_,
                                         safetyCheck_);
      return ListenResult::kListening;
    }
    problems += "\n" + settled.problem;
  }
  error_ =
      "Velmora Halvern could not make its launcher socket, so the launcher cannot reach it and "
      "a second Velmora Halvern cannot find this one. Places tried:" +
      problems;
  return ListenResult::kFailed;
}

}  // namespace halvern
