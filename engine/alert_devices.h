#pragma once
// The devices an alert drives: a looping sound, the notification LED (device 0),
// the vibrator (device 1) and the desktop's notifications, and the idle timer a
// check run keeps reset.

#include <string>

namespace halvern {

class SoundPlayer {
 public:
  virtual ~SoundPlayer() = default;
  // Plays `file` asynchronously, looping until Stop. A bare name resolves in the
  // program's sound folder. Returns false when the file cannot be played.
  virtual bool PlayLooping(const std::u16string& file) = 0;
  virtual void Stop() = 0;
};

inline constexpr int kLedNotification = 0;
inline constexpr int kLedVibrator = 1;

class LedDevices {
 public:
  virtual ~LedDevices() = default;
  // Switches device 0 (notification LED) or 1 (vibrator). A device the machine
  // lacks is simply not driven.
  virtual void SetLed(int device, bool on) = 0;
};

// A message for the desktop's notification service. Texts are plain; the
// service layer escapes them where the service reads markup.
struct DesktopNotice {
  std::u16string summary;
  std::u16string body;
};

class DesktopNotifier {
 public:
  virtual ~DesktopNotifier() = default;
  // None of these waits for the service: without a service, or without a
  // session bus, they do nothing.
  //
  // Shows the notification of the pending alert (critical urgency), closing
  // an earlier alert's notification first.
  virtual void ShowAlert(const DesktopNotice& notice) = 0;
  // Closes the alert's notification, also when the service has not yet told
  // its id; nothing when none is shown.
  virtual void CloseAlert() = 0;
  // An information of normal urgency, without sound, left to the service.
  virtual void ShowInfo(const DesktopNotice& notice) = 0;
};

class IdleTimer {
 public:
  virtual ~IdleTimer() = default;
  // Tells the system that the user (or the program) is active, so it does not
  // suspend. Callable from any thread.
  virtual void Reset() = 0;
  // Window thread only: true when the first user of the keep-awake comes,
  // false when the last has gone and when the program ends. An implementation
  // keeps the machine from sleeping in between; false while nothing is held
  // does nothing.
  virtual void KeepAwake(bool on) { static_cast<void>(on); }
};

}  // namespace halvern
