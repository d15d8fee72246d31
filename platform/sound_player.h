#pragma once
// The alert sound on Qt Multimedia: asynchronous looping playback of a named
// file until Stop. WAV files play through QSoundEffect, which loops without
// gaps; other formats through QMediaPlayer where an installed decoder reads
// them. Without an audio device nothing is heard and nothing blocks. Lives on
// the thread of the Qt event loop (the main window's).

#include <filesystem>
#include <memory>
#include <string>

#include "alert_devices.h"

class QMediaPlayer;
class QAudioOutput;
class QSoundEffect;

namespace halvern {

// The program's sound folder: <prefix>/share/halvern/sounds beside the folder
// of the running executable (<prefix>/bin), which in the build tree is the
// build's own copy; the configured install prefix when that is missing.
std::filesystem::path SoundFolder();

// The full path of the shipped alert sound "Halvern.wav".
std::filesystem::path InstalledSoundPath();

// The file a sound setting names: a bare name lies in `soundFolder`; anything
// with a folder part is taken as it stands.
std::filesystem::path ResolveSoundFile(const std::u16string& file,
                                       const std::filesystem::path& soundFolder);

class QtSoundPlayer final : public SoundPlayer {
 public:
  explicit QtSoundPlayer(std::filesystem::path soundFolder = SoundFolder());
  ~QtSoundPlayer() override;
  QtSoundPlayer(const QtSoundPlayer&) = delete;
  QtSoundPlayer& operator=(const QtSoundPlayer&) = delete;

  // Stops what plays, then starts `file`. False (and silence, no default sound)
  // when the file does not exist; a file that exists but cannot be decoded
  // plays nothing.
  bool PlayLooping(const std::u16string& file) override;
  void Stop() override;

  // Whether a sound was started and not stopped since (not whether it is heard).
  bool IsPlaying() const { return playing_; }

 private:
  std::filesystem::path folder_;
  std::unique_ptr<QSoundEffect> effect_;
  std::unique_ptr<QAudioOutput> output_;
  std::unique_ptr<QMediaPlayer> player_;
  bool playing_ = false;
};

}  // namespace halvern
