#pragma once
// Why a check was started. The numbers are kept with stored outcomes (the
// history of checks), so a value never changes its meaning; new kinds take
// new numbers.

#include <cstdint>

namespace halvern {

enum class CheckKind : std::int32_t {
  Scheduled = 0,    // a scheduled run found the entry due
  Retry = 1,        // the retry of a failed scheduled check (or of a retry)
  ManualRun = 2,    // Check Now
  SingleCheck = 3,  // a double-click (or Enter) on the entry's row
  WatchFailed = 4,  // a scheduled run watching an entry that failed until it is back
};

// Scheduled checks and their retries may be retried; the others may not.
constexpr bool RetriesAllowed(CheckKind kind) {
  return kind == CheckKind::Scheduled || kind == CheckKind::Retry;
}

}  // namespace halvern
