#include "alerts.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <vector>

#include "clock.h"
#include "entry_states.h"
#include "fakes.h"
#include "manual_host.h"
#include "qt_loop.h"
#include "qt_window_host.h"
#include "settings.h"
#include "temp_store.h"
#include "url_entry.h"

namespace halvern {
namespace {

using namespace std::chrono_literals;
using test::RunFor;
using test::RunUntil;

constexpr std::int64_t kNow = 1196071200;  // 2007-11-26 10:00:00 UTC

// Records when the vibrator switched, on the steady clock.
class TimedLeds final : public LedDevices {
 public:
  void SetLed(int device, bool on) override {
    leds.SetLed(device, on);
    if (device == kLedVibrator) {
      vibrator.push_back({std::chrono::steady_clock::now(), on});
    }
  }
  struct Switch {
    std::chrono::steady_clock::time_point at;
    bool on;
  };
  test::FakeLedDevices leds;
  std::vector<Switch> vibrator;
};

class AlertsTest : public ::testing::Test, public WindowHandler {
 protected:
  AlertsTest() {
    test::QtApp();
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    SetVibrationToggle(false);
    InitUrlEntry(entry);
    SetEntryTitle(entry, u"Example");
    SetEntryUrl(entry, u"http://example.org/");
  }
  ~AlertsTest() override {
    alerts.AcknowledgeAlert();
    host.Close();
  }
  void OnMessage(std::uint32_t, std::uintptr_t, std::intptr_t) override {}
  void OnTimer(std::uint32_t id) override { alerts.OnTimer(id); }
  void Set(const IntSetting& s, std::int32_t v) { EXPECT_TRUE(WriteSetting(t.store(), s, v)); }
  bool LedOn() const { return leds.leds.state[kLedNotification]; }
  bool VibratorOn() const { return leds.leds.state[kLedVibrator]; }

