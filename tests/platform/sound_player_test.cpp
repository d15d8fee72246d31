#include "sound_player.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>
#include <fstream>

#include "temp_store.h"

#include "qt_loop.h"

namespace halvern {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

using test::QtApp;
using test::RunFor;

TEST(SoundPlayerTest, ResolvesBareNamesInTheSoundFolder) {
  const std::filesystem::path folder = "/usr/share/halvern/sounds";
  EXPECT_EQ(ResolveSoundFile(u"Halvern.wav", folder), folder / "Halvern.wav");
  EXPECT_EQ(ResolveSoundFile(u"/home/me/alarm.ogg", folder), "/home/me/alarm.ogg");
  EXPECT_EQ(ResolveSoundFile(u"sub/alarm.wav", folder), "sub/alarm.wav");
  EXPECT_EQ(ResolveSoundFile(u"Ärger.wav", folder), folder / "Ärger.wav");
  EXPECT_EQ(ResolveSoundFile(u"", folder), std::filesystem::path());
}

// The build copies the shipped sound beside its programs, as an install does.
TEST(SoundPlayerTest, TheShippedSoundIsInTheSoundFolder) {
  QtApp();
  const auto path = InstalledSoundPath();
  EXPECT_TRUE(path.is_absolute()) << path;
  EXPECT_EQ(path.filename(), "Halvern.wav");
  ASSERT_TRUE(std::filesystem::is_regular_file(path)) << path;
  std::ifstream in(path, std::ios::binary);
  char header[12] = {};
  in.read(header, sizeof header);
  EXPECT_EQ(std::string(header, 4), "RIFF");
  EXPECT_EQ(std::string(header + 8, 4), "WAVE");
  EXPECT_LT(std::filesystem::file_size(path), 100u * 1024);
}

// This machine has no audio device: playing must neither block nor crash, and
// stopping works at any moment.
TEST(SoundPlayerTest, PlaysAndStopsWithoutAnAudioDevice) {
  QtApp();
  test::TempDir dir;
  const auto other = dir.path() / "alarm.ogg";  // not decodable: garbage
  std::ofstream(other) << "not a sound";

  QtSoundPlayer player;
  const auto start = SteadyClock::now();
  EXPECT_TRUE(player.PlayLooping(u"Halvern.wav"));
  EXPECT_TRUE(player.IsPlaying());
  RunFor(300ms);
  EXPECT_TRUE(player.PlayLooping(other.u16string()));  // replaces the first
  RunFor(300ms);
  player.Stop();
  EXPECT_FALSE(player.IsPlaying());
  EXPECT_TRUE(player.PlayLooping(InstalledSoundPath().u16string()));
  RunFor(100ms);
  EXPECT_LT(SteadyClock::now() - start, 10s);
  // Destroyed while playing.
}

TEST(SoundPlayerTest, AMissingFilePlaysNothing) {
  QtApp();
  QtSoundPlayer player;
  EXPECT_FALSE(player.PlayLooping(u"no-such-sound.wav"));
  EXPECT_FALSE(player.PlayLooping(u""));
  EXPECT_FALSE(player.PlayLooping(u"/no/such/folder/sound.wav"));
  EXPECT_FALSE(player.IsPlaying());
  // A folder is not a sound file.
  EXPECT_FALSE(player.PlayLooping(u".."));
  player.Stop();
}

}  // namespace
}  // namespace halvern
