// HalvernRun: the wake-up launcher. Started by Halvern's timed-run service, it
// tells the running Halvern of this user to start a check run and exits.
//
// Protocol: one connection to the per-user socket, one 20-byte little-endian
// message (32-bit id UM_RUN_CHECK, 64-bit wParam 0, 64-bit lParam 0), then the
// connection is closed. The command line is ignored and the exit code is always
// 0, also when no Halvern listens. Plain POSIX on purpose: no Qt, no C++ runtime
// work, so that the program starts and ends in a few milliseconds.
//
// The socket may lie in one of these folders, tried in this order (the same
// chain as Halvern's LauncherSocketCandidates in platform/launcher_socket.h,
// kept here as a copy because the two programs share no code):
//   1. ${XDG_RUNTIME_DIR}, when it is an absolute path;
//   2. ${TMPDIR:-/tmp}/velmora-halvern-<uid> (TMPDIR only when absolute);
//   3. ${XDG_CACHE_HOME:-$HOME/.cache}/velmora-halvern (each only when absolute).
// A folder counts only when it is a real folder (not a link) of this user that
// no one else may enter, so another user can never plant a socket that takes
// the message. Halvern settles at the first such folder it can use; a place
// before it may have become free since, so the launcher goes on down the chain
// while a place has no listener, and stops at the first socket that answers.
// The launcher tests check that both programs meet under every rule.

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr uint32_t kRunCheck = 0x0465;
constexpr char kSocketName[] = "Velmora Halvern.sock";
constexpr int kCandidateCount = 3;
// How long connect or send may block when Halvern is busy or stuck. Halvern
// takes connections at once and gives each a quarter of a second to deliver.
constexpr time_t kSendTimeoutS = 1;

const char* AbsoluteEnv(const char* name) {
  const char* value = getenv(name);
  return value != nullptr && value[0] == '/' ? value : nullptr;
}

// Writes the folder of candidate `index` into `out`; false when the
// environment gives no such candidate or it does not fit.
bool CandidateFolder(int index, char* out, size_t size) {
  int n = -1;
  if (index == 0) {
    const char* runtime = AbsoluteEnv("XDG_RUNTIME_DIR");
    if (runtime == nullptr) return false;
    n = snprintf(out, size, "%s", runtime);
  } else if (index == 1) {
    const char* tmp = AbsoluteEnv("TMPDIR");
    n = snprintf(out, size, "%s/velmora-halvern-%u", tmp != nullptr ? tmp : "/tmp",
                 static_cast<unsigned>(getuid()));
  } else if (const char* cache = AbsoluteEnv("XDG_CACHE_HOME")) {
    n = snprintf(out, size, "%s/velmora-halvern", cache);
  } else if (const char* home = AbsoluteEnv("HOME")) {
    n = snprintf(out, size, "%s/.cache/velmora-halvern", home);
  }
  return n > 0 && static_cast<size_t>(n) < size;
}

bool IsPrivateFolder(const char* folder) {
  struct stat st;
  return lstat(folder, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
         (st.st_mode & 077) == 0;
}

enum class Sent { kNoListener, kDone };

// Sends UM_RUN_CHECK to the socket in `folder`. kDone once a listener was
// reached, whether or not it took the whole message in time: a Halvern that
// is there but busy is the one to tell, and no other place is tried then.
Sent SendRunCheck(const char* folder) {
  sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  const int n = snprintf(addr.sun_path, sizeof addr.sun_path, "%s/%s", folder, kSocketName);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof addr.sun_path) return Sent::kNoListener;

  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Sent::kNoListener;
  // On Linux the send timeout also bounds connect() on a Unix socket whose
  // backlog is full.
  timeval timeout{kSendTimeoutS, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  Sent result = Sent::kNoListener;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
    unsigned char message[20] = {};
    for (int i = 0; i < 4; ++i) message[i] = static_cast<unsigned char>(kRunCheck >> (8 * i));
    ssize_t sent;
    do {
      sent = send(fd, message, sizeof message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    result = Sent::kDone;
  } else if (errno == EAGAIN || errno == EINPROGRESS) {
    result = Sent::kDone;  // a listener whose queue stayed full
  }
  close(fd);
  return result;
}

}  // namespace

int main() {
  char folder[sizeof(sockaddr_un::sun_path)];
  for (int i = 0; i < kCandidateCount; ++i) {
    if (!CandidateFolder(i, folder, sizeof folder) || !IsPrivateFolder(folder)) continue;
    if (SendRunCheck(folder) == Sent::kDone) break;
  }
  return 0;
}
