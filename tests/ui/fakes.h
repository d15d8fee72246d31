#pragma once
// Stand-ins for the platform services that a test must not drive for real:
// the timed-run facility, the connection manager, the sound player and the
// LED devices. All are used on the window's thread, except where noted.

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "alert_devices.h"
#include "connection_manager.h"
#include "timed_run.h"
#include "timed_run_service.h"
#include "window_host.h"

namespace halvern::test {

// Records bookings. With a host set, a booking for the present moment (at most
// two seconds ahead) posts UM_RUN_CHECK to it, as the launcher would.
class FakeTimedRun final : public TimedRun {
 public:
  bool RunAppAtTime(const std::u16string& program, const std::optional<LocalTime>& when) override {
    bookings.push_back(when);
    lastProgram = program;
    if (host && when) {
      const auto at = LocalTimeToEpoch(*when);
      if (at && *at <= std::time(nullptr) + 2) host->PostMessage(UM_RUN_CHECK, 0, 0);
    }
    return true;
  }
  std::vector<std::optional<LocalTime>> bookings;
  std::u16string lastProgram;
  WindowHost* host = nullptr;
};

class FakeConnection final : public Connection {
 public:
  bool IsConnected() override { return true; }
};

class FakeConnections final : public ConnectionManager {
 public:
  std::unique_ptr<Connection> EstablishConnection(std::uint32_t) override {
    return std::make_unique<FakeConnection>();
  }
};

class FakeSound final : public SoundPlayer {
 public:
  bool PlayLooping(const std::u16string& file) override {
    playing = true;
    lastFile = file;
    return true;
  }
  void Stop() override { playing = false; }
  bool playing = false;
  std::u16string lastFile;
};

class FakeLeds final : public LedDevices {
 public:
  void SetLed(int device, bool on) override { state[device == 0 ? 0 : 1] = on; }
  bool state[2] = {false, false};
};

class NoIdleTimer final : public IdleTimer {
 public:
  void Reset() override {}
};

}  // namespace halvern::test
