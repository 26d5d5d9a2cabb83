#include "follow.h"

#include <algorithm>

#include "ops/limits.h"
#include "ops/runner.h"
#include "protocol/frame.h"

namespace talvane {

Follower::Follower(Runner& runner, QObject* parent)
    : QObject(parent)
    , runner_(runner)
    , period_(limits::FollowPeriodMs)
{
    runner_.session().addObserver(this);
}

Follower::~Follower() { runner_.session().removeObserver(this); }

void Follower::frameSent(const std::uint8_t*, std::size_t length)
{
    if (running_)
        lastReadBytes_ += qint64(length);
}

void Follower::frameReceived(const CommandFrame&)
{
    if (reads_ > 0 && (running_ || runner_.session().idle()))
        lastReadBytes_ += qint64(kCommandFrameSize);
}

qint64 Follower::nextReadMs() const
{
    // Rounded up: the share is a limit.
    const qint64 perSecond = qint64(limits::LineBytesPerSecond) * limits::FollowLinePercent;
    const qint64 shareMs = (lastReadBytes_ * 1000 * 100 + perSecond - 1) / perSecond;
    return lastStartMs_ + std::max<qint64>(period_, shareMs);
}

void Follower::setEnabled(bool on)
{
    if (on == enabled_)
        return;
    enabled_ = on;
    if (on) {
        schedule(period_);
        return;
    }
    timer_.stop();
    if (running_)
        running_->cancel();
}

void Follower::schedule(qint64 ms)
{
    timer_.start(int(std::max<qint64>(ms, 1)), [this] { tick(); });
}

void Follower::tick()
{
    schedule(period_);
    // Only while nothing else is outstanding: an operator's command, a
    // page's own read, or the read before this one.
    Session& session = runner_.session();
    if (!enabled_ || runner_.busy() || running_ || !session.linkOpen() || !session.idle() || !read_)
        return;
    // What came in after the last read may have put off its share.
    const qint64 now = session.clock().nowMs();
    if (reads_ > 0 && nextReadMs() > now) {
        schedule(nextReadMs() - now);
        return;
    }
    Operation* op = read_();
    if (!op)
        return;
    ++reads_;
    running_ = op;
    lastStartMs_ = now;
    lastReadBytes_ = 0;
    connect(op, &Operation::finished, this, [this](Outcome outcome) { readEnded(outcome); });
    runner_.runBackground(op);
}

void Follower::readEnded(Outcome outcome)
{
    running_ = nullptr;  // deleted later by the runner
    if (enabled_)
        schedule(nextReadMs() - runner_.session().clock().nowMs());
    if (outcome == Outcome::TimedOut)
        emit unanswered();
    else if (outcome == Outcome::Done)
        emit answered();
}

}  // namespace talvane
