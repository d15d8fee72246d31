#pragma once
// The real Qt Core event loop for tests: one QCoreApplication for the
// test program, and helpers that run the loop until a condition holds.

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <functional>

namespace halvern::test {

inline QCoreApplication& QtApp() {
  static int argc = 1;
  static char name[] = "halvern_test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}

// Runs the loop until `done` holds; false when `limit` passed first.
inline bool RunUntil(const std::function<bool()>& done,
                     std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// Runs the loop until a single-shot timer of `span`, set now, has fired: by
// then every timer due sooner and every event posted before has been handled,
// however slowly the machine runs. False when `limit` passed first.
inline bool RunPast(std::chrono::milliseconds span,
                    std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  bool fired = false;
  QObject witness;
  QTimer::singleShot(span, &witness, [&] { fired = true; });
  return RunUntil([&] { return fired; }, limit);
}

// Runs the loop for `span`, whatever happens.
inline void RunFor(std::chrono::milliseconds span) {
  const auto end = std::chrono::steady_clock::now() + span;
  while (std::chrono::steady_clock::now() < end) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
}

}  // namespace halvern::test
