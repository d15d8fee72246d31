#pragma once
// The idle timer a check run keeps reset, and the lock that keeps the machine
// awake while a run works. Desktop Linux suspends on its own idle policy (and
// on a closed lid), not on a timer that programs reset, so resetting does
// nothing here; what keeps the machine awake is a logind inhibitor lock,
// taken when the first user of the keep-awake comes and closed as soon as the
// last has gone.

#include <QDBusConnection>

#include "alert_devices.h"

namespace halvern {

class NullIdleTimer final : public IdleTimer {
 public:
  void Reset() override;
};

// What the lock asks logind for: sleep and idle blocked, in the words that
// tools such as systemd-inhibit --list show.
inline constexpr char kInhibitWhat[] = "sleep:idle";
inline constexpr char kInhibitWho[] = "Velmora Halvern";
inline constexpr char kInhibitWhy[] = "Checking web sites";
inline constexpr char kInhibitMode[] = "block";

// org.freedesktop.login1.Manager.Inhibit on the system bus. The lock is the
// descriptor logind hands back: it holds while the descriptor is open, and
// the process ending closes it too. Window thread only. Without a bus, or
// when logind is missing or refuses, nothing is held and nothing is said; the
// next first user asks again.
class LogindIdleTimer final : public IdleTimer {
 public:
  explicit LogindIdleTimer(const QDBusConnection& systemBus);
  // Closes the lock.
  ~LogindIdleTimer() override;
  LogindIdleTimer(const LogindIdleTimer&) = delete;
  LogindIdleTimer& operator=(const LogindIdleTimer&) = delete;

  void Reset() override {}
  void KeepAwake(bool on) override;
  bool Holds() const { return fd_ >= 0; }

 private:
  QDBusConnection bus_;
  int fd_ = -1;
};

}  // namespace halvern
