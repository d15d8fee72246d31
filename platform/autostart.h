#pragma once
// Start at login: the freedesktop autostart entry of Halvern, and the user's
// choice about it kept in the settings store, so that a monitor does not stop
// monitoring at the first logout.
//
// The first start writes the entry. From then on only the user changes it
// (Set): an entry the user turned off is never written again by a start.

#include <filesystem>
#include <string>

namespace halvern {

class SettingsStore;

// ${XDG_CONFIG_HOME:-$HOME/.config}/autostart/halvern.desktop
std::filesystem::path AutostartEntryPath();

// The entry's text: a Desktop Entry of Type Application whose Exec names
// `program` (an absolute path), quoted and escaped as the Desktop Entry format
// asks where the path holds blanks or other reserved characters.
std::string AutostartEntryText(const std::filesystem::path& program);

class Autostart {
 public:
  // `program`: the absolute path of the running Halvern.
  Autostart(SettingsStore& store, std::filesystem::path program,
            std::filesystem::path entry = AutostartEntryPath());

  // At every start: on the first one (no choice kept yet) writes the entry and
  // keeps "on" as the choice; later starts change nothing. False, with `error`
  // saying why, when the entry or the choice could not be written.
  [[nodiscard]] bool ApplyAtStart(std::string& error);

  // Whether the entry is there, as the desktop's session will see it at login.
  [[nodiscard]] bool IsOn() const;

  // The user's choice: writes (true) or removes (false) the entry and keeps
  // the choice. False, with `error` naming the file or the store, when either
  // could not be done.
  [[nodiscard]] bool Set(bool on, std::string& error);

  const std::filesystem::path& entry() const { return entry_; }

 private:
  [[nodiscard]] bool KeepChoice(bool on, std::string& error);

  SettingsStore& store_;
  std::filesystem::path program_;
  std::filesystem::path entry_;
};

}  // namespace halvern
