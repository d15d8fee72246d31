#include "private_path.h"

#include <unistd.h>

#include <cstdio>

namespace halvern {

std::optional<std::string> PrivacyProblem(const struct stat& st, mode_t forbidden) {
  if (S_ISLNK(st.st_mode)) return std::string("is a link");
  if (st.st_uid != ::geteuid()) {
    return "belongs to another user (uid " + std::to_string(st.st_uid) + ")";
  }
  if ((st.st_mode & forbidden) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return "is open to other users (mode " + std::string(mode) + ")";
  }
  return std::nullopt;
}

}  // namespace halvern
