#include "sqlite_store_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include "private_path.h"

namespace halvern {
namespace {

constexpr char kSqliteMagic[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f',
                                   'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};

class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Opens a file of the store for reading as it is: never through a link, and
// never waiting on a FIFO put in its place. Only for a file no connection of
// this process has open: closing it drops every POSIX lock the process holds on
// the file, SQLite's included.
int OpenAsIs(const std::filesystem::path& path) {
  return ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

// A handle on the file itself, for its status and mode. A link is opened as
// the link (and refused as no regular file). Closing an O_PATH descriptor
// leaves the process's locks alone, so this is safe while SQLite holds the
// database, its log and its index open.
int OpenHandle(const std::filesystem::path& path) {
  return ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
}

// fchmod() refuses O_PATH descriptors; the descriptor's entry in /proc names
// the same file.
int ChangeMode(int fd, mode_t mode) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::chmod(self.c_str(), mode);
}

std::string Refusal(const std::filesystem::path& path, const std::string& why) {
  return "The settings store file " + DescribePath(path) + " " + why +
         ". Halvern does not use it; remove it or move it away.";
}

// Makes the file at `path`, when there is one, private after checking it: a
// regular file of this user, no link, without any permission of group and
// others. The mode changes on the open descriptor, so that a link put at the
// path meanwhile cannot turn the change to another file.
bool MakeFilePrivate(const std::filesystem::path& path, std::string& error) {
  const ScopedFd fd(OpenHandle(path));
  struct stat st {};
  if (fd.get() < 0) {
    if (errno == ENOENT) return true;
    const int openError = errno;
    if (::lstat(path.c_str(), &st) == 0) {
      if (auto problem = PrivacyProblem(st, 0)) {
        error = Refusal(path, *problem);
        return false;
      }
    }
    error = "Cannot open the settings store file " + DescribePath(path) + ": " +
            std::strerror(openError);
    return false;
  }
  if (::fstat(fd.get(), &st) != 0) {
    error =
        "Cannot read the settings store file " + DescribePath(path) + ": " + std::strerror(errno);
    return false;
  }
  if (auto problem = PrivacyProblem(st, 0)) {
    error = Refusal(path, *problem);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = Refusal(path, "is not a regular file");
    return false;
  }
  if ((st.st_mode & 077) == 0 || ChangeMode(fd.get(), st.st_mode & 07700) == 0) return true;
  error = "Cannot make " + DescribePath(path) + " private: " + std::strerror(errno);
  return false;
}

}  // namespace

std::string DescribePath(const std::filesystem::path& file) { return "\"" + file.string() + "\""; }

bool MakePrivateFolder(const std::filesystem::path& folder, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) {
    // Parents get the usual permissions; the store's own folder is private.
    if (folder.has_parent_path()) std::filesystem::create_directories(folder.parent_path(), ec);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      error =
          "Cannot create the settings folder " + DescribePath(folder) + ": " + std::strerror(errno);
      return false;
    }
  }
  // A link to a folder is the user's own arrangement and is followed; the
  // folder it leads to is judged instead.
  struct stat entry {};
  const bool linked = ::lstat(folder.c_str(), &entry) == 0 && S_ISLNK(entry.st_mode);
  const ScopedFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
    error = errno == ENOTDIR ? "The settings folder " + DescribePath(folder) + " is not a folder."
                             : "Cannot open the settings folder " + DescribePath(folder) + ": " +
                                   std::strerror(errno);
    return false;
  }
  // A real folder of this user loses every permission of group and others; the
  // modes of a folder behind a link stay the user's choice, short of letting
  // others write there.
  if (!linked && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0) {
    if (::fchmod(fd.get(), st.st_mode & 07700) != 0) {
      error = "Cannot make " + DescribePath(folder) + " private: " + std::strerror(errno);
      return false;
    }
    st.st_mode &= ~mode_t{077};
  }
  if (auto problem = PrivacyProblem(st, 022)) {
    error = "The settings folder " + DescribePath(folder) + " " + *problem +
            ". Halvern keeps its settings only in a folder that no one else can change.";
    return false;
  }
  return true;
}

bool LooksLikeSqlite(const std::filesystem::path& file, std::string& error) {
  const ScopedFd fd(OpenAsIs(file));
  if (fd.get() < 0 && errno == ENOENT) return true;
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
    error = "Cannot read the settings store " + DescribePath(file) + ": " + std::strerror(errno);
    return false;
  }
  if (st.st_size == 0) return true;
  char head[16] = {};
  std::size_t got = 0;
  while (got < sizeof head) {
    const ssize_t n = ::pread(fd.get(), head + got, sizeof head - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got != sizeof head || std::memcmp(head, kSqliteMagic, sizeof head) != 0) {
    error = "The settings store " + DescribePath(file) +
            " is not a SQLite database. It was left untouched; move it away to start afresh.";
    return false;
  }
  return true;
}

bool MakePrivateFiles(const std::filesystem::path& file, std::string& error) {
  // O_EXCL never follows a link, nor does O_NOFOLLOW.
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);
  } else if (errno != EEXIST) {
    error = "Cannot create the settings store " + DescribePath(file) + ": " + std::strerror(errno);
    return false;
  }
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    if (!MakeFilePrivate(SideFile(file, suffix), error)) return false;
  }
  return true;
}

std::filesystem::path SideFile(const std::filesystem::path& file, const char* suffix) {
  return std::filesystem::path(file.string() + suffix);
}

std::optional<FileId> IdOf(const std::filesystem::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return std::nullopt;
  return FileId{st.st_dev, st.st_ino};
}

}  // namespace halvern