  test::TempStore t;
  ManualClock clock{kNow};
  QtWindowHost host{this};
  test::FakeSoundPlayer sound;
  TimedLeds leds;
  test::FakePopup popup;
  Alerts alerts{AlertServices{t.store(), clock, host, sound, leds, popup}};
  UrlEntry entry;
};

TEST_F(AlertsTest, AlertRunsForItsDurationAndTheLedWaitsForTheUser) {
  Set(kNotifyDuration, 2);
  alerts.RaiseAlert(entry, std::nullopt);
  const auto start = std::chrono::steady_clock::now();

  EXPECT_TRUE(popup.shown);
  EXPECT_EQ(popup.title, u"Example");
  EXPECT_FALSE(popup.text.has_value());  // the standard text
  EXPECT_EQ(popup.time, kNow);
  EXPECT_EQ(alerts.AlertTime(), kNow);
  EXPECT_TRUE(sound.playing);
  EXPECT_EQ(sound.lastFile, u"Halvern.wav");
  EXPECT_TRUE(LedOn());
  EXPECT_FALSE(VibratorOn());  // the first pulse switches it on

  // Sound and vibration end when the duration has passed; nothing else.
  ASSERT_TRUE(RunUntil([&] { return !sound.playing; }));
  const auto stopped = std::chrono::steady_clock::now();
  EXPECT_GE(stopped - start, 1900ms);
  EXPECT_FALSE(VibratorOn());
  EXPECT_TRUE(LedOn());
  EXPECT_TRUE(popup.shown);
  EXPECT_EQ(alerts.AlertTime(), kNow);

  // Pulses alternate on and off, 500 ms apart, and end with the duration (the
  // stops of the raise switch it off first).
  std::vector<TimedLeds::Switch> pulses;
  for (const auto& s : leds.vibrator) {
    if (s.at < stopped - 1ms && (s.on || !pulses.empty())) pulses.push_back(s);
  }
  ASSERT_GE(pulses.size(), 3u);
  for (std::size_t i = 0; i < pulses.size(); ++i) EXPECT_EQ(pulses[i].on, i % 2 == 0) << i;
  EXPECT_GE(pulses[0].at - start, 450ms);
  const auto spacing = (pulses.back().at - pulses[0].at) / (pulses.size() - 1);
  EXPECT_GE(spacing, 450ms);
  EXPECT_LE(spacing, 1000ms);
  const std::size_t switches = leds.vibrator.size();
  RunFor(700ms);
  EXPECT_EQ(leds.vibrator.size(), switches);

  // Closing the popup ends everything.
  alerts.AcknowledgeAlert();
  EXPECT_FALSE(LedOn());
  EXPECT_FALSE(popup.shown);
  EXPECT_EQ(alerts.AlertTime(), 0);
  EXPECT_EQ(alerts.MinutesToNextRepeat(), -1);
}

TEST_F(AlertsTest, WithEverySwitchOffOnlyThePopupAndTheDurationTimerRun) {
  Set(kNotifyDuration, 1);
  Set(kNotifyEnableSound, 0);
  Set(kNotifyEnableVibrate, 0);
  Set(kNotifyEnableLed, 0);
  alerts.RaiseAlert(entry, std::u16string(u"Why"));
  EXPECT_TRUE(popup.shown);
  EXPECT_EQ(popup.text, std::u16string(u"Why"));
  const int stops = sound.stops;
  // The duration timer still fires: its StopAlert stops the (silent) sound.
  ASSERT_TRUE(RunUntil([&] { return sound.stops > stops; }));
  RunFor(600ms);
  EXPECT_EQ(sound.plays, 0);
  EXPECT_EQ(leds.leds.CountSwitches(kLedNotification, true), 0);
  EXPECT_EQ(leds.leds.CountSwitches(kLedVibrator, true), 0);
  EXPECT_TRUE(popup.shown);
}

TEST_F(AlertsTest, ADurationBelowOneEndsSoundAtOnce) {
  Set(kNotifyDuration, -5);
  alerts.RaiseAlert(entry, std::nullopt);
  EXPECT_TRUE(sound.playing);
  ASSERT_TRUE(RunUntil([&] { return !sound.playing; }, 5s));
  EXPECT_TRUE(LedOn());

  // A duration too long for the timer does not wrap into a short one.
  Set(kNotifyDuration, INT32_MAX);
  alerts.RaiseAlert(entry, std::nullopt);
  RunFor(300ms);
  EXPECT_TRUE(sound.playing);
}

TEST_F(AlertsTest, ToggleFlagOutlivesTheAlert) {
  // The last pulse left the vibrator on: the next alert's first pulse switches
  // it off, and the pulses begin with the second.
  SetVibrationToggle(true);
  alerts.StartAlert();
  EXPECT_TRUE(alerts.OnTimer(IDT_VIBRATE_PULSE));
  EXPECT_FALSE(VibratorOn());
  EXPECT_FALSE(VibrationToggle());
  alerts.OnTimer(IDT_VIBRATE_PULSE);
  EXPECT_TRUE(VibratorOn());
  alerts.StopAlert(true);
  EXPECT_FALSE(VibratorOn());
  EXPECT_TRUE(VibrationToggle());  // not reset by a stop
  EXPECT_FALSE(alerts.OnTimer(4711));
}

TEST_F(AlertsTest, RepeatIntervals) {
  EXPECT_EQ(alerts.MinutesToNextRepeat(), -1);  // no alert
  alerts.RaiseAlert(entry, std::nullopt);
  struct Case {
    std::int32_t index;
    std::int64_t elapsed;
    int expected;
  } cases[] = {
      {0, 0, -1}, {7, 0, -1}, {-1, 0, -1}, {1, 2 * 60 + 59, 1},  {1, 3 * 60, 0}, {1, 10 * 60, 0},
      {2, 0, 5},  {3, 60, 9}, {4, 0, 15},  {5, 29 * 60 + 59, 1}, {6, 61, 59},    {1, -60, 4},
  };
  for (const auto& c : cases) {
    Set(kNotifyRepeat, c.index);
    clock.Set(kNow + c.elapsed);
    EXPECT_EQ(alerts.MinutesToNextRepeat(), c.expected) << c.index << " after " << c.elapsed;
  }
  // The default index 4 is 15 minutes.
  t.store().DeleteValue(kSettingsSection, kNotifyRepeat.name);
  clock.Set(kNow + 5 * 60);
  EXPECT_EQ(alerts.MinutesToNextRepeat(), 10);
}

TEST_F(AlertsTest, RepeatRestartsTheAlertButLeavesThePopup) {
  Set(kNotifyRepeat, 1);  // 3 minutes
  alerts.RaiseAlert(entry, std::nullopt);
  alerts.StopAlert(false);  // as the duration timer does
  const int plays = sound.plays;

  clock.Set(kNow + 2 * 60 + 59);
  alerts.RepeatAlertIfDue();
  EXPECT_EQ(sound.plays, plays);
  EXPECT_EQ(alerts.AlertTime(), kNow);

  clock.Set(kNow + 3 * 60);
  alerts.RepeatAlertIfDue();
  EXPECT_EQ(sound.plays, plays + 1);
  EXPECT_TRUE(LedOn());
  EXPECT_EQ(alerts.AlertTime(), kNow + 3 * 60);
  EXPECT_EQ(popup.shows, 1);
  EXPECT_EQ(popup.time, kNow);

  // "Never": no repeat however long the alert waits.
  Set(kNotifyRepeat, 0);
  clock.Advance(24 * 3600);
  alerts.RepeatAlertIfDue();
  EXPECT_EQ(sound.plays, plays + 1);
}

TEST_F(AlertsTest, ASecondFailureReplacesTheFirst) {
  alerts.RaiseAlert(entry, std::nullopt);
  clock.Advance(90);
  UrlEntry second;
  InitUrlEntry(second);
  SetEntryTitle(second, u"Second");
  alerts.RaiseAlert(second, std::u16string(u"Other"));
  EXPECT_EQ(popup.destroys, 1);
  EXPECT_EQ(popup.shows, 2);
  EXPECT_EQ(popup.title, u"Second");
  EXPECT_EQ(popup.time, kNow + 90);
  EXPECT_EQ(alerts.AlertTime(), kNow + 90);
  EXPECT_TRUE(sound.playing);
}

}  // namespace
}  // namespace halvern

