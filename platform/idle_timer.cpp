#include "idle_timer.h"

namespace halvern {

void NullIdleTimer::Reset() {}

}  // namespace halvern
