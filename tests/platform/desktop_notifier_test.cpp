#include "desktop_notifier.h"

#include <gtest/gtest.h>

#include <chrono>

#include "private_bus.h"
#include "qt_loop.h"

namespace halvern {
namespace {

using namespace std::chrono_literals;
using test::RunFor;
using test::RunUntil;

const DesktopNotice kAlert{u"Shop failed",
                           u"http://shop.example/?a=1&b=<2>\nVerification failed.\nSee the log."};
const DesktopNotice kBack{u"Shop is back", u"http://shop.example/\nThe check passed again."};

class DesktopNotifierTest : public ::testing::Test {
 protected:
  DesktopNotifierTest() {
    test::QtApp();
    EXPECT_FALSE(bus.address().isEmpty()) << "dbus-daemon did not start";
    EXPECT_TRUE(service.Register(bus.Connect(QStringLiteral("service"))));
  }
  // A notifier on its own connection, once the capabilities have been asked.
  std::unique_ptr<DBusDesktopNotifier> MakeNotifier() {
    auto notifier = std::make_unique<DBusDesktopNotifier>(bus.Connect(QStringLiteral("program")));
    RunFor(100ms);
    return notifier;
  }
  bool WaitNotices(std::size_t n) {
    return RunUntil([&] { return service.notices.size() >= n; }, 10s);
  }

