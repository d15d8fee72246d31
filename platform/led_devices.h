#pragma once
// The alert's LED (device 0) and vibrator (device 1) on Linux.
//
// Device 0 is the tray icon's alert look (a callback the main window sets)
// plus every notification LED under /sys/class/leds: an LED whose function
// (the part of its name after the last ':') is "notification", "indicator",
// "status", "mail" or "message" and whose brightness file is writable.
// Keyboard and other LEDs are never touched. Device 1 is the first input
// device whose force-feedback capabilities include rumble; it is opened at
// its first use. A device the machine lacks, or one we may not open, is simply
// not driven. Main window thread only.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "alert_devices.h"

namespace halvern {

// Whether a sysfs "capabilities/ff" bitmap (hex words, highest first, as the
// kernel prints them) has the bit `bit` set.
bool HasCapabilityBit(const std::string& bitmap, unsigned bit);

// Where the devices are looked for; tests point these at fake folders.
struct LedPaths {
  std::filesystem::path leds = "/sys/class/leds";
  std::filesystem::path inputClass = "/sys/class/input";
  std::filesystem::path devInput = "/dev/input";
};

class LinuxLedDevices final : public LedDevices {
 public:
  // Uploads a rumble effect to the opened device `fd` and returns its id, or -1.
  // The real one is an EVIOCSFF ioctl; tests, whose device is a plain file,
  // pass their own.
  using UploadRumble = std::function<int(int fd)>;

  explicit LinuxLedDevices(LedPaths paths = LedPaths{}, UploadRumble upload = {});
  ~LinuxLedDevices() override;
  LinuxLedDevices(const LinuxLedDevices&) = delete;
  LinuxLedDevices& operator=(const LinuxLedDevices&) = delete;

  // Told each time device 0 is switched; the tray icon shows its alert look.
  void SetNotificationCallback(std::function<void(bool on)> callback);

  void SetLed(int device, bool on) override;

  // What was found, for the log and for tests.
  const std::vector<std::filesystem::path>& notificationLeds() const { return leds_; }
  const std::filesystem::path& vibrator() const { return vibrator_; }

 private:
  void SetNotificationLeds(bool on);
  void SetVibrator(bool on);
  bool OpenVibrator();

  std::vector<std::filesystem::path> leds_;  // LED folders
  std::vector<std::string> maxBrightness_;   // written to switch each on
  std::function<void(bool)> onNotification_;
  bool ledsOn_ = false;

  std::filesystem::path vibrator_;  // device node; empty when none
  UploadRumble upload_;
  int vibratorFd_ = -1;
  int effectId_ = -1;
  bool vibratorFailed_ = false;
  bool vibrating_ = false;
};

}  // namespace halvern
