// Numbered, repeating window timers, one host per window: arm(id, ms) starts
// or re-starts timer `id`; it fires every `ms` until stopped.
#pragma once

#include <functional>
#include <map>

#include "clock.h"

namespace talvane {

class TimerHost {
public:
    using Handler = std::function<void(int id)>;

    explicit TimerHost(Handler onTimer, Clock* clock = nullptr);  // nullptr: appClock()
    ~TimerHost();
    TimerHost(const TimerHost&) = delete;
    TimerHost& operator=(const TimerHost&) = delete;

    void arm(int id, int ms);
    void stop(int id);
    void stopAll();
    bool isArmed(int id) const;
    int intervalOf(int id) const;  // 0 when not armed
    Clock& clock() const { return *clock_; }

private:
    struct Entry {
        int handle;
        int interval;
    };
    Handler onTimer_;
    Clock* clock_;
    std::map<int, Entry> armed_;
};

}  // namespace talvane
