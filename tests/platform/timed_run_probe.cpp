// A stand-in for Halvern in the timed-run tests that need a process of their
// own (another user, a smaller bounding set, a process to kill): it listens on
// the launcher socket found from its environment as Halvern does, books
// HalvernRun.exe in <program folder> <delay ms> from now, and prints
//   ready <helper pid or -1>        once the booking is made
//   received                        when UM_RUN_CHECK arrived; it then exits 0
// It exits 1 when nothing arrived within 20 seconds. With "hold" as a third
// argument it books an hour ahead and runs until it is killed.

#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "launcher_socket.h"
#include "timed_run_service.h"
#include "window_host.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: timed_run_probe <program folder> <delay ms> [hold]\n");
    return 2;
  }
  const bool hold = argc > 3 && std::string(argv[3]) == "hold";
  QCoreApplication app(argc, argv);
  halvern::LauncherSocket socket([](std::uint32_t message) {
    if (message != halvern::UM_RUN_CHECK) return;
    std::printf("received\n");
    std::fflush(stdout);
    QCoreApplication::exit(0);
  });
  if (socket.Listen() != halvern::LauncherSocket::ListenResult::kListening) {
    std::fprintf(stderr, "timed_run_probe: no socket: %s\n", socket.ErrorText().c_str());
    return 3;
  }

  halvern::TimedRunService service(argv[1]);
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const long long delayMs = hold ? 3600 * 1000LL : std::atoll(argv[2]);
  const long long whenMs = now.tv_sec * 1000LL + now.tv_nsec / 1000000 + delayMs;
  const time_t whole = static_cast<time_t>(whenMs / 1000);
  tm utc{};
  ::gmtime_r(&whole, &utc);
  const halvern::LocalTime when{utc.tm_year + 1900,
                                utc.tm_mon + 1,
                                utc.tm_mday,
                                utc.tm_hour,
                                utc.tm_min,
                                utc.tm_sec,
                                static_cast<int>(whenMs % 1000),
                                0};
  if (!service.RunAppAtTime(u"HalvernRun.exe", when)) return 4;
  std::printf("ready %d\n", static_cast<int>(service.HelperPid()));
  std::fflush(stdout);
  if (!hold) QTimer::singleShot(std::chrono::seconds(20), [] { QCoreApplication::exit(1); });
  return app.exec();
}
