#pragma once
// Where the launcher socket lives: its folder, the instance lock beside it and
// the bound listener. Used by launcher_socket.cpp only.

#include <sys/types.h>
#include <sys/un.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

namespace halvern::launcher_place {

inline constexpr char kLockName[] = "Velmora Halvern.lock";

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  [[nodiscard]] int Release() { return std::exchange(fd_, -1); }
  void Reset();

 private:
  int fd_;
};

// Identifies one file: a path that now names another file (or none) has been
// removed or replaced.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileId&) const = default;
};

// What lies at `path`, not following a link; nothing when nothing does.
[[nodiscard]] std::optional<FileId> PathId(const std::filesystem::path& path);

// Why `folder` may not hold the socket, or nothing when it is a real folder
// (not a link) of this user that no one else may enter. Anything else would let
// another user reach the socket or put one of their own in its place.
[[nodiscard]] std::optional<std::string> FolderProblem(const std::filesystem::path& folder);

// True when another open lock file (another Halvern, or another listener of
// this process) holds the instance lock in `folder`.
[[nodiscard]] bool IsLockHeld(const std::filesystem::path& folder);

// What this program holds at one place.
struct SocketPlace {
  std::filesystem::path socket;
  FileId folder;
  UniqueFd lock;
  FileId lockId;
  UniqueFd listener;  // non-blocking
  FileId socketId;
};

struct LockResult {
  UniqueFd fd;  // set when taken
  FileId id;    // of the lock file
  bool heldElsewhere = false;
  std::string problem;  // when neither taken nor held elsewhere
};

// Opens (creating it when missing) and takes the instance lock in `folder`.
[[nodiscard]] LockResult TakeLock(const std::filesystem::path& folder);

struct BindResult {
  UniqueFd fd;  // set when listening
  FileId id;    // of the socket file
  std::string problem;
};

// Listens at `socket`, readable and writable by this user only. Whatever lies
// at the path is removed first: the caller holds the lock, so it is left over
// by an instance that is gone.
[[nodiscard]] BindResult BindListener(const std::filesystem::path& socket);

struct SettleResult {
  std::optional<SocketPlace> place;  // set when settled
  bool heldElsewhere = false;        // another instance holds the lock there
  std::string problem;               // otherwise: "<path>: <reason>"
};

// Makes the folder of `socket` (mode 0700) when missing, takes its lock and
// listens there.
[[nodiscard]] SettleResult SettleAt(const std::filesystem::path& socket);

// The socket address of `path`; nothing when it is empty or too long for one.
[[nodiscard]] std::optional<sockaddr_un> SocketAddress(const std::filesystem::path& path);

}  // namespace halvern::launcher_place
