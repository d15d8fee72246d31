// A check run over 1,000 stored entries of which none is due: the walk with the
// due test, the booking of the next wake-up, the alert repeat step and the log
// expiry, as UM_RUN_CHECK does them. Run by hand: run_bench [repeats]. Prints
// the median and the extremes, for runs where the daily expiry only reads its
// guard and for runs where it walks a log of 1,000 records.

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "alert_devices.h"
#include "alerts.h"
#include "check_log.h"
#include "check_run.h"
#include "clock.h"
#include "connection_manager.h"
#include "internet.h"
#include "settings.h"
#include "sqlite_store.h"
#include "timed_run.h"
#include "url_entry.h"
#include "url_list.h"
#include "window_host.h"

using namespace halvern;

namespace {

constexpr std::int64_t kNow = 1196071200;
constexpr int kEntries = 1000;

// Services a run with nothing due never reaches, or barely does.
struct Quiet final : WindowHost,
                     UrlList,
                     TimedRun,
                     ConnectionManager,
                     SoundPlayer,
                     LedDevices,
                     IdleTimer,
                     Internet,
                     AlertPopup,
                     CheckNowButton {
  void PostMessage(std::uint32_t, std::uintptr_t, std::intptr_t) override {}
  void PostOwnedMessage(std::uint32_t, std::unique_ptr<MessagePayload>, std::intptr_t) override {}
  void Send(const std::function<void()>& call) override { call(); }
  void SetTimer(std::uint32_t, std::uint32_t) override {}
  void KillTimer(std::uint32_t) override {}
  int InsertRow(int, const std::u16string&, int) override { return 0; }
  void DeleteRow(int) override {}
  int FindRow(const std::u16string&) const override { return -1; }
  void SetRowStatusText(int, const std::u16string&) override {}
  void SetRowImage(int, int) override {}
  bool RunAppAtTime(const std::u16string&, const std::optional<LocalTime>&) override {
    ++bookings;
    return true;
  }
  std::unique_ptr<Connection> EstablishConnection(std::uint32_t) override { return nullptr; }
  bool PlayLooping(const std::u16string&) override { return true; }
  void Stop() override {}
  void SetLed(int, bool) override {}
  void Reset() override {}
  std::optional<InternetError> AttemptConnect() override { return std::nullopt; }
  SessionResult OpenSession(ProxyType, const std::u16string&, const std::u16string&) override {
    return {};
  }
  void Show(const UrlEntry&, const std::optional<std::u16string>&, std::int64_t) override {}
  void Destroy() override {}
  void SetCaption(const std::u16string&) override {}
  void SetEnabled(bool) override {}
  int bookings = 0;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void Report(const char* what, const std::vector<double>& ms) {
  std::printf("%-44s median %7.2f ms  min %7.2f  max %7.2f  (%zu runs)\n", what, Median(ms),
              *std::min_element(ms.begin(), ms.end()), *std::max_element(ms.begin(), ms.end()),
              ms.size());
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  ::setenv("TZ", "UTC", 1);
  std::string pattern = (std::filesystem::temp_directory_path() / "halvern-bench-XXXXXX");
  const std::filesystem::path dir = ::mkdtemp(pattern.data());
  std::string error;
  auto store = SqliteStore::Open(dir / "registry.sqlite3", u"Velmora", error);
  if (!store) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }

  ManualClock clock(kNow);
  for (int i = 0; i < kEntries; ++i) {
    UrlEntry e;
    InitUrlEntry(e);
    const std::string t = "site " + std::to_string(i);
    SetEntryTitle(e, std::u16string(t.begin(), t.end()));
    SetEntryUrl(e, u"http://127.0.0.1/page");
    e.lastSuccessTime = kNow;  // checked just now: not due for 45 minutes
    if (!SaveUrlEntry(*store, EntryTitle(e), e))
      std::fprintf(stderr, "bench: a store write failed\n");
  }
  if (!WriteSetting(*store, kKeepLogFiles, 8))
    std::fprintf(stderr, "bench: a store write failed\n");  // 30 days: the log below stays
  UrlEntry logged;
  InitUrlEntry(logged);
  SetEntryTitle(logged, u"logged");
  for (int i = 0; i < kEntries; ++i) {
    if (!WriteLogRecord(*store, clock, logged, i % 2, u"OK")) {
      std::fprintf(stderr, "bench: a store write failed\n");
    }
  }

  Quiet quiet;
  Alerts alerts(AlertServices{*store, clock, quiet, quiet, quiet, quiet});
  // Borrowed shares (no owner): everything here outlives the run.
  const std::shared_ptr<Quiet> borrowed(std::shared_ptr<Quiet>(), &quiet);
  CheckRun run(
      CheckRunServices{std::shared_ptr<SettingsStore>(std::shared_ptr<void>(), store.get()),
                       std::shared_ptr<const Clock>(std::shared_ptr<void>(), &clock), quiet,
                       borrowed, quiet, quiet, quiet, quiet, borrowed, quiet, alerts});

  auto timeRun = [&] {
    const auto start = std::chrono::steady_clock::now();
    run.OnRunCheck(0);
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
  };

  std::vector<double> guardOnly;
  std::vector<double> withExpiry;
  for (int i = 0; i < repeats; ++i) {
    clock.Advance(60);  // same day: the expiry only reads its guard
    guardOnly.push_back(timeRun());
  }
  for (int i = 0; i < repeats && i < 20; ++i) {
    clock.Advance(86400);  // a new day: the expiry walks the log
    withExpiry.push_back(timeRun());
  }
  if (run.RunningJobCount() != 0 || quiet.bookings != repeats + std::min(repeats, 20)) {
    std::fprintf(stderr, "a run started checks or missed its booking\n");
    return 1;
  }
  // For scale: the expiry's one durable write of its daily guard.
  std::vector<double> oneWrite;
  for (int i = 0; i < 20; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!WriteSetting(*store, kRemoveExpairedLogItems, u"bench " + std::u16string(1, u'a' + i)))
      std::fprintf(stderr, "bench: a store write failed\n");
    oneWrite.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  Report("1,000 entries, none due", guardOnly);
  Report("1,000 entries, none due, daily expiry (1,000)", withExpiry);
  Report("one setting write (for scale)", oneWrite);

  store.reset();
  std::filesystem::remove_all(dir);
  return 0;
}
