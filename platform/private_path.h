#pragma once
// The one rule for the folders and files that hold this user's private data
// (the settings store, the launcher socket): they are this user's own, no link
// stands in their place, and no one else may change them. Whatever another
// user made, or may still change, could hand them this user's data (addresses
// with passwords, the check run's messages) or make this program change a file
// of theirs choosing.

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>

namespace halvern {

// Why the folder or file that `st` describes (from lstat or fstat) breaks the
// rule: it is a link, it belongs to another user, or its mode gives group or
// others any of the permissions in `forbidden` (077: any at all; 022: write).
// Nothing when it keeps it. The text completes "<path> ...".
std::optional<std::string> PrivacyProblem(const struct stat& st, mode_t forbidden);

}  // namespace halvern