namespace halvern {
namespace {

TEST_F(AlertsTest, TheDesktopIsToldOfTheAlertUntilItIsAcknowledged) {
  test::FakeDesktopNotifier notifier;
  alerts.SetNotifier(&notifier);
  alerts.RaiseAlert(entry, std::u16string(u"Server down."));
  ASSERT_EQ(notifier.alerts.size(), 1u);
  EXPECT_EQ(notifier.alerts[0].summary, u"Example failed");
  EXPECT_EQ(notifier.alerts[0].body,
            u"http://example.org/\nServer down.\nSee the log file for more details.");
  EXPECT_TRUE(notifier.alertShown);

  // Repeats leave the notification as it is, as they leave the popup.
  clock.Set(kNow + 15 * 60);
  alerts.RepeatAlertIfDue();
  EXPECT_EQ(notifier.alerts.size(), 1u);
  EXPECT_TRUE(notifier.alertShown);

  alerts.AcknowledgeAlert();
  EXPECT_FALSE(notifier.alertShown);
  EXPECT_EQ(notifier.closes, 1);
  alerts.SetNotifier(nullptr);
}

TEST_F(AlertsTest, AnEntryThatRaisedAnAlertIsBackOnceWhenItPasses) {
  test::FakeDesktopNotifier notifier;
  alerts.SetNotifier(&notifier);
  UrlEntry other = entry;
  SetEntryTitle(other, u"Other");

  alerts.OnEntryPassed(entry);  // never failed: nothing to tell
  EXPECT_TRUE(notifier.infos.empty());

  alerts.RaiseAlert(entry, std::nullopt);
  alerts.AcknowledgeAlert();  // acknowledged or not, it is still down
  alerts.OnEntryPassed(other);
  EXPECT_TRUE(notifier.infos.empty());

  UrlEntry renamedCase = entry;
  SetEntryTitle(renamedCase, u"EXAMPLE");  // the same entry to the store
  alerts.OnEntryPassed(renamedCase);
  ASSERT_EQ(notifier.infos.size(), 1u);
  EXPECT_EQ(notifier.infos[0].summary, u"EXAMPLE is back");
  EXPECT_EQ(notifier.infos[0].body, u"http://example.org/\nThe check passed again.");

  alerts.OnEntryPassed(entry);
  EXPECT_EQ(notifier.infos.size(), 1u);
  alerts.SetNotifier(nullptr);
}

// While several failures are pending, one notification names them all with
// their reasons (the first five, then how many more), and follows them as
// they come and go; the popup shows the latest only, as before.
TEST_F(AlertsTest, TheNotificationNamesEveryPendingFailureWithItsReason) {
  test::FakeDesktopNotifier notifier;
  alerts.SetNotifier(&notifier);
  std::vector<UrlEntry> entries;
  for (int i = 1; i <= 7; ++i) {
    UrlEntry e = entry;
    SetEntryTitle(e, u"Site " + std::u16string(1, char16_t(u'0' + i)));
    entries.push_back(e);
  }
  alerts.RaiseAlert(entries[0], std::nullopt, u"Not Found");
  ASSERT_EQ(notifier.alerts.size(), 1u);
  EXPECT_EQ(notifier.alerts[0].summary, u"Site 1 failed");
  EXPECT_EQ(notifier.alerts[0].body,
            u"http://example.org/\nNot Found\nSee the log file for more details.");

  alerts.RaiseAlert(entries[1], std::nullopt);  // no reason given: the standard text
  EXPECT_EQ(notifier.alerts.back().summary, u"2 addresses failed");
  EXPECT_EQ(notifier.alerts.back().body, u"Site 1: Not Found\nSite 2: Verification failed.");
  for (std::size_t i = 2; i < entries.size(); ++i) {
    alerts.RaiseAlert(entries[i], std::nullopt, u"Reason " + std::u16string(1, char16_t(u'0' + i)));
  }
  alerts.RaiseAlert(entries[0], std::u16string(kConnectionFailureText));  // again, last now
  EXPECT_EQ(notifier.alerts.back().summary, u"7 addresses failed");
  EXPECT_EQ(notifier.alerts.back().body,
            u"Site 2: Verification failed.\nSite 3: Reason 2\nSite 4: Reason 3\n"
            u"Site 5: Reason 4\nSite 6: Reason 5\nand 2 more");
  EXPECT_EQ(notifier.closes, 0);  // one notification, updated in place
  EXPECT_EQ(popup.title, u"Site 1");

  // A failure that passes leaves it; the last one takes it away.
  UrlEntry passed = entries[1];
  alerts.OnEntryPassed(passed);
  EXPECT_EQ(notifier.alerts.back().summary, u"6 addresses failed");
  EXPECT_EQ(notifier.alerts.back().body.substr(0, 16), u"Site 3: Reason 2");
  ASSERT_EQ(notifier.infos.size(), 1u);
  EXPECT_EQ(notifier.infos[0].summary, u"Site 2 is back");
  for (std::size_t i = 2; i < entries.size(); ++i) alerts.OnEntryPassed(entries[i]);
  EXPECT_EQ(notifier.alerts.back().summary, u"Site 1 failed");
  alerts.OnEntryPassed(entries[0]);
  EXPECT_FALSE(notifier.alertShown);
  EXPECT_TRUE(popup.shown);  // the popup waits for the user

  // Acknowledged, the list starts afresh.
  alerts.RaiseAlert(entries[3], std::nullopt, u"Not Found");
  alerts.AcknowledgeAlert();
  EXPECT_TRUE(alerts.PendingFailures().empty());
  alerts.RaiseAlert(entries[4], std::nullopt, u"Gone");
  EXPECT_EQ(notifier.alerts.back().summary, u"Site 5 failed");
  alerts.SetNotifier(nullptr);
}

// The tray blinks while the alert is pending; acknowledging stops the
// blinking, and the entry that failed keeps the tray red.
TEST_F(AlertsTest, AcknowledgingStopsTheTraysBlinkingButNotItsRed) {
  EntryStates states;
  alerts.SetEntryStates(&states);
  states.SetFailed(u"Example", u"Not Found");
  alerts.RaiseAlert(entry, std::nullopt, u"Not Found");
  EXPECT_EQ(states.Tray(), (TrayState{TrayLevel::kFailed, true, 1, 0}));
  clock.Advance(15 * 60);
  alerts.RepeatAlertIfDue();
  EXPECT_TRUE(states.Tray().blinking);
  alerts.AcknowledgeAlert();
  EXPECT_EQ(states.Tray(), (TrayState{TrayLevel::kFailed, false, 1, 0}));
  alerts.SetEntryStates(nullptr);
}

// The alert and the settings' Test run one sequence; only the end differs.
TEST(AlertSequenceTest, TheEndOfTheDurationLeavesTheLedAsTheCallerWants) {
  for (const SequenceEnd end : {SequenceEnd::kKeepLed, SequenceEnd::kLedOff}) {
    test::ManualHost timers;
    test::FakeSoundPlayer sound;
    test::FakeLedDevices leds;
    std::atomic<bool> toggle{false};
    AlertSequence sequence(timers, sound, leds, toggle, end);
    sequence.Start({20, u"bell.wav", true, true, true});
    EXPECT_EQ(timers.timers[IDT_ALERT_DURATION], 20000u);
    EXPECT_EQ(timers.timers[IDT_VIBRATE_PULSE], kVibratePulseMs);
    EXPECT_EQ(sound.lastFile, u"bell.wav");
    EXPECT_TRUE(leds.state[kLedNotification]);

    EXPECT_TRUE(sequence.OnTimer(IDT_VIBRATE_PULSE));
    EXPECT_TRUE(leds.state[kLedVibrator]);
    EXPECT_TRUE(toggle.load());
    EXPECT_FALSE(sequence.OnTimer(4711));  // a retry timer is not the sequence's

    EXPECT_TRUE(sequence.OnTimer(IDT_ALERT_DURATION));
    EXPECT_TRUE(timers.timers.empty());
    EXPECT_FALSE(sound.playing);
    EXPECT_FALSE(leds.state[kLedVibrator]);
    EXPECT_EQ(leds.state[kLedNotification], end == SequenceEnd::kKeepLed);
    EXPECT_TRUE(toggle.load());  // the toggle outlives the run
  }
}

}  // namespace
}  // namespace halvern
