#include "launcher_socket_place.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "private_path.h"

namespace halvern::launcher_place {
namespace {

std::string ErrnoText(int error) { return ::strerror(error); }

FileId IdOf(const struct stat& st) { return {st.st_dev, st.st_ino}; }

// Makes `folder` with mode 0700 when it is missing. A missing parent is made
// too (one level, also 0700), so that a fresh account's cache folder does not
// rule out the last candidate.
std::optional<std::string> MakeFolder(const std::filesystem::path& folder) {
  if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) return std::nullopt;
  if (errno == ENOENT && ::mkdir(folder.parent_path().c_str(), 0700) == 0 &&
      (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST)) {
    return std::nullopt;
  }
  return "cannot be made (" + ErrnoText(errno) + ")";
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = other.Release();
  }
  return *this;
}

void UniqueFd::Reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::optional<FileId> PathId(const std::filesystem::path& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  return IdOf(st);
}

std::optional<std::string> FolderProblem(const std::filesystem::path& folder) {
  struct stat st;
  if (::lstat(folder.c_str(), &st) != 0) return "cannot be read (" + ErrnoText(errno) + ")";
  if (S_ISLNK(st.st_mode)) return std::string("is a link, not a folder");
  if (!S_ISDIR(st.st_mode)) return std::string("is not a folder");
  // The rule of every private place; into this one no one else may even enter.
  return PrivacyProblem(st, 077);
}

bool IsLockHeld(const std::filesystem::path& folder) {
  UniqueFd fd(::open((folder / kLockName).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
  return fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

LockResult TakeLock(const std::filesystem::path& folder) {
  const std::filesystem::path file = folder / kLockName;
  LockResult result;
  UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) {
    result.problem = file.string() + ": cannot be opened (" + ErrnoText(errno) + ")";
    return result;
  }
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    result.heldElsewhere = errno == EWOULDBLOCK;
    result.problem = file.string() + ": cannot be locked (" + ErrnoText(errno) + ")";
    return result;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    result.problem = file.string() + ": cannot be read (" + ErrnoText(errno) + ")";
    return result;
  }
  result.id = IdOf(st);
  result.fd = std::move(fd);
  return result;
}

BindResult BindListener(const std::filesystem::path& socket) {
  BindResult result;
  const auto addr = SocketAddress(socket);
  if (!addr) {
    result.problem = socket.string() + ": the path is too long for a socket";
    return result;
  }
  const auto fail = [&](const char* what) {
    result.problem = socket.string() + ": " + what + " (" + ErrnoText(errno) + ")";
    result.fd.Reset();
    return std::move(result);
  };
  struct stat st;
  if (::lstat(socket.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      return fail("cannot be replaced");
    }
    if (::unlink(socket.c_str()) != 0) return fail("cannot be replaced");
  }
  result.fd = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!result.fd) return fail("cannot be made");
  if (::bind(result.fd.get(), reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr) != 0) {
    return fail("cannot be made");
  }
  if (::chmod(socket.c_str(), 0600) != 0 || ::listen(result.fd.get(), SOMAXCONN) != 0 ||
      ::lstat(socket.c_str(), &st) != 0) {
    const int error = errno;
    ::unlink(socket.c_str());
    errno = error;
    return fail("cannot be served");
  }
  result.id = IdOf(st);
  return result;
}

SettleResult SettleAt(const std::filesystem::path& socket) {
  const std::filesystem::path folder = socket.parent_path();
  SettleResult result;
  if (!SocketAddress(socket)) {
    result.problem = socket.string() + ": the path is too long for a socket";
    return result;
  }
  if (auto problem = MakeFolder(folder)) {
    result.problem = folder.string() + ": " + *problem;
    return result;
  }
  if (auto problem = FolderProblem(folder)) {
    result.problem = folder.string() + ": " + *problem;
    return result;
  }
  const auto folderId = PathId(folder);
  LockResult lock = TakeLock(folder);
  if (!lock.fd) {
    result.heldElsewhere = lock.heldElsewhere;
    result.problem = std::move(lock.problem);
    return result;
  }
  BindResult bound = BindListener(socket);
  if (!bound.fd) {
    result.problem = std::move(bound.problem);
    return result;
  }
  result.place = SocketPlace{socket,  folderId.value_or(FileId{}), std::move(lock.fd),
                             lock.id, std::move(bound.fd),         bound.id};
  return result;
}

std::optional<sockaddr_un> SocketAddress(const std::filesystem::path& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string& text = path.native();
  if (text.empty() || text.size() >= sizeof addr.sun_path) return std::nullopt;
  memcpy(addr.sun_path, text.c_str(), text.size() + 1);
  return addr;
}

}  // namespace halvern::launcher_place
