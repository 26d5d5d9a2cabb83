#include "status.h"

#include "ops/limits.h"
#include "protocol/commands.h"
#include "protocol/replies.h"

namespace talvane {

PowerStateRead::PowerStateRead(Session& session, Timing timing, QObject* parent)
    : Operation(session, parent)
    , timing_(timing)
{
}

void PowerStateRead::begin()
{
    // Only a state the switch names on or off answers the query.
    Request r{bytesOf(build::powerStateQuery()),
              [](const CommandFrame& f) {
                  if (commandIdOf(f) != cmd::PowerStateQuery)
                      return false;
                  const std::uint8_t state = decode::powerState(f).state;
                  return state == kStateOn || state == kStateOff;
              },
              timing_};
    exchange(std::move(r), [this](const CommandFrame& f) {
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
    Request r{bytesOf(build::beepStateQuery()),
              [](const CommandFrame& f) { return commandIdOf(f) == cmd::BeepStateQuery && decode::beepState(f).status == 0; },
              limits::Quiet};
    exchange(std::move(r), [this](const CommandFrame& f) {
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
    const CommandId id = input ? cmd::InputStatusQuery : cmd::OutputStatusQuery;
    Request r{bytesOf(input ? build::inputStatusQuery(port) : build::outputStatusQuery(port)),
              [id, port](const CommandFrame& f) { return commandIdOf(f) == id && decode::portStatus(f).port == port; },
              limits::Command};
    exchange(std::move(r), [this, step, input, port](const CommandFrame& f) {
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
