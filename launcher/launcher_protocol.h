#pragma once
// The launcher protocol between HalvernRun and Halvern. Shared by both programs
// as this one header: plain C++ and POSIX, no Qt, no project library and
// nothing of the C++ runtime, so that HalvernRun starts and ends in a few
// milliseconds.
//
// Halvern listens on a per-user Unix-domain stream socket named kSocketName.
// A sender connects, writes one kMessageSize-byte message (little-endian
// 32-bit id, 64-bit wParam, 64-bit lParam) and closes the connection.
// HalvernRun sends kRunCheck; a second Halvern sends kNotifyIcon to the first.
//
// The socket may lie in one of these folders, tried in this order
// (PlaceFolder):
//   0. ${XDG_RUNTIME_DIR}, when it is an absolute path;
//   1. ${TMPDIR:-/tmp}/velmora-halvern-<uid> (TMPDIR only when absolute);
//   2. ${XDG_CACHE_HOME:-$HOME/.cache}/velmora-halvern (each only when
//      absolute), in the user's home, where no other user can take the folder
//      first.
// A folder counts only while it is a real folder (not a link) of this user
// that no one else may enter (IsPrivateFolder), so another user can never
// plant a socket that takes the message. Halvern settles at the first such
// folder it can use; a place before it may have become free since, so a
// sender goes on down the chain while a place has no listener, and stops at
// the first socket that answers.

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace halvern::launcher_protocol {

// Message ids: start a check run; show the main window.
inline constexpr uint32_t kRunCheck = 0x0465;
inline constexpr uint32_t kNotifyIcon = 0x0467;

inline constexpr size_t kMessageSize = 20;
inline constexpr char kSocketName[] = "Velmora Halvern.sock";
inline constexpr int kPlaceCount = 3;

struct Message {
  uint32_t id = 0;
  uint64_t wParam = 0;
  uint64_t lParam = 0;
};

inline void EncodeMessage(const Message& message, unsigned char (&out)[kMessageSize]) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(message.id >> (8 * i));
  for (int i = 0; i < 8; ++i) out[4 + i] = static_cast<unsigned char>(message.wParam >> (8 * i));
  for (int i = 0; i < 8; ++i) out[12 + i] = static_cast<unsigned char>(message.lParam >> (8 * i));
}

// False unless `size` is exactly kMessageSize.
inline bool DecodeMessage(const unsigned char* data, size_t size, Message& out) {
  if (size != kMessageSize) return false;
  out = Message{};
  for (int i = 0; i < 4; ++i) out.id |= uint32_t{data[i]} << (8 * i);
  for (int i = 0; i < 8; ++i) out.wParam |= uint64_t{data[4 + i]} << (8 * i);
  for (int i = 0; i < 8; ++i) out.lParam |= uint64_t{data[12 + i]} << (8 * i);
  return true;
}

namespace detail {
inline const char* AbsoluteEnv(const char* name) {
  const char* value = getenv(name);
  return value != nullptr && value[0] == '/' ? value : nullptr;
}
}  // namespace detail

// Writes the folder of place `index` (0 .. kPlaceCount-1) into `out`; false
// when the environment gives no such place or it does not fit. Reads the
// environment; checks and creates nothing.
inline bool PlaceFolder(int index, char* out, size_t size) {
  int n = -1;
  if (index == 0) {
    const char* runtime = detail::AbsoluteEnv("XDG_RUNTIME_DIR");
    if (runtime == nullptr) return false;
    n = snprintf(out, size, "%s", runtime);
  } else if (index == 1) {
    const char* tmp = detail::AbsoluteEnv("TMPDIR");
    n = snprintf(out, size, "%s/velmora-halvern-%u", tmp != nullptr ? tmp : "/tmp",
                 static_cast<unsigned>(getuid()));
  } else if (index != 2) {
    return false;
  } else if (const char* cache = detail::AbsoluteEnv("XDG_CACHE_HOME")) {
    n = snprintf(out, size, "%s/velmora-halvern", cache);
  } else if (const char* home = detail::AbsoluteEnv("HOME")) {
    n = snprintf(out, size, "%s/.cache/velmora-halvern", home);
  }
  return n > 0 && static_cast<size_t>(n) < size;
}

// Whether a folder, as lstat describes it, may hold the socket of user `uid`:
// a real folder of that user with no permission for anyone else.
inline bool IsPrivateFolder(const struct stat& st, uid_t uid) {
  return S_ISDIR(st.st_mode) && st.st_uid == uid && (st.st_mode & 077) == 0;
}

}  // namespace halvern::launcher_protocol
