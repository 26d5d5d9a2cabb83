#include "follow.h"

#include <algorithm>

#include "ops/limits.h"
#include "ops/runner.h"
#include "protocol/frame.h"

namespace talvane {

Follower::Follower(Runner& runner, QObject* parent)
    : QObject(parent)
    , runner_(runner)
{
}

void Follower::setEnabled(bool on)
{
    if (on == enabled_)
        return;
    enabled_ = on;
    if (on) {
        schedule(limits::FollowPeriodMs);
        return;
    }
    timer_.stop();
    if (running_)
        running_->cancel();
}

void Follower::schedule(int ms)
{
    timer_.start(ms, [this] { tick(); });
}

quint64 Follower::frames() const
{
    const Session::Counters& c = runner_.session().counters();
    return c.sent + c.received;
}

void Follower::tick()
{
    schedule(limits::FollowPeriodMs);
    // Only while nothing else is outstanding: an operator's command, a
    // page's own read, or the read before this one.
    Session& session = runner_.session();
    if (!enabled_ || runner_.busy() || running_ || !session.linkOpen() || !session.idle() || !read_)
        return;
    Operation* op = read_();
    if (!op)
        return;
    ++reads_;
    running_ = op;
    const qint64 started = session.clock().nowMs();
    const quint64 before = frames();
    connect(op, &Operation::finished, this,
            [this, started, before](Outcome outcome) { readEnded(outcome, started, before); });
    runner_.runBackground(op);
}

void Follower::readEnded(Outcome outcome, qint64 startedMs, quint64 framesBefore)
{
    running_ = nullptr;  // deleted later by the runner
    // The next read waits until this one's bytes, both ways, stay within the
    // line's share from its start.
    const quint64 bytes = (frames() - framesBefore) * kCommandFrameSize;
    const qint64 shareMs = qint64(bytes) * 1000 * 100 / (qint64(limits::LineBytesPerSecond) * limits::FollowLinePercent);
    const qint64 next = startedMs + std::max<qint64>(limits::FollowPeriodMs, shareMs);
    if (enabled_)
        schedule(int(std::max<qint64>(next - runner_.session().clock().nowMs(), 1)));
    if (outcome == Outcome::TimedOut)
        emit unanswered();
    else if (outcome == Outcome::Done)
        emit answered();
}

}  // namespace talvane
