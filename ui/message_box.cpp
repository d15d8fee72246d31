#include "message_box.h"

#include <QtCore/QFileInfo>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMessageBox>

#include "resource_ids.h"
#include "string_table.h"

namespace halvern::ui {
namespace {

struct Scripts {
  std::deque<int> answers;
  std::optional<int> fallback;
  std::vector<ShownMessage> shown;
  // A chosen file, or cancelled (false).
  std::deque<std::pair<bool, QString>> files;
  std::vector<ShownFileDialog> fileDialogs;
};

Scripts& scripts() {
  static Scripts s;
  return s;
}

QMessageBox::Icon IconOf(std::uint32_t flags) {
  switch (flags & 0xF0) {
    case MB_ICONSTOP:
      return QMessageBox::Critical;
    case MB_ICONQUESTION:
      return QMessageBox::Question;
    case MB_ICONEXCLAMATION:
      return QMessageBox::Warning;
    case MB_ICONINFORMATION:
      return QMessageBox::Information;
    default:
      return QMessageBox::NoIcon;
  }
}

}  // namespace

QString AppTitle() { return QString::fromUtf8(res::LoadResString(res::IDS_APP_TITLE)); }

int MessageBox(QWidget* parent, const QString& text, std::uint32_t flags) {
  const QString caption = AppTitle();
  MessageBoxScript::Record({caption, text, flags});
  if (auto answer = MessageBoxScript::NextAnswer()) return *answer;

  QMessageBox box(IconOf(flags), caption, text, QMessageBox::NoButton, parent);
  const std::uint32_t buttons = flags & 0x0F;
  int escapeAnswer = res::IDOK;
  if (buttons == MB_OKCANCEL) {
    box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Ok);
    escapeAnswer = res::IDCANCEL;
  } else if (buttons == MB_YESNO) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::Yes);
    escapeAnswer = IDNO;
  } else {
    box.setStandardButtons(QMessageBox::Ok);
  }
  // Every box comes to the front, also over a hidden or inactive main window.
  box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
  // Modal to its parent only, as every dialog of the program.
  box.setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
  box.show();
  box.raise();
  box.activateWindow();
  switch (box.exec()) {
    case QMessageBox::Ok:
      return res::IDOK;
    case QMessageBox::Cancel:
      return res::IDCANCEL;
    case QMessageBox::Yes:
      return IDYES;
    case QMessageBox::No:
      return IDNO;
    default:
      return escapeAnswer;
  }
}

void MessageBoxScript::PresetAnswers(std::vector<int> answers) {
  scripts().answers.insert(scripts().answers.end(), answers.begin(), answers.end());
}

std::vector<ShownMessage> MessageBoxScript::TakeShown() {
  std::vector<ShownMessage> taken;
  taken.swap(scripts().shown);
  return taken;
}

void MessageBoxScript::SetFallbackAnswer(std::optional<int> answer) { scripts().fallback = answer; }

void MessageBoxScript::Reset() {
  scripts().answers.clear();
  scripts().fallback.reset();
  scripts().shown.clear();
}

std::optional<int> MessageBoxScript::NextAnswer() {
  auto& answers = scripts().answers;
  if (answers.empty()) return scripts().fallback;
  const int answer = answers.front();
  answers.pop_front();
  return answer;
}

void MessageBoxScript::Record(ShownMessage message) {
  scripts().shown.push_back(std::move(message));
}

std::optional<QString> GetOpenFileName(QWidget* parent, const QString& title,
                                       const QString& initialPath, const QString& filter) {
  FileDialogScript::Record({title, {}});
  if (auto answer = FileDialogScript::NextAnswer()) return *answer;
  const QString file = QFileDialog::getOpenFileName(parent, title, initialPath, filter);
  if (file.isEmpty()) return std::nullopt;
  return file;
}

std::optional<QString> GetSaveFileName(QWidget* parent, const QString& title,
                                       const QString& initialPath, const QString& filter,
                                       const QString& note) {
  FileDialogScript::Record({title, note});
  if (auto answer = FileDialogScript::NextAnswer()) return *answer;
  QFileDialog dialog(parent, title, initialPath, filter);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  // The desktop's own dialog has no room for the note.
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  const QString suffix = QFileInfo(initialPath).suffix();
  if (!suffix.isEmpty()) dialog.setDefaultSuffix(suffix);
  if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout()); grid && !note.isEmpty()) {
    auto* label = new QLabel(note, &dialog);
    label->setObjectName(QStringLiteral("fileDialogNote"));
    label->setWordWrap(true);
    grid->addWidget(label, grid->rowCount(), 0, 1, grid->columnCount());
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().first();
}

void FileDialogScript::PresetAnswers(std::vector<std::optional<QString>> answers) {
  for (auto& answer : answers) {
    scripts().files.emplace_back(answer.has_value(), answer.value_or(QString()));
  }
}

void FileDialogScript::Reset() {
  scripts().files.clear();
  scripts().fileDialogs.clear();
}

std::vector<ShownFileDialog> FileDialogScript::TakeShown() {
  std::vector<ShownFileDialog> taken;
  taken.swap(scripts().fileDialogs);
  return taken;
}

void FileDialogScript::Record(ShownFileDialog dialog) {
  scripts().fileDialogs.push_back(std::move(dialog));
}

std::optional<std::optional<QString>> FileDialogScript::NextAnswer() {
  auto& files = scripts().files;
  if (files.empty()) return std::nullopt;
  const auto [chosen, file] = files.front();
  files.pop_front();
  return chosen ? std::optional<QString>(file) : std::optional<QString>();
}

}  // namespace halvern::ui
