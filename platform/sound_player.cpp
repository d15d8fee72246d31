#include "sound_player.h"

#include <unistd.h>

#include <QAudioOutput>
#include <QCoreApplication>
#include <QMediaPlayer>
#include <QSoundEffect>
#include <QString>
#include <QUrl>
#include <system_error>

namespace halvern {
namespace {

constexpr char kSoundSubfolder[] = "share/halvern/sounds";
constexpr char kShippedSound[] = "Halvern.wav";

std::filesystem::path ExecutableFolder() {
  if (QCoreApplication::instance() != nullptr) {
    return QCoreApplication::applicationDirPath().toStdString();
  }
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : exe.parent_path();
}

bool IsWav(const std::filesystem::path& file) {
  return QString::fromStdString(file.extension().string())
             .compare(QStringLiteral(".wav"), Qt::CaseInsensitive) == 0;
}

}  // namespace

std::filesystem::path SoundFolder() {
  const std::filesystem::path exeFolder = ExecutableFolder();
  if (!exeFolder.empty()) {
    const auto beside = (exeFolder.parent_path() / kSoundSubfolder).lexically_normal();
    std::error_code ec;
    if (std::filesystem::is_directory(beside, ec)) return beside;
  }
  return std::filesystem::path(HALVERN_INSTALL_DATADIR) / "halvern" / "sounds";
}

std::filesystem::path InstalledSoundPath() { return SoundFolder() / kShippedSound; }

std::filesystem::path ResolveSoundFile(const std::u16string& file,
                                       const std::filesystem::path& soundFolder) {
  const std::filesystem::path path(QString::fromStdU16String(file).toStdString());
  if (file.empty()) return {};
  if (path.has_parent_path()) return path;
  return soundFolder / path;
}

QtSoundPlayer::QtSoundPlayer(std::filesystem::path soundFolder) : folder_(std::move(soundFolder)) {}

QtSoundPlayer::~QtSoundPlayer() { Stop(); }

bool QtSoundPlayer::PlayLooping(const std::u16string& file) {
  Stop();
  const std::filesystem::path path = ResolveSoundFile(file, folder_);
  std::error_code ec;
  if (path.empty() || !std::filesystem::is_regular_file(path, ec)) return false;
  const QUrl url = QUrl::fromLocalFile(QString::fromStdString(path.string()));
  if (IsWav(path)) {
    if (!effect_) effect_ = std::make_unique<QSoundEffect>();
    effect_->setSource(url);
    effect_->setLoopCount(QSoundEffect::Infinite);
    effect_->play();
  } else {
    // QMediaPlayer loads its backend on construction: made only when needed.
    if (!player_) {
      output_ = std::make_unique<QAudioOutput>();
      player_ = std::make_unique<QMediaPlayer>();
      player_->setAudioOutput(output_.get());
    }
    player_->setSource(url);
    player_->setLoops(QMediaPlayer::Infinite);
    player_->play();
  }
  playing_ = true;
  return true;
}

void QtSoundPlayer::Stop() {
  if (effect_) effect_->stop();
  if (player_) player_->stop();
  playing_ = false;
}

}  // namespace halvern
