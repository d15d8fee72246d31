#pragma once
// The main program's end of the launcher protocol: a per-user Unix-domain stream
// socket on which HalvernRun (and a second Halvern) deliver one 20-byte message
// per connection: little-endian 32-bit id, 64-bit wParam, 64-bit lParam, then
// end of stream. Only UM_RUN_CHECK and UM_NOTIFY_ICON with both parameters 0
// are accepted; anything else (other ids, parameters, sizes, a connection that
// does not end, another user's connection) is dropped unseen.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace halvern {

inline constexpr std::size_t kLauncherMessageSize = 20;

// ${XDG_RUNTIME_DIR}/Velmora Halvern.sock when XDG_RUNTIME_DIR is an absolute
// path, else ${TMPDIR:-/tmp}/velmora-halvern-<uid>/Velmora Halvern.sock. The
// rule is the same as HalvernRun's, which keeps its own copy. Does not create or
// check the folder; see LauncherSocket::Listen.
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

  explicit LauncherSocket(MessageCallback onMessage,
                          std::filesystem::path path = LauncherSocketPath());
  ~LauncherSocket();
  LauncherSocket(const LauncherSocket&) = delete;
  LauncherSocket& operator=(const LauncherSocket&) = delete;

  // Takes the per-user instance lock (a file beside the socket). When another
  // instance holds it, sends that one UM_NOTIFY_ICON and returns kOtherInstance.
  // Otherwise replaces whatever a crashed instance left at the path and listens,
  // readable and writable by this user only. Creates the socket's folder with
  // mode 0700 when it is missing, and refuses a folder that is a link, is not
  // this user's, or is open to others (kFailed: the program then runs without
  // launcher wake-ups).
  ListenResult Listen();

  const std::filesystem::path& path() const { return path_; }
  // After kFailed: what went wrong, naming the folder or socket, for the user.
  const std::string& ErrorText() const { return error_; }

 private:
  class Server;
  MessageCallback onMessage_;
  std::filesystem::path path_;
  std::string error_;
  std::unique_ptr<Server> server_;
};

}  // namespace halvern
