// Makes a clock the application's clock for as long as it lives, and gives
// the system clock back after, also when a failed check leaves a test early.
#pragma once

#include "core/clock.h"

namespace talvane {

class AppClockScope {
public:
    explicit AppClockScope(Clock* clock) { setAppClock(clock); }
    ~AppClockScope() { setAppClock(nullptr); }
    AppClockScope(const AppClockScope&) = delete;
    AppClockScope& operator=(const AppClockScope&) = delete;
};

}  // namespace talvane
