#include "session_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QtCore/QSocketNotifier>
#include <array>
#include <atomic>
#include <cerrno>

namespace halvern {
namespace {

constexpr std::array<int, 3> kSessionSignals = {SIGTERM, SIGINT, SIGHUP};

// The pipe's write end for the handler; -1 while no object is installed.
std::atomic<int> g_writeFd{-1};

extern "C" void OnSessionSignal(int signal) {
  const int savedErrno = errno;
  const int fd = g_writeFd.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const auto byte = static_cast<unsigned char>(signal);
    // A full pipe already holds enough wake-ups; the byte may be dropped.
    [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
  }
  errno = savedErrno;
}

}  // namespace

SessionSignals::SessionSignals(Handler onSignal) : onSignal_(std::move(onSignal)) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  readFd_ = fds[0];
  writeFd_ = fds[1];
  g_writeFd.store(writeFd_);
  notifier_ = std::make_unique<QSocketNotifier>(readFd_, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                   [this] { Drain(); });

  struct sigaction action = {};
  action.sa_handler = &OnSessionSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kSessionSignals.size(); ++i) {
    ::sigaction(kSessionSignals[i], &action, &previous_[i]);
  }
}

SessionSignals::~SessionSignals() {
  if (readFd_ < 0) return;
  for (std::size_t i = 0; i < kSessionSignals.size(); ++i) {
    ::sigaction(kSessionSignals[i], &previous_[i], nullptr);
  }
  g_writeFd.store(-1);
  notifier_.reset();
  ::close(writeFd_);
  ::close(readFd_);
}

void SessionSignals::Drain() {
  unsigned char signals[64];
  for (;;) {
    const ssize_t n = ::read(readFd_, signals, sizeof signals);
    if (n <= 0) return;
    // The handler may end the program's run; it is told each signal once.
    for (ssize_t i = 0; i < n; ++i) {
      if (onSignal_) onSignal_(signals[i]);
    }
  }
}

}  // namespace halvern
