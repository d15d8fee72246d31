#pragma once
// Starting a program of our own with posix_spawn as if from a fresh shell as
// far as signals go: no signal blocked and every signal that Halvern, Qt or a
// service thread may have caught or ignored back at its default action.

#include <spawn.h>
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace halvern {

// Starts `binary` with `args` after its name, the environment of this process
// and `actions` (none: the descriptors are inherited as they are). Returns the
// child's pid, or minus posix_spawn's error.
[[nodiscard]] pid_t SpawnClean(const std::filesystem::path& binary,
                               const std::vector<std::string>& args,
                               const posix_spawn_file_actions_t* actions);

}  // namespace halvern
