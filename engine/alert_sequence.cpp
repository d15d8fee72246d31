#include "alert_sequence.h"

#include <algorithm>
#include <climits>

#include "alert_devices.h"
#include "window_host.h"

namespace halvern {

// The duration comes unbounded from its dialog: a product beyond the timer's
// range would overflow, and a negative one would mean nothing.
std::uint32_t DurationMs(std::int32_t seconds) {
  const std::int64_t ms = std::int64_t{seconds} * 1000;
  return static_cast<std::uint32_t>(std::clamp<std::int64_t>(ms, 0, INT32_MAX));
}

void AlertSequence::Start(const SequenceSettings& settings) {
  Stop(true);
  timers_.SetTimer(IDT_ALERT_DURATION, DurationMs(settings.durationSeconds));
  if (settings.sound) sound_.PlayLooping(settings.soundFile);
  if (settings.vibrate) timers_.SetTimer(IDT_VIBRATE_PULSE, kVibratePulseMs);
  if (settings.led) leds_.SetLed(kLedNotification, true);
}

void AlertSequence::Stop(bool includeLed) {
  if (includeLed) leds_.SetLed(kLedNotification, false);
  leds_.SetLed(kLedVibrator, false);
  sound_.Stop();
  timers_.KillTimer(IDT_VIBRATE_PULSE);
  timers_.KillTimer(IDT_ALERT_DURATION);
}

bool AlertSequence::OnTimer(std::uint32_t id) {
  if (id == IDT_VIBRATE_PULSE) {
    const bool wasOn = toggle_.load();
    leds_.SetLed(kLedVibrator, !wasOn);
    toggle_.store(!wasOn);
    return true;
  }
  if (id == IDT_ALERT_DURATION) {
    Stop(end_ == SequenceEnd::kLedOff);
    return true;
  }
  return false;
}

}  // namespace halvern
