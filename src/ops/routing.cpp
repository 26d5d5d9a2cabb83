#include "routing.h"

#include "ops/limits.h"
#include "protocol/commands.h"
#include "protocol/replies.h"

namespace talvane {

namespace {
bool isPort(int n) { return n >= 1 && n <= kPortCount; }
}  // namespace

RouteSet::RouteSet(Session& session, int input, int output, QObject* parent)
    : Operation(session, parent)
    , input_(input)
    , output_(output)
{
}

void RouteSet::begin()
{
    exchange(requestFor(build::routeSet(input_, output_), limits::Command), [this](const CommandFrame&) {
        if (isPort(input_) && isPort(output_))
            emit routed(input_, output_);
        finish(Outcome::Done);
    });
}

ArcSet::ArcSet(Session& session, int output, bool on, QObject* parent)
    : Operation(session, parent)
    , output_(output)
    , on_(on)
{
}

void ArcSet::begin()
{
    // The acknowledgement names the output it set.
    exchange(requestFor(build::arcSet(output_, on_), limits::Command), [this](const CommandFrame& f) {
        emit arcReported(decode::arcSetAck(f).output, on_);
        finish(Outcome::Done);
    });
}

MatrixRead::MatrixRead(Session& session, Purpose purpose, QObject* parent)
    : Operation(session, parent)
    , purpose_(purpose)
{
}

MatrixRead::MatrixRead(Session& session, Purpose purpose, Part part, QObject* parent)
    : Operation(session, parent)
    , purpose_(purpose)
    , part_(part)
{
}

void MatrixRead::begin() { queryRoute(1); }

void MatrixRead::queryRoute(int output)
{
    const Timing timing = output == 1 ? timingOf(purpose_) : limits::ChainQuery;
    exchange(requestFor(build::routeQuery(output), timing), [this, output](const CommandFrame& f) {
        // The next query goes out first: the line works while the view updates.
        const bool last = output == kPortCount && part_ == Part::RoutesOnly;
        if (output < kPortCount)
            queryRoute(output + 1);
        else if (!last)
            queryArc(1);
        const int input = decode::routeAnswer(f).input;
        if (isPort(input))
            emit routeReported(output, input);
        if (last)
            finish(Outcome::Done);
    });
}

void MatrixRead::queryArc(int output)
{
    exchange(requestFor(build::arcQuery(output), limits::ChainQuery), [this, output](const CommandFrame& f) {
        const std::uint8_t state = decode::arcAnswer(f).state;
        const bool known = state == kStateOn || state == kStateOff;
        if (output == kPortCount) {
            if (known)
                emit arcReported(output, state == kStateOn);
            finish(Outcome::Done);
            return;
        }
        queryArc(output + 1);
        if (known)
            emit arcReported(output, state == kStateOn);
    });
}

}  // namespace talvane
