#pragma once
// A main window on a temporary store with fake platform services and the real
// internet layer, for tests that drive its commands.

#include <gtest/gtest.h>

#include <memory>

#include "clock.h"
#include "curl_internet.h"
#include "fakes.h"
#include "list_view.h"
#include "main_dlg.h"
#include "temp_store.h"
#include "ui_test_util.h"
#include "url_entry.h"

namespace halvern::test {

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetMessageBoxes();
    InitCurlGlobal();
  }
  void TearDown() override {
    window_.reset();
    ui::MessageBoxScript::Reset();
  }

  // Builds the window (initialised and shown), on `store` when given (a view
  // of temp_'s), with `autostart` behind Tools > "Start at Login" when given.
  ui::CMainDlg& Open(SettingsStore* store = nullptr, Autostart* autostart = nullptr) {
    ui::MainServices services{store ? *store : temp_.store(),
                              clock_,
                              timedRun_,
                              connections_,
                              sound_,
                              leds_,
                              idle_,
                              internet_,
                              [this](const QString& url) { openedUrls_.push_back(url); },
                              MonitorOptions{200, 5000}};
    services.autostart = autostart;
    services.storeFile = storeFile_;
    services.notifier = notifier_;
    window_ = std::make_unique<ui::CMainDlg>(services);
    timedRun_.host = &window_->host();
    window_->Create();
    window_->show();
    return *window_;
  }

  UrlEntry StoreEntry(const std::u16string& title, const std::u16string& url, bool enabled = true) {
    UrlEntry entry;
    InitUrlEntry(entry);
    SetEntryTitle(entry, title);
    SetEntryUrl(entry, url);
    entry.enabled = enabled ? 1 : 0;
    entry.sizeLimit = 0xFFFFFFFFu;
    EXPECT_TRUE(SaveUrlEntry(temp_.store(), title, entry));
    return entry;
  }

  std::vector<QString> RowTitles() {
    std::vector<QString> titles;
    for (int row = 0; row < list()->ItemCount(); ++row) titles.push_back(list()->ItemText(row));
    return titles;
  }
  ui::ListView* list() { return window_->list(); }
  bool Stored(const std::u16string& title) {
    return temp_.store().ReadSettingBinary(kUrlsSection, title).has_value();
  }

  TempStore temp_;
  SystemClock clock_;
  FakeTimedRun timedRun_;
  FakeConnections connections_;
  FakeSound sound_;
  FakeLeds leds_;
  NoIdleTimer idle_;
  CurlInternet internet_;
  std::vector<QString> openedUrls_;
  std::filesystem::path storeFile_;  // what Back Up Store copies; empty: disabled
  // The desktop's notifications, when a test gives the window some.
  DBusDesktopNotifier* notifier_ = nullptr;
  std::unique_ptr<ui::CMainDlg> window_;
};

}  // namespace halvern::test
