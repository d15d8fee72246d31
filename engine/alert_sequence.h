#pragma once
// The audible and visible part of an alert: a looping sound, the vibrator
// pulsing 500 ms on and 500 ms off, and the notification LED, for a set
// duration. The alert of the main window and the Test of the alert settings
// run the same sequence, each on its own timers and with its own vibration
// toggle; they differ only in what the end of the duration leaves on.

#include <atomic>
#include <cstdint>
#include <string>

namespace halvern {

class LedDevices;
class SoundPlayer;
class WindowHost;

// Timer ids of a sequence on its host: the end of the duration (fires once)
// and the vibrator's pulse.
inline constexpr std::uint32_t IDT_ALERT_DURATION = 1001;
inline constexpr std::uint32_t IDT_VIBRATE_PULSE = 1002;
inline constexpr std::uint32_t kVibratePulseMs = 500;

struct SequenceSettings {
  std::int32_t durationSeconds = 15;
  std::u16string soundFile;  // handed to the sound player as it stands
  bool sound = true;
  bool vibrate = true;
  bool led = true;
};

// What the end of the duration switches off: an alert keeps its LED lit until
// the user acknowledges it; a test leaves nothing on.
enum class SequenceEnd { kKeepLed, kLedOff };

// The timer period for a duration: a negative one ends at once, one beyond the
// timer's range at its largest period.
std::uint32_t DurationMs(std::int32_t seconds);

class AlertSequence {
 public:
  // `toggle` tells whether the last pulse switched the vibrator on; it belongs
  // to the caller and outlives every run of the sequence.
  AlertSequence(WindowHost& timers, SoundPlayer& sound, LedDevices& leds, std::atomic<bool>& toggle,
                SequenceEnd end)
      : timers_(timers), sound_(sound), leds_(leds), toggle_(toggle), end_(end) {}
  AlertSequence(const AlertSequence&) = delete;
  AlertSequence& operator=(const AlertSequence&) = delete;

  // Stops any run, then starts the duration timer (whatever the switches
  // say), the sound, the pulses (the first one switches the vibrator on) and
  // the LED as enabled.
  void Start(const SequenceSettings& settings);
  // Vibrator and sound off, both timers killed; the LED too when `includeLed`.
  void Stop(bool includeLed);
  // Handles IDT_ALERT_DURATION and IDT_VIBRATE_PULSE; false for any other id.
  bool OnTimer(std::uint32_t id);

 private:
  WindowHost& timers_;
  SoundPlayer& sound_;
  LedDevices& leds_;
  std::atomic<bool>& toggle_;
  SequenceEnd end_;
};

}  // namespace halvern
