// Linked into HalvernProbe only: the real program (ui/main.cpp) with a probe
// timer on the window's thread. The timer asks for a tick every 5 ms; every gap
// between two ticks longer than 20 ms is a stall of the window's thread and is
// appended to the file that HALVERN_PROBE_FILE names, one line per stall:
// "<steady-clock ms when the stall ended> <stall ms>". The steady clock is
// CLOCK_MONOTONIC, shared with the benchmark that reads the file.

#include <fcntl.h>
#include <unistd.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr int kTickMs = 5;
constexpr double kStallMs = 20.0;

double SteadyMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

void StartStallProbe() {
  const char* path = std::getenv("HALVERN_PROBE_FILE");
  if (path == nullptr || *path == '\0') return;
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  auto* timer = new QTimer(QCoreApplication::instance());
  timer->setTimerType(Qt::PreciseTimer);
  timer->setInterval(kTickMs);
  auto last = std::make_shared<double>(SteadyMs());
  QObject::connect(timer, &QTimer::timeout, [fd, last] {
    const double now = SteadyMs();
    const double gap = now - *last;
    *last = now;
    if (gap <= kStallMs) return;
    char line[64];
    const int n = std::snprintf(line, sizeof line, "%.1f %.1f\n", now, gap);
    if (n > 0) static_cast<void>(::write(fd, line, static_cast<std::size_t>(n)));
  });
  timer->start();
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(StartStallProbe)
