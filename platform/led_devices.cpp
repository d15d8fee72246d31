#include "led_devices.h"

#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <sstream>
#include <system_error>

namespace halvern {
namespace {

constexpr std::array<const char*, 5> kNotificationFunctions = {"notification", "indicator",
                                                               "status", "mail", "message"};

std::string ReadFirstLine(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

bool WriteText(const std::filesystem::path& file, const std::string& text) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

bool IsNotificationLed(const std::string& name) {
  const auto colon = name.rfind(':');
  const std::string function = colon == std::string::npos ? name : name.substr(colon + 1);
  return std::find(kNotificationFunctions.begin(), kNotificationFunctions.end(), function) !=
         kNotificationFunctions.end();
}

std::vector<std::filesystem::path> SortedEntries(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> entries;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    entries.push_back(it->path());
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

int UploadRumbleIoctl(int fd) {
  ff_effect effect{};
  effect.type = FF_RUMBLE;
  effect.id = -1;
  effect.u.rumble.strong_magnitude = 0xC000;
  effect.u.rumble.weak_magnitude = 0xC000;
  // Bounded, so that a missed "off" cannot leave the motor running.
  effect.replay.length = 1000;
  if (::ioctl(fd, EVIOCSFF, &effect) != 0) return -1;
  return effect.id;
}

}  // namespace

bool HasCapabilityBit(const std::string& bitmap, unsigned bit) {
  std::istringstream in(bitmap);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  constexpr unsigned kWordBits = sizeof(unsigned long) * 8;
  const std::size_t index = bit / kWordBits;
  if (index >= words.size()) return false;
  const std::string& word = words[words.size() - 1 - index];
  try {
    std::size_t used = 0;
    const unsigned long value = std::stoul(word, &used, 16);
    if (used != word.size()) return false;
    return (value >> (bit % kWordBits)) & 1UL;
  } catch (const std::exception&) {
    return false;
  }
}

LinuxLedDevices::LinuxLedDevices(LedPaths paths, UploadRumble upload)
    : upload_(upload ? std::move(upload) : UploadRumble(&UploadRumbleIoctl)) {
  for (const auto& led : SortedEntries(paths.leds)) {
    if (!IsNotificationLed(led.filename().string())) continue;
    if (::access((led / "brightness").c_str(), W_OK) != 0) continue;
    const std::string max = ReadFirstLine(led / "max_brightness");
    leds_.push_back(led);
    maxBrightness_.push_back(max.empty() || max == "0" ? std::string(1, '1') : max);
  }
  for (const auto& input : SortedEntries(paths.inputClass)) {
    const std::string name = input.filename().string();
    if (name.rfind("event", 0) != 0) continue;
    if (!HasCapabilityBit(ReadFirstLine(input / "device" / "capabilities" / "ff"), FF_RUMBLE)) {
      continue;
    }
    vibrator_ = paths.devInput / name;
    break;
  }
}

LinuxLedDevices::~LinuxLedDevices() {
  if (ledsOn_) SetNotificationLeds(false);
  if (vibrating_) SetVibrator(false);
  if (vibratorFd_ >= 0) ::close(vibratorFd_);
}

void LinuxLedDevices::SetNotificationCallback(std::function<void(bool on)> callback) {
  onNotification_ = std::move(callback);
}

void LinuxLedDevices::SetLed(int device, bool on) {
  if (device == kLedNotification) {
    if (onNotification_) onNotification_(on);
    SetNotificationLeds(on);
  } else if (device == kLedVibrator) {
    SetVibrator(on);
  }
}

void LinuxLedDevices::SetNotificationLeds(bool on) {
  for (std::size_t i = 0; i < leds_.size(); ++i) {
    WriteText(leds_[i] / "brightness", on ? maxBrightness_[i] : std::string("0"));
  }
  ledsOn_ = on;
}

bool LinuxLedDevices::OpenVibrator() {
  if (vibratorFd_ >= 0) return true;
  if (vibrator_.empty() || vibratorFailed_) return false;
  vibratorFd_ = ::open(vibrator_.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (vibratorFd_ >= 0) effectId_ = upload_(vibratorFd_);
  if (vibratorFd_ < 0 || effectId_ < 0) {
    // Not ours to drive (no permission, or no rumble after all): stop trying.
    if (vibratorFd_ >= 0) ::close(vibratorFd_);
    vibratorFd_ = -1;
    vibratorFailed_ = true;
    return false;
  }
  return true;
}

void LinuxLedDevices::SetVibrator(bool on) {
  // Switching off a vibrator that was never opened has nothing to do.
  if (!on && vibratorFd_ < 0) return;
  if (!OpenVibrator()) return;
  input_event event{};
  event.type = EV_FF;
  event.code = static_cast<__u16>(effectId_);
  event.value = on ? 1 : 0;
  [[maybe_unused]] const ssize_t n = ::write(vibratorFd_, &event, sizeof event);
  vibrating_ = on;
}

}  // namespace halvern
