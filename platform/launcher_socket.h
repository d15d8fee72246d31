#pragma once
// The main program's end of the launcher protocol: a per-user Unix-domain stream
// socket on which HalvernRun (and a second Halvern) deliver one 20-byte message
// per connection: little-endian 32-bit id, 64-bit wParam, 64-bit lParam, then
// end of stream. Only UM_RUN_CHECK and UM_NOTIFY_ICON with both parameters 0
// are accepted; anything else (other ids, parameters, sizes, a connection that
// does not end, another user's connection) is dropped unseen.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "launcher_protocol.h"

namespace halvern {

inline constexpr std::size_t kLauncherMessageSize = launcher_protocol::kMessageSize;
// How often a listening socket's place is looked at beside the file watch, for
// what a watch cannot report (a folder on a file system without events).
inline constexpr std::chrono::milliseconds kLauncherSafetyCheck = std::chrono::minutes(5);

// The places the socket may lie, in the order both programs try them:
//   1. ${XDG_RUNTIME_DIR}/Velmora Halvern.sock, when XDG_RUNTIME_DIR is absolute;
//   2. ${TMPDIR:-/tmp}/velmora-halvern-<uid>/Velmora Halvern.sock (TMPDIR only
//      when absolute);
//   3. ${XDG_CACHE_HOME:-$HOME/.cache}/velmora-halvern/Velmora Halvern.sock
//      (each variable only when absolute), in the user's home, where no other
//      user can take the folder first.
// A place counts only while its folder is a real folder (not a link) of this
// user that no one else may enter; that is what keeps another user from
// planting a socket of their own. The chain is launcher_protocol::PlaceFolder,
// which HalvernRun walks too, sending to the first place whose socket answers.
// Reads the environment; checks and creates nothing.
std::vector<std::filesystem::path> LauncherSocketCandidates();

// The first candidate: where the socket lies unless that folder is unusable.
std::filesystem::path LauncherSocketPath();

// Sends one message to the socket at `path`; false when nobody listens there or
// the message could not be written whole. Never blocks long.
bool SendLauncherMessage(const std::filesystem::path& path, std::uint32_t message,
                         std::uint64_t wParam = 0, std::uint64_t lParam = 0);

class LauncherSocket {
 public:
  // Called on the thread that called Listen (it needs a Qt event loop) with the
  // id of each accepted message.
  using MessageCallback = std::function<void(std::uint32_t message)>;

  enum class ListenResult {
    kListening,      // this program now serves the socket
    kOtherInstance,  // another Halvern of this user runs; it was told to show its window
    kFailed,         // no usable folder, or the socket could not be made
  };

  // Serves the first usable place of LauncherSocketCandidates(), read now.
  explicit LauncherSocket(MessageCallback onMessage);
  // Serves `path` only (tests and benchmarks choose their own place), with the
  // safety check at `safetyCheck`.
  LauncherSocket(MessageCallback onMessage, std::filesystem::path path,
                 std::chrono::milliseconds safetyCheck = kLauncherSafetyCheck);
  ~LauncherSocket();
  LauncherSocket(const LauncherSocket&) = delete;
  LauncherSocket& operator=(const LauncherSocket&) = delete;

  // When another instance holds the instance lock (a file beside the socket)
  // or answers on the socket at any of the places, sends that one
  // UM_NOTIFY_ICON and returns kOtherInstance. Otherwise settles at the first place whose folder is
  // usable (making it with mode 0700 when missing): takes the lock there, replaces whatever a
  // crashed instance left at the path and listens, readable and writable by this user only. kFailed
  // only when no place can be used; ErrorText() then says why for each.
  //
  // While listening, the socket's folder and its parent are watched (inotify):
  // a socket or lock file that was removed or replaced is made again at once,
  // and a folder that went (or stopped being private) is made again or left
  // for the next place. Between changes nothing runs but a safety check every
  // few minutes; without a watch (no inotify instance or watch left for this
  // user) the place is looked at every second instead. A client has a short
  // deadline to deliver its message; any number may wait at once.
  [[nodiscard]] ListenResult Listen();

  // The socket served; before Listen (or after kFailed), the first place.
  const std::filesystem::path& path() const;
  // After kFailed: what went wrong, naming each folder or socket tried, for
  // the user.
  const std::string& ErrorText() const { return error_; }
  // True while listening with a watch on the socket's folder and its parent.
  bool WatchesForChanges() const;

 private:
  class Server;
  MessageCallback onMessage_;
  std::vector<std::filesystem::path> candidates_;  // never empty
  std::chrono::milliseconds safetyCheck_ = kLauncherSafetyCheck;
  std::string error_;
  std::unique_ptr<Server> server_;
};

}  // namespace halvern
