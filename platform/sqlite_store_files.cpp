#include "sqlite_store_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

namespace halvern {
namespace {

constexpr char kSqliteMagic[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f',
                                   'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};

// Takes every permission of group and others from a file or folder this user
// owns; the owner's own bits stay. Another user's file is left as it is
// (changing it would fail anyway).
bool Tighten(const std::filesystem::path& path, std::string& error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return true;  // not there: nothing to guard
  const mode_t mode = st.st_mode & 07700;
  if (st.st_uid != ::geteuid() || (st.st_mode & 07777) == mode) return true;
  if (::chmod(path.c_str(), mode) == 0) return true;
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
    if (!std::filesystem::is_directory(folder, ec)) {
      error = "The settings folder " + DescribePath(folder) + " is not a folder.";
      return false;
    }
  }
  return Tighten(folder, error);
}

bool LooksLikeSqlite(const std::filesystem::path& file, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return true;
  const auto size = std::filesystem::file_size(file, ec);
  if (ec) {
    error = "Cannot read the settings store " + DescribePath(file) + ": " + ec.message();
    return false;
  }
  if (size == 0) return true;
  std::ifstream in(file, std::ios::binary);
  char head[16] = {};
  if (!in.read(head, sizeof head) || std::memcmp(head, kSqliteMagic, sizeof head) != 0) {
    error = "The settings store " + DescribePath(file) +
            " is not a SQLite database. It was left untouched; move it away to start afresh.";
    return false;
  }
  return true;
}

bool MakePrivateFiles(const std::filesystem::path& file, std::string& error) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);
  } else if (errno != EEXIST) {
    error = "Cannot create the settings store " + DescribePath(file) + ": " + std::strerror(errno);
    return false;
  }
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    if (!Tighten(SideFile(file, suffix), error)) return false;
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
