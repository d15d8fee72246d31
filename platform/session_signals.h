#pragma once
// SessionSignals: SIGTERM, SIGINT and SIGHUP (the desktop session ending, a
// terminal closing, Ctrl+C) handed to the event loop instead of ending the
// process on the spot, so that the program can switch its alert devices off,
// cancel its booking and remove its socket before it exits.
//
// The handler only writes the signal's number to a non-blocking self-pipe
// (async-signal-safe); a QSocketNotifier on the pipe's read end calls
// `onSignal` on the thread that made the object, from whichever event loop
// runs there (nested loops of message boxes included). Signals that arrive
// before a loop runs are kept in the pipe and handled once one does.
//
// One object at a time; it must be made and destroyed on the same thread.
// Destroying it restores the dispositions it replaced.

#include <csignal>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace halvern {

class SessionSignals {
 public:
  using Handler = std::function<void(int signal)>;

  explicit SessionSignals(Handler onSignal);
  ~SessionSignals();
  SessionSignals(const SessionSignals&) = delete;
  SessionSignals& operator=(const SessionSignals&) = delete;

  // False when the pipe could not be made: the signals then keep their
  // previous dispositions.
  [[nodiscard]] bool installed() const { return readFd_ >= 0; }

 private:
  void Drain();

  Handler onSignal_;
  int readFd_ = -1;
  int writeFd_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;
  struct sigaction previous_[3] = {};
};

}  // namespace halvern
