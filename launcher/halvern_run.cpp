// HalvernRun: the wake-up launcher. Started by Halvern's timed-run service, it
// tells the running Halvern of this user to start a check run and exits.
//
// Protocol: one connection to the per-user socket, one 20-byte little-endian
// message (32-bit id UM_RUN_CHECK, 64-bit wParam 0, 64-bit lParam 0), then the
// connection is closed. The command line is ignored and the exit code is always
// 0, also when no Halvern listens. Plain POSIX on purpose: no Qt, no C++ runtime
// work, so that the program starts and ends in a few milliseconds.
//
// The socket path rule must stay identical to Halvern's (platform/
// launcher_socket.cpp); the launcher tests check that both meet under every rule.

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
// How long a send or connect may block when Halvern is busy or stuck.
constexpr suseconds_t kSendTimeoutUs = 250 * 1000;

// Writes the socket path into `out`; false when no usable folder exists.
// ${XDG_RUNTIME_DIR}/Velmora Halvern.sock when XDG_RUNTIME_DIR is an absolute
// path, else ${TMPDIR:-/tmp}/velmora-halvern-<uid>/Velmora Halvern.sock, that
// folder being used only when it is a real folder of this user that no one
// else may enter.
bool SocketPath(char* out, size_t size) {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  int n;
  if (runtime != nullptr && runtime[0] == '/') {
    n = snprintf(out, size, "%s/%s", runtime, kSocketName);
  } else {
    const char* tmp = getenv("TMPDIR");
    if (tmp == nullptr || tmp[0] != '/') tmp = "/tmp";
    char folder[sizeof(sockaddr_un::sun_path)];
    n = snprintf(folder, sizeof folder, "%s/velmora-halvern-%u", tmp,
                 static_cast<unsigned>(getuid()));
    if (n < 0 || static_cast<size_t>(n) >= sizeof folder) return false;
    struct stat st;
    if (lstat(folder, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
        (st.st_mode & 077) != 0) {
      return false;
    }
    n = snprintf(out, size, "%s/%s", folder, kSocketName);
  }
  return n > 0 && static_cast<size_t>(n) < size;
}

void SendRunCheck() {
  sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (!SocketPath(addr.sun_path, sizeof addr.sun_path)) return;

  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  // On Linux the send timeout also bounds connect() on a Unix socket whose
  // backlog is full.
  timeval timeout{0, kSendTimeoutUs};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
    unsigned char message[20] = {};
    for (int i = 0; i < 4; ++i) message[i] = static_cast<unsigned char>(kRunCheck >> (8 * i));
    ssize_t sent;
    do {
      sent = send(fd, message, sizeof message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
  }
  close(fd);
}

}  // namespace

int main() {
  SendRunCheck();
  return 0;
}
