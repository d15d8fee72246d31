#pragma once
// Why a check was started; stored with every check in the history.

namespace halvern {

enum class CheckKind { Scheduled = 0, Retry = 1, ManualRun = 2, SingleCheck = 3, WatchFailed = 4 };

}  // namespace halvern
