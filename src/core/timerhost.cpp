#include "timerhost.h"

namespace talvane {

TimerHost::TimerHost(Handler onTimer, Clock* clock)
    : onTimer_(std::move(onTimer))
    , clock_(clock ? clock : &appClock())
{
}

TimerHost::~TimerHost() { stopAll(); }

void TimerHost::arm(int id, int ms)
{
    stop(id);
    const int interval = ms < 1 ? 1 : ms;
    const int handle = clock_->startTimer(interval, [this, id] { onTimer_(id); });
    armed_[id] = Entry{handle, interval};
}

void TimerHost::stop(int id)
{
    auto it = armed_.find(id);
    if (it == armed_.end())
        return;
    clock_->stopTimer(it->second.handle);
    armed_.erase(it);
}

void TimerHost::stopAll()
{
    for (const auto& [id, e] : armed_)
        clock_->stopTimer(e.handle);
    armed_.clear();
}

bool TimerHost::isArmed(int id) const { return armed_.count(id) != 0; }

int TimerHost::intervalOf(int id) const
{
    auto it = armed_.find(id);
    return it == armed_.end() ? 0 : it->second.interval;
}

}  // namespace talvane
