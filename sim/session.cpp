#include "session.h"

#include <algorithm>

#include "sim/trace.h"

namespace talvane {
namespace sim {

namespace {
QByteArray toBytes(const std::uint8_t* p, std::size_t n)
{
    return QByteArray(reinterpret_cast<const char*>(p), static_cast<qsizetype>(n));
}
}  // namespace

Session::Session(SwitchDevice& device, Writer writer, Trace* trace, Clock* clock)
    : device_(device)
    , writer_(std::move(writer))
    , trace_(trace)
    , timers_([this](int id) { onTimer(id); }, clock)
{
}

void Session::receive(const QByteArray& bytes)
{
    receive(reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<std::size_t>(bytes.size()));
}

void Session::receive(const std::uint8_t* data, std::size_t size)
{
    if (closed_)
        return;
    parser_.feed(data, size, [this](const StreamUnit& unit) { handleUnit(unit); });
    updateStallTimer();
}

void Session::close()
{
    closed_ = true;
    timers_.stopAll();
    queue_.clear();
    held_.clear();
}

void Session::onTimer(int id)
{
    switch (id) {
    case kSendTimer:
        pump();
        break;
    case kStallTimer:
        timers_.stop(kStallTimer);
        parser_.giveUpPartial([this](const StreamUnit& unit) { handleUnit(unit); });
        updateStallTimer();
        break;
    case kHoldTimer:
        timers_.stop(kHoldTimer);
        write(takeHeld());
        break;
    default:
        break;
    }
}

void Session::updateStallTimer()
{
    if (closed_)
        return;
    if (parser_.hasPartial())
        timers_.arm(kStallTimer, kStallMs);
    else
        timers_.stop(kStallTimer);
}

void Session::handleUnit(const StreamUnit& unit)
{
    if (closed_)
        return;
    if (trace_)
        trace_->received(unit.data, unit.size);
    for (const Outgoing& reply : device_.handle(unit)) {
        if (closed_)
            return;
        enqueue(reply);
    }
}

void Session::enqueue(const Outgoing& reply)
{
    const qint64 now = timers_.clock().nowUs();
    Queued q;
    // Replies keep their order whatever their delays.
    q.dueUs = std::max(now + reply.delayUs, queue_.empty() ? now : lastDueUs_);
    q.bytes.assign(reply.frame.bytes.begin(), reply.frame.bytes.end());
    q.hold = reply.holdForNext;
    q.splitAt = reply.splitAt;
    lastDueUs_ = q.dueUs;
    queue_.push_back(std::move(q));
    pump();
}

QByteArray Session::takeHeld()
{
    QByteArray out;
    for (const std::vector<std::uint8_t>& frame : held_) {
        if (trace_)
            trace_->sent(frame);
        out.append(toBytes(frame.data(), frame.size()));
    }
    held_.clear();
    timers_.stop(kHoldTimer);
    return out;
}

void Session::pump()
{
    Clock& clock = timers_.clock();
    for (;;) {
        const qint64 now = clock.nowUs();
        writeDue(now);
        if (queue_.empty()) {
            timers_.stop(kSendTimer);
            return;
        }
        const qint64 wait = queue_.front().dueUs - now;
        if (wait <= kPreciseStepUs && clock.waitUntilUs(queue_.front().dueUs))
            continue;
        // A timer counts whole milliseconds: it wakes the session early where
        // the clock waits out the rest, else at the first millisecond due.
        const qint64 ms = wait > kPreciseStepUs ? (wait - kPreciseStepUs / 2) / 1000 : (wait + 999) / 1000;
        timers_.arm(kSendTimer, static_cast<int>(std::max<qint64>(1, ms)));
        return;
    }
}

void Session::writeDue(qint64 now)
{
    while (!queue_.empty() && queue_.front().dueUs <= now) {
        Queued q = std::move(queue_.front());
        queue_.pop_front();
        if (q.hold) {
            held_.push_back(std::move(q.bytes));
            timers_.arm(kHoldTimer, kHoldLimitMs);
            continue;
        }
        QByteArray out = takeHeld();
        if (trace_ && !q.traced)
            trace_->sent(q.bytes);
        const std::size_t split = static_cast<std::size_t>(std::max(q.splitAt, 0));
        if (split > 0 && split < q.bytes.size()) {
            out.append(toBytes(q.bytes.data(), split));
            Queued rest;
            rest.dueUs = now + qint64(kSplitGapMs) * 1000;
            rest.bytes.assign(q.bytes.begin() + static_cast<std::ptrdiff_t>(split), q.bytes.end());
            rest.traced = true;
            lastDueUs_ = std::max(lastDueUs_, rest.dueUs);
            queue_.push_front(std::move(rest));
        } else {
            out.append(toBytes(q.bytes.data(), q.bytes.size()));
        }
        write(out);
        if (closed_)
            return;
    }
}

void Session::write(const QByteArray& bytes)
{
    if (!closed_ && !bytes.isEmpty() && writer_)
        writer_(bytes);
}

}  // namespace sim
}  // namespace talvane