  test::PrivateBus bus;
  test::RecordingNotifications service;
};

TEST_F(DesktopNotifierTest, AlertIsCriticalEscapedAndClosedWhenAcknowledged) {
  auto notifier = MakeNotifier();
  notifier->ShowAlert(kAlert);
  ASSERT_TRUE(WaitNotices(1));
  const auto& n = service.notices[0];
  EXPECT_EQ(n.appName, QStringLiteral("Velmora Halvern"));
  EXPECT_EQ(n.appIcon, QStringLiteral("halvern"));
  EXPECT_EQ(n.replacesId, 0u);
  EXPECT_EQ(n.summary, QStringLiteral("Shop failed"));
  // The service reads markup: the address's & and <> must reach the user as typed.
  EXPECT_EQ(n.body, QStringLiteral("http://shop.example/?a=1&amp;b=&lt;2&gt;\n"
                                   "Verification failed.\nSee the log."));
  EXPECT_EQ(n.hints.value(QStringLiteral("urgency")).metaType(), QMetaType::fromType<uchar>());
  EXPECT_EQ(n.hints.value(QStringLiteral("urgency")).toInt(), 2);
  EXPECT_TRUE(n.actions.contains(QStringLiteral("default")));
  EXPECT_EQ(n.expireTimeout, -1);

  // A second alert's text replaces the first one's in place.
  notifier->ShowAlert(kAlert);
  ASSERT_TRUE(WaitNotices(2));
  EXPECT_EQ(service.notices[1].replacesId, service.notices[0].id);
  EXPECT_TRUE(service.closed.empty());

  notifier->CloseAlert();
  ASSERT_TRUE(RunUntil([&] { return service.closed.size() == 1; }, 10s));
  EXPECT_EQ(service.closed[0], service.notices[0].id);
  notifier->CloseAlert();  // nothing left to close
  // The service takes a connection's calls in order: a close sent above would
  // reach it before the notice sent after it.
  notifier->ShowInfo(kBack);
  ASSERT_TRUE(WaitNotices(3));
  EXPECT_EQ(service.closed.size(), 1u);
}

// Texts that follow each other faster than the service answers still end in
// one notification showing the last of them.
TEST_F(DesktopNotifierTest, QuickUpdatesReplaceTheOneNotificationInPlace) {
  auto notifier = MakeNotifier();
  notifier->ShowAlert({u"Shop failed", u"first"});
  notifier->ShowAlert({u"2 addresses failed", u"second"});
  notifier->ShowAlert({u"3 addresses failed", u"third"});
  ASSERT_TRUE(RunUntil(
      [&] {
        return !service.notices.empty() && service.notices.back().body == QStringLiteral("third");
      },
      10s));
  const uint id = service.notices.front().id;
  for (const auto& notice : service.notices) EXPECT_EQ(notice.id, id);
  EXPECT_LE(service.notices.size(), 3u);
  EXPECT_EQ(service.notices.front().replacesId, 0u);
  EXPECT_EQ(service.notices.back().replacesId, id);
  EXPECT_TRUE(service.closed.empty());

  // Acknowledged, the next alert is a notification of its own.
  notifier->CloseAlert();
  notifier->ShowAlert(kAlert);
  ASSERT_TRUE(RunUntil([&] { return service.closed.size() == 1; }, 10s));
  ASSERT_TRUE(RunUntil(
      [&] { return service.notices.back().body.startsWith(QStringLiteral("http://shop")); }, 10s));
  EXPECT_EQ(service.notices.back().replacesId, 0u);
  EXPECT_NE(service.notices.back().id, id);
}

TEST_F(DesktopNotifierTest, AlertAcknowledgedBeforeTheServiceAnswersIsClosedAllTheSame) {
  auto notifier = MakeNotifier();
  notifier->ShowAlert(kAlert);
  notifier->CloseAlert();  // the id is not known yet
  ASSERT_TRUE(WaitNotices(1));
  ASSERT_TRUE(RunUntil([&] { return !service.closed.empty(); }, 10s));
  EXPECT_EQ(service.closed[0], service.notices[0].id);
}

// A new alert right after an acknowledgement that came before the service
// answered: the acknowledged notification is closed, and the new alert is a
// notification of its own rather than a replacement of the closed one.
TEST_F(DesktopNotifierTest, ANewAlertAfterAnEarlyAcknowledgementIsANotificationOfItsOwn) {
  auto notifier = MakeNotifier();
  notifier->ShowAlert({u"Shop failed", u"first"});
  notifier->CloseAlert();  // the id is not known yet
  notifier->ShowAlert(kAlert);
  ASSERT_TRUE(WaitNotices(2));
  ASSERT_TRUE(RunUntil([&] { return service.closed.size() == 1; }, 10s));
  EXPECT_EQ(service.closed[0], service.notices[0].id);
  EXPECT_EQ(service.notices[1].replacesId, 0u);
  EXPECT_NE(service.notices[1].id, service.notices[0].id);
}

TEST_F(DesktopNotifierTest, ActivatingTheAlertCallsTheHookOnlyWhileItIsShown) {
  auto notifier = MakeNotifier();
  int activations = 0;
  notifier->SetActivationHook([&] { ++activations; });
  notifier->ShowInfo(kBack);
  notifier->ShowAlert(kAlert);
  ASSERT_TRUE(WaitNotices(2));
  RunFor(100ms);  // the alert's id arrives
  const uint info = service.notices[0].id;
  const uint alert = service.notices[1].id;

  service.Invoke(info, QStringLiteral("default"));
  service.Invoke(alert, QStringLiteral("default"));
  ASSERT_TRUE(RunUntil([&] { return activations == 1; }, 10s));
  RunFor(100ms);
  EXPECT_EQ(activations, 1);

  notifier->CloseAlert();
  service.Invoke(alert, QStringLiteral("default"));
  RunFor(200ms);
  EXPECT_EQ(activations, 1);
}

TEST_F(DesktopNotifierTest, BackIsNormalUrgencyWithoutSoundOrAction) {
  service.capabilities = {QStringLiteral("body")};  // plain text: nothing escaped
  auto notifier = MakeNotifier();
  notifier->ShowInfo({u"A & B is back", u"http://x/?a=1&b=2"});
  ASSERT_TRUE(WaitNotices(1));
  const auto& n = service.notices[0];
  EXPECT_EQ(n.summary, QStringLiteral("A & B is back"));
  EXPECT_EQ(n.body, QStringLiteral("http://x/?a=1&b=2"));
  EXPECT_EQ(n.hints.value(QStringLiteral("urgency")).toInt(), 1);
  EXPECT_TRUE(n.hints.value(QStringLiteral("suppress-sound")).toBool());
  EXPECT_TRUE(n.actions.isEmpty());
  // Acknowledging an alert leaves the information alone (a close would reach
  // the service before the notice sent after it).
  notifier->CloseAlert();
  notifier->ShowInfo(kBack);
  ASSERT_TRUE(WaitNotices(2));
  EXPECT_TRUE(service.closed.empty());
}

TEST(DesktopNotifierWithoutServiceTest, SendsNothingAndGoesOn) {
  test::QtApp();
  test::PrivateBus bus;  // a bus with no notification service on it
  ASSERT_FALSE(bus.address().isEmpty());
  for (const QDBusConnection& connection :
       {bus.Connect(QStringLiteral("lonely")),
        QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                      QStringLiteral("nobus"))}) {
    DBusDesktopNotifier notifier(connection);
    bool activated = false;
    notifier.SetActivationHook([&] { activated = true; });
    notifier.ShowAlert(kAlert);
    notifier.ShowInfo(kBack);
    notifier.CloseAlert();
    RunFor(200ms);
    EXPECT_FALSE(activated);
  }
  QDBusConnection::disconnectFromBus(QStringLiteral("nobus"));
}

}  // namespace
}  // namespace halvern
