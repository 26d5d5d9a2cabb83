#include "operation.h"

namespace talvane {

std::vector<std::uint8_t> bytesOf(const CommandFrame& frame) { return {frame.bytes.begin(), frame.bytes.end()}; }

Operation::Operation(Session& session, QObject* parent)
    : QObject(parent)
    , session_(&session)
{
}

Operation::Operation(QObject* parent)
    : QObject(parent)
{
}

Operation::~Operation()
{
    if (inFlight_)
        session_->cancel(exchange_);
}

void Operation::start()
{
    if (state_ != State::Idle)
        return;
    state_ = State::Running;
    begin();
}

void Operation::cancel() { finish(Outcome::Cancelled); }

void Operation::exchange(Request request, std::function<void(const CommandFrame&)> onAnswer, std::function<void()> onEnd)
{
    if (state_ != State::Running)
        return;
    Q_ASSERT(session_);
    inFlight_ = true;
    exchange_ = session_->start(
        std::move(request),
        [this, onAnswer = std::move(onAnswer)](const CommandFrame& reply) {
            inFlight_ = false;
            onAnswer(reply);
        },
        [this, onEnd = std::move(onEnd)] {
            inFlight_ = false;
            if (onEnd)
                onEnd();
            else
                finish(Outcome::TimedOut);
        });
}

void Operation::finish(Outcome outcome)
{
    if (state_ != State::Running)
        return;
    state_ = State::Finished;
    outcome_ = outcome;
    if (inFlight_) {
        session_->cancel(exchange_);
        inFlight_ = false;
    }
    ended();
    emit finished(outcome);
}

}  // namespace talvane
