// Check Now from the button to the rows, the log and the alert popup, against
// a local HTTP server, with the real check run, site check and internet layer.

#include <gtest/gtest.h>

#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>

#include "alerts.h"
#include "http_test_server.h"
#include "main_window_fixture.h"

namespace halvern::test {
namespace {

using namespace halvern::res;

TEST_F(MainWindowTest, CheckNowChecksEveryEnabledEntryAndAlertsOnTheFailure) {
  HttpTestServer server;
  server.http().Get("/ok", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("hello", "text/html");
  });
  server.http().Get("/missing", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content("no such page", "text/html");
  });
  server.Start();
  StoreEntry(u"First", server.Url16("/ok"));
  StoreEntry(u"Second", server.Url16("/ok?2"));
  StoreEntry(u"Broken", server.Url16("/missing"));
  StoreEntry(u"Sleeping", server.Url16("/missing"), /*enabled=*/false);
  auto& window = Open();
  auto* button = window.Control<QPushButton>(IDC_CHECK_NOW);

  button->click();  // books the launcher now; its UM_RUN_CHECK makes a manual run
  auto row = [&](const char* title) { return list()->FindItem(QString::fromUtf8(title)); };
  ASSERT_TRUE(WaitFor([&] {
    return window.monitor().RunningJobCount() == 0 && list()->ItemImage(row("First")) == 2 &&
           list()->ItemImage(row("Second")) == 2 && list()->ItemImage(row("Broken")) == 3;
  }));
  for (const char* title : {"First", "Second"}) {
    EXPECT_TRUE(list()->ItemText(row(title), 1).startsWith(QStringLiteral("Lasted checked on ")))
        << title;
  }
  EXPECT_EQ(list()->ItemText(row("Broken"), 1), QStringLiteral("Failed. Not Found"));
  EXPECT_EQ(list()->ItemImage(row("Sleeping")), 0);
  EXPECT_EQ(list()->ItemText(row("Sleeping"), 1), QString());
  EXPECT_EQ(button->text(), QStringLiteral("Check Now"));
  EXPECT_TRUE(button->isEnabled());

  // The failure raised the alert: popup, sound, LED.
  ui::CNotificationDlg* popup = window.popup().window();
  ASSERT_NE(popup, nullptr);
  EXPECT_TRUE(popup->isVisible());
  EXPECT_EQ(popup->Control<QLabel>(IDC_ALERT_TITLE)->text(), QStringLiteral("Broken"));
  EXPECT_EQ(popup->Control<QLabel>(IDC_ALERT_URL)->text(),
            QString::fromStdString(server.Url("/missing")));
  EXPECT_TRUE(popup->Control<QLabel>(IDC_ALERT_DESCRIPTION)
                  ->text()
                  .endsWith(QStringLiteral("\nSee the log file for more details.")));
  EXPECT_NE(window.monitor().AlertTime(), 0);
  EXPECT_TRUE(sound_.playing);
  EXPECT_TRUE(leds_.state[0]);

  // Closing the popup acknowledges the alert.
  popup->Control<QPushButton>(IDC_ALERT_CLOSE)->click();
  EXPECT_EQ(window.monitor().AlertTime(), 0);
  EXPECT_EQ(window.popup().window(), nullptr);
  EXPECT_FALSE(sound_.playing);
  EXPECT_FALSE(leds_.state[0]);
  EXPECT_FALSE(leds_.state[1]);

  // Every outcome is in the log.
  auto cursor = temp_.store().OpenSection(kLogSection);
  int records = 0;
  while (cursor && cursor->Enumerate(static_cast<std::size_t>(records))) ++records;
  EXPECT_EQ(records, 3);
}

TEST_F(MainWindowTest, ExitWithAPendingAlertSilencesEverything) {
  auto& window = Open();
  UrlEntry entry = StoreEntry(u"Broken", u"http://127.0.0.1:1/");
  window.monitor().alerts().RaiseAlert(entry, std::nullopt);
  ASSERT_TRUE(sound_.playing);
  ASSERT_TRUE(leds_.state[0]);
  window.Shutdown();
  EXPECT_FALSE(sound_.playing);
  EXPECT_FALSE(leds_.state[0]);
  EXPECT_FALSE(leds_.state[1]);
  EXPECT_EQ(window.popup().window(), nullptr);
  ASSERT_FALSE(timedRun_.bookings.empty());
  EXPECT_FALSE(timedRun_.bookings.back().has_value());
}

}  // namespace
}  // namespace halvern::test
