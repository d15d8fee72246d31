#pragma once
// Files the program writes for the user that may hold credentials (an export
// of addresses with user:password@, a copy of the store): readable by their
// owner only and never seen half-written. And the reading of a file the user
// chose, bounded in size and kind.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace halvern {

// Writes `bytes` to a new file beside `file` with mode 0600, flushes it to
// the disk and then renames it over `file` in one step. On any failure (no
// permission, a full disk, a file size limit) the temporary file is removed,
// `file` is left as it was, and `error` says what happened.
[[nodiscard]] bool WritePrivateFile(const std::filesystem::path& file, std::string_view bytes,
                                    std::string& error);

// A new empty file of mode 0600 in the folder of `file`, named after it, for
// content that is put in place later with CommitPrivateFile. Empty path and
// `error` when it cannot be made.
std::filesystem::path MakePrivateTempFile(const std::filesystem::path& file, std::string& error);
// Flushes `temp` to the disk and renames it over `file`; removes `temp` when
// that fails.
[[nodiscard]] bool CommitPrivateFile(const std::filesystem::path& temp,
                                     const std::filesystem::path& file, std::string& error);

}  // namespace halvern

namespace halvern {

enum class ReadResult { kRead, kTooLarge, kFailed };

// Reads a whole regular file of at most `maxBytes` into `bytes`. kTooLarge
// when it holds more (nothing more than that is read); kFailed with `error`
// when it cannot be read or is no regular file (a folder, a device or a pipe,
// which could be endless or never answer).
ReadResult ReadWholeFile(const std::filesystem::path& file, std::size_t maxBytes,
                         std::string& bytes, std::string& error);

}  // namespace halvern
