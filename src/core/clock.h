// Time source for every window timer. Production runs on Qt timers; tests run
// on a manual clock that only moves when told to, so no test waits in real time.
#pragma once

#include <QtGlobal>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

class QObject;

namespace talvane {

class Clock {
public:
    using Callback = std::function<void()>;
    virtual ~Clock() = default;

    virtual qint64 nowMs() const = 0;
    // The same time line in microseconds.
    virtual qint64 nowUs() const { return nowMs() * 1000; }
    // Blocks until nowUs() reaches `us`: the fraction of a millisecond that a
    // timer cannot resolve. False, at once, for a clock that cannot wait (a
    // manual clock moves only when told).
    virtual bool waitUntilUs(qint64 us)
    {
        (void)us;
        return false;
    }
    // Starts a repeating timer; returns a handle > 0.
    virtual int startTimer(int intervalMs, Callback onFire) = 0;
    virtual void stopTimer(int handle) = 0;
    virtual bool isRunning(int handle) const = 0;
};

// Qt timers on the calling thread's event loop.
class SystemClock final : public Clock {
public:
    SystemClock();
    ~SystemClock() override;
    qint64 nowMs() const override;
    qint64 nowUs() const override;
    bool waitUntilUs(qint64 us) override;
    int startTimer(int intervalMs, Callback onFire) override;
    void stopTimer(int handle) override;
    bool isRunning(int handle) const override;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// A clock that moves only through advance(). Timers fire in time order (ties in
// the order they were started); a handler may start and stop timers, and those
// take part in the same advance. After each firing the calling thread's posted
// events are delivered, as a window's message queue is emptied before its next
// timer message.
class ManualClock final : public Clock {
public:
    qint64 nowMs() const override { return now_; }
    int startTimer(int intervalMs, Callback onFire) override;
    void stopTimer(int handle) override;
    bool isRunning(int handle) const override;

    void advance(qint64 ms);
    int runningCount() const { return static_cast<int>(timers_.size()); }

private:
    struct Timer {
        qint64 due;
        qint64 interval;
        quint64 order;
        std::shared_ptr<Callback> callback;
    };
    bool fireOneDueBy(qint64 limit);

    qint64 now_ = 0;
    quint64 nextOrder_ = 0;
    int nextHandle_ = 1;
    std::map<int, Timer> timers_;
};

// The clock that windows use unless given another. Tests install a ManualClock
// before creating windows.
Clock& appClock();
void setAppClock(Clock* clock);  // nullptr restores the system clock

}  // namespace talvane
