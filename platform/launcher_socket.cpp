#include "launcher_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <array>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "window_host.h"

namespace halvern {
namespace {

constexpr char kSocketName[] = "Velmora Halvern.sock";
constexpr char kLockName[] = "Velmora Halvern.lock";
// A client has this long to deliver its message and end the stream.
constexpr int kClientDeadlineMs = 2000;
// Connections served at once; more are closed unread.
constexpr std::size_t kMaxClients = 32;
// How long a second instance tries to reach a first one that is still starting.
constexpr auto kReachFirstInstance = std::chrono::milliseconds(2000);

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.Release();
    }
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

std::optional<sockaddr_un> SocketAddress(const std::filesystem::path& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string& text = path.native();
  if (text.empty() || text.size() >= sizeof addr.sun_path) return std::nullopt;
  memcpy(addr.sun_path, text.c_str(), text.size() + 1);
  return addr;
}

std::array<unsigned char, kLauncherMessageSize> EncodeMessage(std::uint32_t id, std::uint64_t w,
                                                              std::uint64_t l) {
  std::array<unsigned char, kLauncherMessageSize> out{};
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(id >> (8 * i));
  for (int i = 0; i < 8; ++i) out[4 + i] = static_cast<unsigned char>(w >> (8 * i));
  for (int i = 0; i < 8; ++i) out[12 + i] = static_cast<unsigned char>(l >> (8 * i));
  return out;
}

// The accepted id of a complete message, or nothing for anything else.
std::optional<std::uint32_t> DecodeMessage(const unsigned char* data, std::size_t size) {
  if (size != kLauncherMessageSize) return std::nullopt;
  std::uint32_t id = 0;
  for (int i = 0; i < 4; ++i) id |= std::uint32_t{data[i]} << (8 * i);
  for (std::size_t i = 4; i < kLauncherMessageSize; ++i) {
    if (data[i] != 0) return std::nullopt;
  }
  if (id != UM_RUN_CHECK && id != UM_NOTIFY_ICON) return std::nullopt;
  return id;
}

// The folder must be a real folder (not a link) of this user that nobody else
// may enter, or another user could reach or swap the socket.
bool IsPrivateFolder(const std::filesystem::path& folder) {
  struct stat st;
  return ::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
         (st.st_mode & 077) == 0;
}

bool PrepareFolder(const std::filesystem::path& folder) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  return IsPrivateFolder(folder);
}

}  // namespace

std::filesystem::path LauncherSocketPath() {
  const char* runtime = ::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::filesystem::path(runtime) / kSocketName;
  const char* tmp = ::getenv("TMPDIR");
  if (tmp == nullptr || tmp[0] != '/') tmp = "/tmp";
  const std::string folder = "velmora-halvern-" + std::to_string(::getuid());
  return std::filesystem::path(tmp) / folder / kSocketName;
}

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
  const auto bytes = EncodeMessage(message, wParam, lParam);
  ssize_t sent;
  do {
    sent = ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(bytes.size());
}

// The listening socket and its clients, served by Qt socket notifiers on the
// thread that called Listen.
class LauncherSocket::Server {
 public:
  Server(UniqueFd lock, UniqueFd listener, std::filesystem::path path, MessageCallback onMessage)
      : lock_(std::move(lock)),
        listener_(std::move(listener)),
        path_(std::move(path)),
        onMessage_(std::move(onMessage)) {
    struct stat st;
    if (::stat(path_.c_str(), &st) == 0) socketId_ = {st.st_dev, st.st_ino};
    acceptNotifier_ = new QSocketNotifier(listener_.get(), QSocketNotifier::Read, &context_);
    QObject::connect(acceptNotifier_, &QSocketNotifier::activated, &context_,
                     [this] { AcceptClients(); });
  }

  ~Server() {
    for (auto& [fd, client] : clients_) {
      delete client.notifier;
      delete client.deadline;
      ::close(fd);
    }
    clients_.clear();
    // Remove the socket only while it is still ours: a later instance may have
    // replaced it after taking over the lock.
    struct stat st;
    if (::stat(path_.c_str(), &st) == 0 && std::pair{st.st_dev, st.st_ino} == socketId_) {
      ::unlink(path_.c_str());
    }
  }

 private:
  struct Client {
    QSocketNotifier* notifier = nullptr;  // owned by context_
    QTimer* deadline = nullptr;           // owned by context_
    std::array<unsigned char, kLauncherMessageSize + 1> buffer{};
    std::size_t size = 0;
  };

  void AcceptClients() {
    for (;;) {
      const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR) continue;
        return;  // EAGAIN: all taken; anything else: try again at the next wake-up
      }
      if (!IsSameUser(fd) || clients_.size() >= kMaxClients) {
        ::close(fd);
        continue;
      }
      AddClient(fd);
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

  UniqueFd lock_;
  UniqueFd listener_;
  std::filesystem::path path_;
  MessageCallback onMessage_;
  std::pair<dev_t, ino_t> socketId_{};
  std::map<int, Client> clients_;
  // Destroyed before the descriptors above, taking every notifier and timer.
  QObject context_;
  QSocketNotifier* acceptNotifier_ = nullptr;
};

LauncherSocket::LauncherSocket(MessageCallback onMessage, std::filesystem::path path)
    : onMessage_(std::move(onMessage)), path_(std::move(path)) {}

LauncherSocket::~LauncherSocket() = default;

LauncherSocket::ListenResult LauncherSocket::Listen() {
  if (server_) return ListenResult::kListening;
  const auto addr = SocketAddress(path_);
  const std::filesystem::path folder = path_.parent_path();
  if (!addr || !PrepareFolder(folder)) return ListenResult::kFailed;

  UniqueFd lock(
      ::open((folder / kLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!lock) return ListenResult::kFailed;
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) return ListenResult::kFailed;
    // Another instance holds the lock; it may still be starting its listener.
    const auto deadline = std::chrono::steady_clock::now() + kReachFirstInstance;
    while (!SendLauncherMessage(path_, UM_NOTIFY_ICON) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ListenResult::kOtherInstance;
  }

  // We hold the lock, so whatever lies at the path is left by an instance that
  // is gone.
  struct stat st;
  if (::lstat(path_.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode) || ::unlink(path_.c_str()) != 0) return ListenResult::kFailed;
  }
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listener) return ListenResult::kFailed;
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr) != 0) {
    return ListenResult::kFailed;
  }
  if (::chmod(path_.c_str(), 0600) != 0 || ::listen(listener.get(), 64) != 0) {
    ::unlink(path_.c_str());
    return ListenResult::kFailed;
  }
  server_ = std::make_unique<Server>(std::move(lock), std::move(listener), path_, onMessage_);
  return ListenResult::kListening;
}

}  // namespace halvern
