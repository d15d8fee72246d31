#pragma once
// Helpers for tests that drive the real widgets.

#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QDeadlineTimer>
#include <QtCore/QTimer>
#include <QtWidgets/QApplication>
#include <QtWidgets/QComboBox>
#include <functional>
#include <memory>

#include "dialog.h"
#include "message_box.h"

namespace halvern::test {

// Runs `act` on the next modal window of type T once it is up (the test is
// inside that window's modal run when `act` runs). Fails the test when none
// comes within the deadline.
template <typename T>
void OnNextModal(std::function<void(T*)> act, int deadlineMs = 30000) {
  auto* timer = new QTimer(QCoreApplication::instance());
  timer->setInterval(5);
  const QDeadlineTimer deadline(deadlineMs);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, deadline, act] {
    if (auto* window = qobject_cast<T*>(QApplication::activeModalWidget());
        window && window->isVisible()) {
      timer->stop();
      timer->deleteLater();
      act(window);
      return;
    }
    if (deadline.hasExpired()) {
      timer->stop();
      timer->deleteLater();
      ADD_FAILURE() << "no modal window of the expected type appeared";
    }
  });
  timer->start();
}

// Every test starts with no preset answers; message boxes that a test does not
// answer itself get OK instead of blocking it.
inline void ResetMessageBoxes() {
  ui::MessageBoxScript::Reset();
  ui::MessageBoxScript::SetFallbackAnswer(res::IDOK);
}

// Spins the event loop until `done` holds; false at the deadline.
inline bool WaitFor(const std::function<bool()>& done, int deadlineMs = 30000) {
  QDeadlineTimer deadline(deadlineMs);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// Chooses combo item `index` as the user does (a selection-change command).
inline void ChooseComboItem(QComboBox* combo, int index) {
  combo->setCurrentIndex(index);
  Q_EMIT combo->activated(index);
}

inline std::vector<QString> ShownTexts() {
  std::vector<QString> texts;
  for (const auto& shown : ui::MessageBoxScript::TakeShown()) texts.push_back(shown.text);
  return texts;
}

}  // namespace halvern::test
