#pragma once
// What the program knows of every entry's last outcome, and the tray state
// drawn from it: the worst condition of all entries (a failed entry, else a
// pending certificate warning, else normal), whether an alert is pending (the
// tray blinks), and the counts its tooltip tells. The start-up fills it from
// the store, so that rows and tray tell the truth from the first moment; the
// check run updates it with every outcome, the alerts with their state, and
// the main window when a row goes away or is edited. Window thread only.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace halvern {

class SettingsStore;
class UrlList;

enum class EntryCondition : std::uint8_t { kNeverChecked, kPassed, kFailed };

// Ordered from best to worst: the tray shows the highest level any entry has.
enum class TrayLevel : std::uint8_t { kNormal = 0, kWarning = 1, kFailed = 2 };

struct TrayState {
  TrayLevel level = TrayLevel::kNormal;
  bool blinking = false;  // an alert is pending (not yet acknowledged)
  int failed = 0;         // entries whose last outcome was a failure
  int warnings = 0;       // entries with a pending certificate warning
  bool operator==(const TrayState&) const = default;
};

class EntryStates {
 public:
  // Called with the new tray state whenever it changes.
  using Listener = std::function<void(const TrayState&)>;
  void SetListener(Listener listener) { listener_ = std::move(listener); }

  void SetPassed(const std::u16string& title);
  // `reason`: what the row says after "Failed. ".
  void SetFailed(const std::u16string& title, const std::u16string& reason);
  // Known but not checked since (an edited entry starts afresh).
  void SetNeverChecked(const std::u16string& title);
  // The entry's row went away.
  void Forget(const std::u16string& title);
  // A pending certificate warning of the entry (shown amber unless it failed).
  void SetWarning(const std::u16string& title, bool on);
  void SetAlertPending(bool pending);

  EntryCondition Condition(const std::u16string& title) const;
  // The reason of the entry's last failure; nothing unless its last outcome failed.
  std::optional<std::u16string> FailureReason(const std::u16string& title) const;
  TrayState Tray() const { return tray_; }

 private:
  struct State {
    EntryCondition condition = EntryCondition::kNeverChecked;
    bool warning = false;
    std::u16string reason;
  };
  State& At(const std::u16string& title);
  void Set(const std::u16string& title, EntryCondition condition, const std::u16string& reason);
  void Count(const State& state, int sign);
  // Derives the level and tells the listener when anything differs from `before`.
  void Changed(const TrayState& before);

  std::map<std::u16string, State> entries_;  // by folded title
  TrayState tray_;
  Listener listener_;
};

// The row text of an entry that passed at `time`: "Lasted checked on %X %x".
std::u16string PassedStatusText(std::int64_t time);

// Start-up: every listed entry's row shows the outcome its stored record last
// had: image 3 and "Failed. <text of its last failure record>" ("Failed."
// when the log has none) for an entry whose failureCount is above 0, image 2
// and "Lasted checked on ..." of its lastSuccessTime for one that passed, and
// image 0 with an empty status for one never checked. Rows also get the
// entry's address as their tooltip. `states` learns the same. Returns the
// titles of the entries that failed.
std::vector<std::u16string> ShowStoredOutcomes(SettingsStore& store, UrlList& list,
                                               EntryStates& states);

// The time of the first failure logged for `title` after `lastSuccess` and
// not after `until`: where an outage that ended at `until` began. Nothing
// when the log holds no such record.
std::optional<std::int64_t> OutageStart(SettingsStore& store, const std::u16string& title,
                                        std::int64_t lastSuccess, std::int64_t until);

// "45 s", "12 min", "2 h 14 min", "3 d 5 h": how long an outage lasted.
std::u16string FormatOutage(std::int64_t seconds);

}  // namespace halvern
