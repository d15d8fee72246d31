#pragma once
// The timed-run facility inside the main program: bookings of programs by bare
// name at a local calendar time. A thread of its own waits on an absolute
// wall-clock timerfd (CLOCK_REALTIME_ALARM where the process may wake the
// machine, else CLOCK_REALTIME), so a booking fires at its wall-clock time also
// after the machine slept or the clock was set. At that time the program of the
// same name in the program folder is started with posix_spawn; a name ending in
// ".exe" starts the binary without that ending ("HalvernRun.exe" starts
// <folder>/HalvernRun). Children are reaped by the service.
//
// Where the install arrangement of the program folder holds HalvernAlarm, a
// helper with the one capability cap_wake_alarm, and it holds the alarm
// clock, the service tells it the bookings of HalvernRun instead and the
// helper starts it, so that bookings wake a sleeping machine also for a user
// without that capability; the helper starts no other program, so bookings
// of other names stay in this process. The service still keeps every booking: when the helper
// dies or its socket breaks, its own timer takes them all over at once (one
// whose time passed meanwhile fires at once). Without a helper holding the
// alarm clock everything happens in this process, as described above.

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "timed_run.h"

namespace halvern {

class AlarmHelperClient;

// The whole seconds since 1970 (UTC) of a local calendar time: by its UTC offset
// when it carries one, else under the present time-zone rules; nothing for a
// time with a field out of range.
std::optional<std::int64_t> LocalTimeToEpoch(const LocalTime& time);

class TimedRunService final : public TimedRun {
 public:
  // Told on the service thread after each booking fired: the booked name, the
  // booked time (whole UTC seconds), and the started child's pid or -errno when it
  // could not be started. For diagnostics and tests; keep it short.
  using FiredCallback =
      std::function<void(const std::u16string& program, std::int64_t bookedTime, pid_t pidOrError)>;

  // `programFolder`: where booked programs are started from; Halvern passes its
  // own folder, so the HalvernRun installed beside it is started. A helper
  // started here gets this process's environment for the programs it starts
  // (as it is now; the in-process service passes it as it is at each start).
  explicit TimedRunService(std::filesystem::path programFolder, FiredCallback onFired = {});
  ~TimedRunService() override;
  TimedRunService(const TimedRunService&) = delete;
  TimedRunService& operator=(const TimedRunService&) = delete;

  // Books `program` at `when` (to the millisecond), replacing its pending
  // booking; without a time it cancels that booking. A time in the past fires
  // at once. False for a name
  // that is not a bare file name, a time out of range, or a service that could
  // not make its timer. Callable from any thread.
  bool RunAppAtTime(const std::u16string& program, const std::optional<LocalTime>& when) override;

  // Whether the timer may wake the machine from sleep (CLOCK_REALTIME_ALARM),
  // held by the helper or by this process.
  bool CanWakeMachine() const;

  // The helper holding the bookings, or -1 when the service holds them itself.
  pid_t HelperPid() const;

  // The binary a booking of `program` starts; empty for a name that is not a
  // bare file name.
  std::filesystem::path ProgramPath(const std::u16string& program) const;
  // Whether a helper, while there is one, starts `program` (HalvernRun only).
  bool IsHelpersProgram(const std::u16string& program) const;

 private:
  void Run();
  void ArmEarliest();
  void FireDue();
  void ServeHelper();
  void TakeOverFromHelper();
  void TellHelper(const std::u16string& key);
  void ReapChildren();
  void Wake();

  std::filesystem::path folder_;
  FiredCallback onFired_;
  int timerFd_ = -1;
  int wakeFd_ = -1;  // eventfd: tells the thread that bookings changed or it must end
  bool wakesMachine_ = false;

  mutable std::mutex mutex_;
  struct Booking {
    std::u16string program;   // as booked
    std::int64_t timeMs = 0;  // UTC milliseconds
  };
  std::map<std::u16string, Booking> bookings_;  // by case-folded name
  bool stop_ = false;
  // Set only by the service thread; read by others under the mutex.
  std::unique_ptr<AlarmHelperClient> helper_;

  std::vector<pid_t> children_;  // service thread only
  std::thread thread_;
};

}  // namespace halvern
