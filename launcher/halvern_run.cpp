// HalvernRun: the wake-up launcher. Started by Halvern's timed-run service, it
// tells the running Halvern of this user to start a check run and exits.
//
// It sends kRunCheck (wParam and lParam 0) to the first socket of the place
// chain that answers (launcher_protocol.h, shared with Halvern). The command
// line is ignored and the exit code is always 0, also when no Halvern listens.
// Plain POSIX on purpose: no Qt, no C++ runtime work, so that the program
// starts and ends in a few milliseconds. The launcher tests check that both
// programs meet under every rule of the chain.

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

#include "launcher_protocol.h"

namespace {

namespace protocol = halvern::launcher_protocol;

// How long connect or send may block when Halvern is busy or stuck. Halvern
// takes connections at once and gives each a quarter of a second to deliver.
constexpr time_t kSendTimeoutS = 1;

bool IsPrivateFolder(const char* folder) {
  struct stat st;
  return lstat(folder, &st) == 0 && protocol::IsPrivateFolder(st, getuid());
}

enum class Sent { kNoListener, kDone };

// Sends kRunCheck to the socket in `folder`. kDone once a listener was
// reached, whether or not it took the whole message in time: a Halvern that
// is there but busy is the one to tell, and no other place is tried then.
Sent SendRunCheck(const char* folder) {
  sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  const int n =
      snprintf(addr.sun_path, sizeof addr.sun_path, "%s/%s", folder, protocol::kSocketName);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof addr.sun_path) return Sent::kNoListener;

  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Sent::kNoListener;
  // On Linux the send timeout also bounds connect() on a Unix socket whose
  // backlog is full.
  timeval timeout{kSendTimeoutS, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  Sent result = Sent::kNoListener;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
    unsigned char message[protocol::kMessageSize];
    protocol::EncodeMessage({protocol::kRunCheck, 0, 0}, message);
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
  for (int i = 0; i < protocol::kPlaceCount; ++i) {
    if (!protocol::PlaceFolder(i, folder, sizeof folder) || !IsPrivateFolder(folder)) continue;
    if (SendRunCheck(folder) == Sent::kDone) break;
  }
  return 0;
}
