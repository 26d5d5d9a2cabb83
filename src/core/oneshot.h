// A timer that fires once on a Clock (the app clock unless given another),
// for waits that belong to one object: an exchange's time limit, the pause
// before a result closes. Starting it again replaces the pending firing;
// destroying it stops it.
#pragma once

#include <functional>

#include "clock.h"

namespace talvane {

class OneShot {
public:
    explicit OneShot(Clock* clock = nullptr) : clock_(clock ? clock : &appClock()) {}
    ~OneShot() { stop(); }
    OneShot(const OneShot&) = delete;
    OneShot& operator=(const OneShot&) = delete;

    void start(int ms, std::function<void()> onFire)
    {
        stop();
        handle_ = clock_->startTimer(ms < 1 ? 1 : ms, [this, cb = std::move(onFire)] {
            stop();
            cb();  // may start this timer again, or destroy its owner: nothing of `this` after it
        });
    }
    void stop()
    {
        if (handle_) {
            clock_->stopTimer(handle_);
            handle_ = 0;
        }
    }
    bool active() const { return handle_ != 0; }
    Clock& clock() const { return *clock_; }

private:
    Clock* clock_;
    int handle_ = 0;
};

}  // namespace talvane
