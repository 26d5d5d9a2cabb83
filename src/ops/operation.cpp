#include "operation.h"

#include "protocol/answers.h"

namespace talvane {

std::vector<std::uint8_t> bytesOf(const CommandFrame& frame) { return {frame.bytes.begin(), frame.bytes.end()}; }

namespace {
Request ruled(std::vector<std::uint8_t> bytes, const AnswerRule& rule, Timing timing)
{
    Request r{std::move(bytes), {}, timing};
    if (rule.expectsAnswer())
        r.answers = rule;
    return r;
}
}  // namespace

Request requestFor(const CommandFrame& command, Timing timing)
{
    return ruled(bytesOf(command), AnswerRule::of(command), timing);
}

Request requestFor(const DataFrame& block, Timing timing)
{
    return ruled({block.bytes.begin(), block.bytes.end()}, AnswerRule::of(block), timing);
}

Request edidBlockRequest(const std::uint8_t* block, const CommandFrame& header, Timing timing)
{
    return ruled({block, block + kRawEdidBlockSize}, AnswerRule::ofEdidBlock(header), timing);
}

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
