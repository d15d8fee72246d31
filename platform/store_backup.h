#pragma once
// A consistent copy of the whole settings store (settings, entries, log,
// history) made with SQLite's online backup while the program runs and its
// checks write.

#include <filesystem>
#include <string>

namespace halvern {

// Copies the database `store` into `target` in one read transaction, so the
// copy is the store as it was at one moment, and writers of this or another
// process go on meanwhile. The copy is a single file (no WAL beside it) of
// mode 0600, checked before it replaces `target` in one step; on failure
// `target` is left as it was and `error` says what happened.
[[nodiscard]] bool BackUpStore(const std::filesystem::path& store,
                               const std::filesystem::path& target, std::string& error);

}  // namespace halvern
