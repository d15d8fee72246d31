#include "entry_states.h"

#include <cstdio>
#include <utility>

#include "check_log.h"
#include "settings_store.h"
#include "url_entry.h"
#include "url_list.h"

namespace halvern {
namespace {

constexpr char16_t kFailedPrefix[] = u"Failed.";

bool Counts(EntryCondition condition) { return condition == EntryCondition::kFailed; }

// The position of a record among those of its second: "<time>" is 0,
// "<time>-n" is n.
long long RecordSuffix(std::u16string_view name) {
  const std::size_t dash = name.find(u'-', 1);
  if (dash == std::u16string_view::npos) return 0;
  long long suffix = 0;
  for (char16_t c : name.substr(dash + 1)) {
    if (c < u'0' || c > u'9' || suffix > 1'000'000'000) break;
    suffix = suffix * 10 + (c - u'0');
  }
  return suffix;
}

std::u16string Ascii(const char* text) {
  std::u16string out;
  for (; *text != '\0'; ++text) out.push_back(static_cast<char16_t>(*text));
  return out;
}

}  // namespace

EntryStates::State& EntryStates::At(const std::u16string& title) {
  return entries_[FoldTitle(title)];
}

void EntryStates::Count(const State& state, int sign) {
  if (Counts(state.condition)) tray_.failed += sign;
  if (state.warning) tray_.warnings += sign;
}

void EntryStates::Changed(const TrayState& before) {
  tray_.level = tray_.failed > 0     ? TrayLevel::kFailed
                : tray_.warnings > 0 ? TrayLevel::kWarning
                                     : TrayLevel::kNormal;
  if (tray_ != before && listener_) listener_(tray_);
}

void EntryStates::Set(const std::u16string& title, EntryCondition condition,
                      const std::u16string& reason) {
  State& state = At(title);
  const TrayState before = tray_;
  Count(state, -1);
  state.condition = condition;
  state.reason = reason;
  Count(state, +1);
  Changed(before);
}

void EntryStates::SetPassed(const std::u16string& title) {
  Set(title, EntryCondition::kPassed, {});
}

void EntryStates::SetFailed(const std::u16string& title, const std::u16string& reason) {
  Set(title, EntryCondition::kFailed, reason);
}

void EntryStates::SetNeverChecked(const std::u16string& title) {
  Set(title, EntryCondition::kNeverChecked, {});
}

void EntryStates::Forget(const std::u16string& title) {
  const auto it = entries_.find(FoldTitle(title));
  if (it == entries_.end()) return;
  const TrayState before = tray_;
  Count(it->second, -1);
  entries_.erase(it);
  Changed(before);
}

void EntryStates::SetWarning(const std::u16string& title, bool on) {
  State& state = At(title);
  const TrayState before = tray_;
  Count(state, -1);
  state.warning = on;
  Count(state, +1);
  Changed(before);
}

void EntryStates::SetAlertPending(bool pending) {
  const TrayState before = tray_;
  tray_.blinking = pending;
  Changed(before);
}

EntryCondition EntryStates::Condition(const std::u16string& title) const {
  const auto it = entries_.find(FoldTitle(title));
  return it == entries_.end() ? EntryCondition::kNeverChecked : it->second.condition;
}

std::optional<std::u16string> EntryStates::FailureReason(const std::u16string& title) const {
  const auto it = entries_.find(FoldTitle(title));
  if (it == entries_.end() || it->second.condition != EntryCondition::kFailed) return std::nullopt;
  return it->second.reason;
}

std::u16string PassedStatusText(std::int64_t time) {
  return FormatLocalTime(time, u"Lasted checked on %X %x");
}

std::vector<std::u16string> ShowStoredOutcomes(SettingsStore& store, UrlList& list,
                                               EntryStates& states) {
  struct Failed {
    std::u16string title;  // the row's text
    std::int64_t time = 0;
    long long suffix = -1;  // -1: no failure record found yet
    std::u16string text;
  };
  std::map<std::u16string, Failed> failed;  // by folded title
  std::vector<std::u16string> failedTitles;

  if (auto cursor = store.OpenSection(kUrlsSection)) {
    for (std::size_t i = 0;; ++i) {
      auto value = cursor->Enumerate(i);
      if (!value) break;
      UrlEntry entry;
      ReadEntryBytes(value->data, entry);
      // The row carries the name the entry is stored under.
      const std::u16string& title = value->name;
      const int row = list.FindRow(title);
      if (row >= 0) list.SetRowToolTip(row, EntryUrl(entry));
      if (entry.failureCount > 0) {
        failed.try_emplace(FoldTitle(title), Failed{title, 0, -1, {}});
        continue;
      }
      if (entry.lastSuccessTime == 0) {
        states.SetNeverChecked(title);
        continue;
      }
      states.SetPassed(title);
      if (row < 0) continue;
      list.SetRowStatusText(row, PassedStatusText(entry.lastSuccessTime));
      list.SetRowImage(row, kImagePassed);
    }
  }
  if (failed.empty()) return failedTitles;

  // One walk of the log finds the last failure record of every failed entry.
  if (auto cursor = store.OpenSection(kLogSection)) {
    for (std::size_t i = 0;; ++i) {
      auto value = cursor->Enumerate(i);
      if (!value) break;
      const LogRecord record = ReadLogRecordBytes(value->data);
      if (record.passed != 0) continue;
      const auto it = failed.find(FoldTitle(FieldText(record.title, std::size(record.title))));
      if (it == failed.end()) continue;
      const long long suffix = RecordSuffix(value->name);
      Failed& f = it->second;
      if (f.suffix >= 0 && (record.time < f.time || (record.time == f.time && suffix < f.suffix))) {
        continue;
      }
      f.time = record.time;
      f.suffix = suffix;
      f.text = FieldText(record.text, kLogTextChars);
    }
  }
  for (const auto& [folded, f] : failed) {
    std::u16string status = kFailedPrefix;
    if (f.suffix >= 0) status += u' ' + f.text;
    states.SetFailed(f.title, f.suffix >= 0 ? f.text : std::u16string());
    failedTitles.push_back(f.title);
    const int row = list.FindRow(f.title);
    if (row < 0) continue;
    list.SetRowStatusText(row, status);
    list.SetRowImage(row, kImageFailed);
  }
  return failedTitles;
}

std::optional<std::int64_t> OutageStart(SettingsStore& store, const std::u16string& title,
                                        std::int64_t lastSuccess, std::int64_t until) {
  auto cursor = store.OpenSection(kLogSection);
  if (!cursor) return std::nullopt;
  const std::u16string folded = FoldTitle(title);
  std::optional<std::int64_t> first;
  for (std::size_t i = 0;; ++i) {
    auto value = cursor->Enumerate(i);
    if (!value) break;
    const LogRecord record = ReadLogRecordBytes(value->data);
    if (record.passed != 0 || record.time <= lastSuccess || record.time > until) continue;
    if (first && record.time >= *first) continue;
    if (FoldTitle(FieldText(record.title, std::size(record.title))) != folded) continue;
    first = record.time;
  }
  return first;
}

std::u16string FormatOutage(std::int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char text[64];
  const long long s = seconds;
  if (s < 60) {
    std::snprintf(text, sizeof text, "%lld s", s);
  } else if (s < 3600) {
    std::snprintf(text, sizeof text, "%lld min", s / 60);
  } else if (s < 86400) {
    const long long minutes = s / 60 % 60;
    if (minutes == 0) {
      std::snprintf(text, sizeof text, "%lld h", s / 3600);
    } else {
      std::snprintf(text, sizeof text, "%lld h %lld min", s / 3600, minutes);
    }
  } else {
    const long long hours = s / 3600 % 24;
    if (hours == 0) {
      std::snprintf(text, sizeof text, "%lld d", s / 86400);
    } else {
      std::snprintf(text, sizeof text, "%lld d %lld h", s / 86400, hours);
    }
  }
  return Ascii(text);
}

}  // namespace halvern
