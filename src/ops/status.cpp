#include "status.h"

#include "ops/limits.h"
#include "protocol/commands.h"
#include "protocol/replies.h"

namespace talvane {

PowerStateRead::PowerStateRead(Session& session, Purpose purpose, QObject* parent)
    : Operation(session, parent)
    , purpose_(purpose)
{
}

void PowerStateRead::begin()
{
    exchange(requestFor(build::powerStateQuery(), timingOf(purpose_)), [this](const CommandFrame& f) {
        emit powerReported(decode::powerState(f).state == kStateOn);
        finish(Outcome::Done);
    });
}

BeepStateRead::BeepStateRead(Session& session, QObject* parent)
    : Operation(session, parent)
{
}

void BeepStateRead::begin()
{
    exchange(requestFor(build::beepStateQuery(), limits::Quiet), [this](const CommandFrame& f) {
        emit beepReported(decode::beepState(f).enabled);
        finish(Outcome::Done);
    });
}

PortStatusRead::PortStatusRead(Session& session, QObject* parent)
    : Operation(session, parent)
{
}

void PortStatusRead::begin() { query(0); }

void PortStatusRead::query(int step)
{
    const bool input = step % 2 == 0;
    const int port = step / 2 + 1;
    const CommandFrame frame = input ? build::inputStatusQuery(port) : build::outputStatusQuery(port);
    exchange(requestFor(frame, limits::Command), [this, step, input, port](const CommandFrame& f) {
        const bool connected = decode::portStatus(f).connected;
        if (step + 1 == 2 * kPortCount) {
            emit portReported(input, port, connected);
            finish(Outcome::Done);
            return;
        }
        query(step + 1);  // first: the line works while the view updates
        emit portReported(input, port, connected);
    });
}

}  // namespace talvane
