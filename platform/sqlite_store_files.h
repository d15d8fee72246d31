#pragma once
// The files of the settings store on disk: its private folder, the database
// and SQLite's side files (-wal, -shm, -journal), their modes and identity.
// The store holds addresses that may carry credentials, so whatever of it is
// ours is readable by its owner only, and what another user made or may
// change is refused (the rule of private_path.h).

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

namespace halvern {

// Quotes a path for messages.
std::string DescribePath(const std::filesystem::path& file);

// Makes the store's folder (mode 0700) and its parents when missing; an existing
// folder of this user loses every permission of group and others. A link to a
// folder is followed and its modes left alone. False with a message naming the
// folder and why when it cannot be made, is no folder, belongs to another user
// or may be written by others.
[[nodiscard]] bool MakePrivateFolder(const std::filesystem::path& folder, std::string& error);

// Whether an existing, non-empty file starts like a SQLite database. A missing
// or empty file is what a new database starts as and is accepted. A link is
// not followed.
[[nodiscard]] bool LooksLikeSqlite(const std::filesystem::path& file, std::string& error);

// Creates the database file empty with mode 0600 when it is missing, so that
// SQLite (which gives its side files the database's mode) never makes a wider
// one; the database and side files lose every permission of group and others
// (0644 becomes 0600), changed on the open file. False with a message naming
// the file and why when one is a link, no regular file or another user's:
// nothing is changed through it. Changes no byte of any file.
[[nodiscard]] bool MakePrivateFiles(const std::filesystem::path& file, std::string& error);

// The side file SQLite keeps beside the database, e.g. SideFile(f, "-wal").
std::filesystem::path SideFile(const std::filesystem::path& file, const char* suffix);

// Which file a path names: device and inode.
struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileId&) const = default;
};
std::optional<FileId> IdOf(const std::filesystem::path& file);

}  // namespace halvern
