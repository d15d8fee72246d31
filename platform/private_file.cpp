#include "private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace halvern {
namespace {

std::string CannotWrite(const std::filesystem::path& file, int error) {
  return "Cannot write \"" + file.string() + "\": " + std::strerror(error) + ".";
}

std::filesystem::path FolderOf(const std::filesystem::path& file) {
  return file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
}

// The folder's entry of a renamed file is durable only once the folder is.
void SyncFolder(const std::filesystem::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = ENOSPC;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

std::filesystem::path MakePrivateTempFile(const std::filesystem::path& file, std::string& error) {
  std::string name = (FolderOf(file) / ("." + file.filename().string() + ".XXXXXX")).string();
  // mkstemp makes the file with mode 0600 whatever the umask.
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    error = CannotWrite(file, errno);
    return {};
  }
  ::close(fd);
  return name;
}

bool CommitPrivateFile(const std::filesystem::path& temp, const std::filesystem::path& file,
                       std::string& error) {
  const int fd = ::open(temp.c_str(), O_RDWR | O_CLOEXEC);
  int failure = fd < 0 ? errno : 0;
  if (fd >= 0) {
    if (::fchmod(fd, 0600) != 0 || ::fsync(fd) != 0) failure = errno;
    if (::close(fd) != 0 && failure == 0) failure = errno;
  }
  if (failure == 0 && ::rename(temp.c_str(), file.c_str()) != 0) failure = errno;
  if (failure != 0) {
    ::unlink(temp.c_str());
    error = CannotWrite(file, failure);
    return false;
  }
  SyncFolder(FolderOf(file));
  return true;
}

bool WritePrivateFile(const std::filesystem::path& file, std::string_view bytes,
                      std::string& error) {
  const std::filesystem::path temp = MakePrivateTempFile(file, error);
  if (temp.empty()) return false;
  const int fd = ::open(temp.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0 || !WriteAll(fd, bytes)) {
    const int failure = errno;
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    error = CannotWrite(file, failure);
    return false;
  }
  if (::close(fd) != 0) {
    const int failure = errno;
    ::unlink(temp.c_str());
    error = CannotWrite(file, failure);
    return false;
  }
  return CommitPrivateFile(temp, file, error);
}

}  // namespace halvern

namespace halvern {

ReadResult ReadWholeFile(const std::filesystem::path& file, std::size_t maxBytes,
                         std::string& bytes, std::string& error) {
  bytes.clear();
  const auto cannotRead = [&](int failure) {
    error = "Cannot read \"" + file.string() + "\": " + std::strerror(failure) + ".";
    return ReadResult::kFailed;
  };
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return cannotRead(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int failure = errno;
    ::close(fd);
    return cannotRead(failure);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    if (S_ISDIR(st.st_mode)) return cannotRead(EISDIR);
    error = "Cannot read \"" + file.string() + "\": it is not a file.";
    return ReadResult::kFailed;
  }
  if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
    ::close(fd);
    return ReadResult::kTooLarge;
  }
  // One byte more than allowed tells a file that grew meanwhile.
  bytes.resize(maxBytes + 1);
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int failure = errno;
      ::close(fd);
      bytes.clear();
      return cannotRead(failure);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  bytes.resize(got);
  if (got > maxBytes) {
    bytes.clear();
    return ReadResult::kTooLarge;
  }
  return ReadResult::kRead;
}

}  // namespace halvern
