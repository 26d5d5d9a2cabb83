#include "clock.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace talvane {

namespace {

// A Qt timer and the handler it calls now. Stopped ones are kept to be
// started again rather than deleted: the one stopped may be the one whose
// timeout is being handled, and deleting it later cost a posted event (a
// turn of the event loop) and an allocation for every exchange's time limit.
struct TimerSlot {
    QTimer timer;
    std::shared_ptr<Clock::Callback> onFire;
    TimerSlot()
    {
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            // Kept for the call: the handler may stop this timer and start another.
            const std::shared_ptr<Clock::Callback> f = onFire;
            if (f)
                (*f)();
        });
    }
};

}  // namespace

struct SystemClock::Impl {
    QElapsedTimer elapsed;
    int nextHandle = 1;
    std::map<int, std::unique_ptr<TimerSlot>> timers;
    std::vector<std::unique_ptr<TimerSlot>> spare;
};

SystemClock::SystemClock()
    : d(std::make_unique<Impl>())
{
    d->elapsed.start();
}

SystemClock::~SystemClock() = default;

qint64 SystemClock::nowMs() const { return d->elapsed.elapsed(); }

qint64 SystemClock::nowUs() const { return d->elapsed.nsecsElapsed() / 1000; }

bool SystemClock::waitUntilUs(qint64 us)
{
    // A sleep may overrun by some tens of microseconds: sleep to just short of
    // the moment, then watch the clock for the rest.
    constexpr qint64 kWatchUs = 200;
    for (qint64 left = us - nowUs(); left > 0; left = us - nowUs()) {
        if (left > kWatchUs)
            std::this_thread::sleep_for(std::chrono::microseconds(left - kWatchUs));
        else
            std::this_thread::yield();
    }
    return true;
}

int SystemClock::startTimer(int intervalMs, Callback onFire)
{
    const int handle = d->nextHandle++;
    std::unique_ptr<TimerSlot> slot;
    if (d->spare.empty()) {
        slot = std::make_unique<TimerSlot>();
    } else {
        slot = std::move(d->spare.back());
        d->spare.pop_back();
    }
    slot->onFire = std::make_shared<Callback>(std::move(onFire));
    slot->timer.start(intervalMs);
    d->timers.emplace(handle, std::move(slot));
    return handle;
}

void SystemClock::stopTimer(int handle)
{
    auto it = d->timers.find(handle);
    if (it == d->timers.end())
        return;
    std::unique_ptr<TimerSlot> slot = std::move(it->second);
    d->timers.erase(it);
    slot->timer.stop();
    slot->onFire.reset();
    d->spare.push_back(std::move(slot));
}

bool SystemClock::isRunning(int handle) const { return d->timers.count(handle) != 0; }

int ManualClock::startTimer(int intervalMs, Callback onFire)
{
    const int handle = nextHandle_++;
    const qint64 interval = intervalMs < 1 ? 1 : intervalMs;
    timers_[handle] = Timer{now_ + interval, interval, nextOrder_++,
                            std::make_shared<Callback>(std::move(onFire))};
    return handle;
}

void ManualClock::stopTimer(int handle) { timers_.erase(handle); }

bool ManualClock::isRunning(int handle) const { return timers_.count(handle) != 0; }

bool ManualClock::fireOneDueBy(qint64 limit)
{
    auto next = timers_.end();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->second.due > limit)
            continue;
        if (next == timers_.end() || it->second.due < next->second.due
            || (it->second.due == next->second.due && it->second.order < next->second.order))
            next = it;
    }
    if (next == timers_.end())
        return false;
    // A nested advance (from a handler) may already have moved time on.
    now_ = std::max(now_, next->second.due);
    // Re-schedule before firing: the handler may stop or re-arm it.
    next->second.due += next->second.interval;
    next->second.order = nextOrder_++;
    std::shared_ptr<Callback> cb = next->second.callback;
    (*cb)();
    if (QCoreApplication::instance())
        QCoreApplication::sendPostedEvents();
    return true;
}

void ManualClock::advance(qint64 ms)
{
    const qint64 target = now_ + (ms < 0 ? 0 : ms);
    while (fireOneDueBy(target)) {
    }
    now_ = std::max(now_, target);
}

namespace {
Clock* g_clock = nullptr;
}

Clock& appClock()
{
    if (g_clock)
        return *g_clock;
    static SystemClock system;
    return system;
}

void setAppClock(Clock* clock) { g_clock = clock; }

}  // namespace talvane
