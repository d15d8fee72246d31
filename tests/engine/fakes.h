#pragma once
// Fakes of the platform services the check run and the alerts drive: each
// records what it was asked and can be told to fail. Thread-safe where the
// program calls them from other threads (idle timer, URL list via Send).

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "alert_devices.h"
#include "alerts.h"
#include "check_run.h"
#include "connection_manager.h"
#include "fake_url_list.h"
#include "timed_run.h"
#include "url_entry.h"

namespace halvern::test {

// A share of an object the test owns (in its fixture or on its stack), for
// the services that take shared ownership; it owns nothing.
template <typename T>
std::shared_ptr<T> Borrowed(T& object) {
  return std::shared_ptr<T>(std::shared_ptr<T>(), &object);
}

class FakeTimedRun final : public TimedRun {
 public:
  struct Booking {
    std::u16string program;
    std::optional<LocalTime> when;  // nothing: cancelled
  };
  bool RunAppAtTime(const std::u16string& program, const std::optional<LocalTime>& when) override {
    bookings.push_back({program, when});
    return true;
  }
  std::vector<Booking> bookings;
};

// Connections whose state a test can pull away; counts establishing and
// releasing (destroying a handle releases it).
class FakeConnectionManager final : public ConnectionManager {
 public:
  std::unique_ptr<Connection> EstablishConnection(std::uint32_t timeoutMs) override {
    lastTimeoutMs = timeoutMs;
    ++attempts;
    if (fail) return nullptr;
    ++established;
    auto state = std::make_shared<std::atomic<bool>>(true);
    states.push_back(state);
    return std::make_unique<FakeConnection>(state, released);
  }
  // With `whileWaiting` set, the manager waits for a network first: it tells
  // the notice, calls whileWaiting (on the caller's thread, in the middle of
  // the wait), then ends the wait and connects or fails as `fail` says.
  std::unique_ptr<Connection> AwaitConnection(std::uint32_t timeoutMs,
                                              const WaitNotice& notice) override {
    if (whileWaiting) {
      ++waits;
      if (notice) notice(true);
      whileWaiting();
      if (notice) notice(false);
    }
    return EstablishConnection(timeoutMs);
  }
  // Every connection handed out so far reports that it is gone.
  void DropAll() {
    for (auto& s : states) s->store(false);
  }
  int Open() const { return established - *released; }

  bool fail = false;
  std::function<void()> whileWaiting;
  int waits = 0;
  int attempts = 0;
  int established = 0;
  std::uint32_t lastTimeoutMs = 0;
  std::shared_ptr<int> released = std::make_shared<int>(0);

 private:
  class FakeConnection final : public Connection {
   public:
    FakeConnection(std::shared_ptr<std::atomic<bool>> state, std::shared_ptr<int> released)
        : state_(std::move(state)), released_(std::move(released)) {}
    ~FakeConnection() override { ++*released_; }
    bool IsConnected() override { return state_->load(); }

   private:
    std::shared_ptr<std::atomic<bool>> state_;
    std::shared_ptr<int> released_;
  };
  std::vector<std::shared_ptr<std::atomic<bool>>> states;
};

class FakeSoundPlayer final : public SoundPlayer {
 public:
  bool PlayLooping(const std::u16string& file) override {
    ++plays;
    lastFile = file;
    playing = true;
    return true;
  }
  void Stop() override {
    ++stops;
    playing = false;
  }
  int plays = 0;
  int stops = 0;
  bool playing = false;
  std::u16string lastFile;
};

class FakeLedDevices final : public LedDevices {
 public:
  void SetLed(int device, bool on) override {
    if (device == kLedNotification || device == kLedVibrator) state[device] = on;
    log.emplace_back(device, on);
  }
  int CountSwitches(int device, bool on) const {
    return static_cast<int>(std::count(log.begin(), log.end(), std::make_pair(device, on)));
  }
  bool state[2] = {false, false};
  std::vector<std::pair<int, bool>> log;
};

class FakeIdleTimer final : public IdleTimer {
 public:
  void Reset() override { ++resets; }
  // Window thread: every take of the lock and every release of a held one.
  void KeepAwake(bool on) override {
    if (!on && !held) return;  // nothing held: nothing to give back
    held = on;
    calls.push_back(on);
    if (onChange) onChange(on);
  }
  std::atomic<int> resets{0};
  bool held = false;
  std::vector<bool> calls;
  std::function<void(bool on)> onChange;
};

class FakePopup final : public AlertPopup {
 public:
  void Show(const UrlEntry& e, const std::optional<std::u16string>& t, std::int64_t when) override {
    shown = true;
    ++shows;
    title = EntryTitle(e);
    text = t;
    time = when;
  }
  void Destroy() override {
    if (shown) ++destroys;
    shown = false;
  }
  bool shown = false;
  int shows = 0;
  int destroys = 0;
  std::u16string title;
  std::optional<std::u16string> text;
  std::int64_t time = 0;
};

class FakeDesktopNotifier final : public DesktopNotifier {
 public:
  void ShowAlert(const DesktopNotice& notice) override {
    alerts.push_back(notice);
    alertShown = true;
  }
  void CloseAlert() override {
    if (alertShown) ++closes;
    alertShown = false;
  }
  void ShowInfo(const DesktopNotice& notice) override { infos.push_back(notice); }
  std::vector<DesktopNotice> alerts;
  std::vector<DesktopNotice> infos;
  bool alertShown = false;
  int closes = 0;
};

class FakeButton final : public CheckNowButton {
 public:
  void SetCaption(const std::u16string& c) override { caption = c; }
  void SetEnabled(bool e) override { enabled = e; }
  std::u16string caption = u"Check Now";
  bool enabled = true;
};

}  // namespace halvern::test
