// Session signals reach the event loop as calls instead of ending the process,
// and the dispositions they replaced come back when the object goes.

#include "session_signals.h"

#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QDeadlineTimer>
#include <csignal>
#include <vector>

namespace halvern::test {
namespace {

QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "session_signals_test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}

bool SpinUntil(const std::function<bool()>& done) {
  const QDeadlineTimer deadline(30000);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

class SessionSignalsTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override { App(); }
};

TEST_P(SessionSignalsTest, SignalIsHandedToTheLoopAndTheProcessLives) {
  std::vector<int> received;
  SessionSignals signals([&](int signal) { received.push_back(signal); });
  ASSERT_TRUE(signals.installed());
  // Twice before the loop runs: neither is lost or ends the process.
  ASSERT_EQ(::raise(GetParam()), 0);
  ASSERT_EQ(::raise(GetParam()), 0);
  EXPECT_TRUE(received.empty()) << "the handler must not run inside the signal";
  ASSERT_TRUE(SpinUntil([&] { return received.size() == 2; }));
  EXPECT_EQ(received, (std::vector<int>{GetParam(), GetParam()}));
}

TEST_P(SessionSignalsTest, PreviousDispositionComesBack) {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction before = {};
  ASSERT_EQ(::sigaction(GetParam(), &ignore, &before), 0);
  {
    SessionSignals signals([](int) {});
    struct sigaction during = {};
    ::sigaction(GetParam(), nullptr, &during);
    EXPECT_NE(during.sa_handler, SIG_IGN);
  }
  struct sigaction after = {};
  ::sigaction(GetParam(), &before, &after);
  EXPECT_EQ(after.sa_handler, SIG_IGN);
}

INSTANTIATE_TEST_SUITE_P(Signals, SessionSignalsTest, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& info) {
                           return std::string(info.param == SIGTERM  ? "SIGTERM"
                                              : info.param == SIGINT ? "SIGINT"
                                                                     : "SIGHUP");
                         });

}  // namespace
}  // namespace halvern::test
