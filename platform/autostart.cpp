#include "autostart.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

#include "settings.h"
#include "settings_store.h"

namespace halvern {
namespace {

// Characters that make the Desktop Entry format ask for a quoted argument.
constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
// Characters that stay special inside the double quotes.
constexpr std::string_view kQuoteEscaped = "\"`$\\";

std::string QuoteExecArgument(const std::string& argument) {
  std::string quoted;
  const bool needQuotes = argument.find_first_of(kReserved) != std::string::npos;
  if (needQuotes) quoted += '"';
  for (const char c : argument) {
    if (needQuotes && kQuoteEscaped.find(c) != std::string_view::npos) quoted += '\\';
    if (c == '%') quoted += '%';  // a literal percent sign, not a field code
    quoted += c;
  }
  if (needQuotes) quoted += '"';
  return quoted;
}

// The general escapes of a string value, applied over the quoting above.
std::string EscapeValue(const std::string& value) {
  std::string escaped;
  for (const char c : value) {
    switch (c) {
      case '\\':
        escaped += "\\\\";
        break;
      case '\n':
        escaped += "\\n";
        break;
      case '\t':
        escaped += "\\t";
        break;
      case '\r':
        escaped += "\\r";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string ErrnoText(const std::string& what, const std::filesystem::path& file, int error) {
  return what + " \"" + file.string() + "\": " + std::strerror(error);
}

bool WriteWhole(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Writes `text` to `file` through a temporary file and a rename, so that the
// session never reads half an entry.
bool WriteFileAtomically(const std::filesystem::path& file, const std::string& text,
                         std::string& error) {
  std::error_code ec;
  const std::filesystem::path folder = file.parent_path();
  if (!std::filesystem::is_directory(folder, ec)) {
    // New configuration folders are the user's alone.
    std::filesystem::create_directories(folder, ec);
    if (ec) {
      error = ErrnoText("Cannot create the folder", folder, ec.value());
      return false;
    }
    ::chmod(folder.c_str(), 0700);
  }
  const std::filesystem::path temporary = file.string() + ".new";
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    error = ErrnoText("Cannot write the file", temporary, errno);
    return false;
  }
  const bool written = WriteWhole(fd, text) && ::fsync(fd) == 0;
  const int writeErrno = errno;
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), file.c_str()) != 0) {
    error = ErrnoText("Cannot write the file", file, written ? errno : writeErrno);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

std::filesystem::path AutostartEntryPath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::filesystem::path base;
  if (config != nullptr && config[0] == '/') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    base = std::filesystem::path(home != nullptr ? home : "") / ".config";
  }
  return base / "autostart" / "halvern.desktop";
}

std::string AutostartEntryText(const std::filesystem::path& program) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Velmora Halvern\n"
         "Comment=Checks your web sites at set times and alerts you when one fails\n"
         "Exec=" +
         EscapeValue(QuoteExecArgument(program.string())) +
         "\n"
         "Icon=halvern\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

Autostart::Autostart(SettingsStore& store, std::filesystem::path program,
                     std::filesystem::path entry)
    : store_(store), program_(std::move(program)), entry_(std::move(entry)) {}

bool Autostart::ApplyAtStart(std::string& error) {
  if (ReadSetting(store_, kStartAtLogin) != kStartAtLoginNotChosen) {
    return true;
  }
  return Set(true, error);
}

bool Autostart::IsOn() const {
  std::error_code ec;
  return std::filesystem::is_regular_file(entry_, ec);
}

bool Autostart::Set(bool on, std::string& error) {
  if (on) {
    if (!WriteFileAtomically(entry_, AutostartEntryText(program_), error)) return false;
  } else if (::unlink(entry_.c_str()) != 0 && errno != ENOENT) {
    error = ErrnoText("Cannot remove the file", entry_, errno);
    return false;
  }
  return KeepChoice(on, error);
}

bool Autostart::KeepChoice(bool on, std::string& error) {
  if (WriteSetting(store_, kStartAtLogin, on ? 1 : 0)) return true;
  error =
      "The settings store could not be written, so the choice is not kept: the next start "
      "may find it as it was before.";
  return false;
}

}  // namespace halvern
