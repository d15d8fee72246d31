#pragma once
// Message boxes and the open-file dialog of the program, with the hooks that let
// tests answer them without a click.
//
// MessageBox shows `text` with the caption "Velmora Halvern" (string 57344),
// always brought to the front, with the buttons and icon that `flags` name in
// the window system's numbering (MB_OKCANCEL | MB_ICONQUESTION = 0x21, ...), and
// returns the id of the button pressed (IDOK, IDCANCEL, IDYES, IDNO). Closing
// the box without a button counts as Cancel (or No, or OK for a box with only OK).
//
// Tests: MessageBoxScript::PresetAnswers({IDCANCEL, IDOK}) makes the next boxes
// return those answers without being shown; every box, shown or answered, is
// recorded and TakeShown() hands the record over. FileDialogScript does the same
// for GetOpenFileName and GetSaveFileName. Both are for the window thread only.

#include <QtCore/QString>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

class QWidget;

namespace halvern::ui {

inline constexpr std::uint32_t MB_OK = 0x00;
inline constexpr std::uint32_t MB_OKCANCEL = 0x01;
inline constexpr std::uint32_t MB_YESNO = 0x04;
inline constexpr std::uint32_t MB_ICONSTOP = 0x10;
inline constexpr std::uint32_t MB_ICONQUESTION = 0x20;
inline constexpr std::uint32_t MB_ICONEXCLAMATION = 0x30;
inline constexpr std::uint32_t MB_ICONINFORMATION = 0x40;
inline constexpr std::uint32_t MB_SETFOREGROUND = 0x10000;

inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// The application title "Velmora Halvern": caption of every message box.
QString AppTitle();

int MessageBox(QWidget* parent, const QString& text, std::uint32_t flags = MB_OK);

struct ShownMessage {
  QString caption;
  QString text;
  std::uint32_t flags;
};

class MessageBoxScript {
 public:
  static void PresetAnswers(std::vector<int> answers);
  // Boxes with no preset answer left return `answer` instead of being shown
  // (nothing: they are shown).
  static void SetFallbackAnswer(std::optional<int> answer);
  // The boxes shown or answered since the last call, oldest first.
  static std::vector<ShownMessage> TakeShown();
  // Forgets presets, the fallback and the record.
  static void Reset();

  // Used by MessageBox.
  static std::optional<int> NextAnswer();
  static void Record(ShownMessage message);
};

// The open-file dialog: the chosen file's full path, or nothing when the user
// cancels. `filter` is in Qt's form, e.g. "Sounds (*.wav);;All files (*)".
std::optional<QString> GetOpenFileName(QWidget* parent, const QString& title,
                                       const QString& initialPath, const QString& filter);

// The save-file dialog: the chosen full path, or nothing when the user
// cancels. `note` is shown under the file list (what the file will hold and
// who may read it). The suffix of `initialPath`'s name is added to a chosen
// name that has none; choosing an existing file asks before replacing it.
std::optional<QString> GetSaveFileName(QWidget* parent, const QString& title,
                                       const QString& initialPath, const QString& filter,
                                       const QString& note = {});

struct ShownFileDialog {
  QString title;
  QString note;
};

class FileDialogScript {
 public:
  // The next open-file and save-file dialogs return these answers (nothing =
  // cancelled) without being shown.
  static void PresetAnswers(std::vector<std::optional<QString>> answers);
  static void Reset();
  static std::optional<std::optional<QString>> NextAnswer();
  // The file dialogs shown or answered since the last call, oldest first.
  static std::vector<ShownFileDialog> TakeShown();
  static void Record(ShownFileDialog dialog);
};

}  // namespace halvern::ui
