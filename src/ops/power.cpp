#include "power.h"

#include "ops/limits.h"
#include "protocol/commands.h"
#include "protocol/replies.h"

namespace talvane {

namespace {
// The extended factory reset routes this input to output A, and input 1 to the others.
constexpr int kFactoryResetInput = 3;
constexpr int kFactoryResetRouteInput = 1;
}  // namespace

PowerSet::PowerSet(Session& session, bool on, QObject* parent)
    : Operation(session, parent)
    , on_(on)
{
}

void PowerSet::begin()
{
    const std::uint8_t state = on_ ? kStateOn : kStateOff;
    Request r{bytesOf(build::powerSet(on_)),
              [state](const CommandFrame& f) {
                  if (commandIdOf(f) != cmd::PowerSet)
                      return false;
                  const decode::PowerSetAck a = decode::powerSetAck(f);
                  return a.status == 0 && a.state == state;
              },
              on_ ? limits::PowerOn : limits::Quiet};
    exchange(std::move(r), [this](const CommandFrame&) { finish(Outcome::Done); });
}

BeepSet::BeepSet(Session& session, bool on, QObject* parent)
    : Operation(session, parent)
    , on_(on)
{
}

void BeepSet::begin()
{
    Request r{bytesOf(build::beepSet(on_)),
              [](const CommandFrame& f) {
                  if (commandIdOf(f) != cmd::BeepSet)
                      return false;
                  const decode::BeepSetAck a = decode::beepSetAck(f);
                  return a.status == 0 && a.marker == 0;
              },
              limits::Quiet};
    exchange(std::move(r), [this](const CommandFrame& f) {
        emit beepReported(decode::beepSetAck(f).on);
        finish(Outcome::Done);
    });
}

namespace {
// A command acknowledged with status 0.
Request acknowledged(const CommandFrame& command, Timing timing)
{
    const CommandId id = commandIdOf(command);
    return Request{bytesOf(command), [id](const CommandFrame& f) { return commandIdOf(f) == id && decode::ackStatus(f) == 0; },
                   timing};
}
}  // namespace

FactoryReset::FactoryReset(Session& session, QObject* parent)
    : Operation(session, parent)
{
}

void FactoryReset::begin()
{
    exchange(acknowledged(build::factoryReset(), limits::FactoryReset), [this](const CommandFrame&) { finish(Outcome::Done); });
}

Reboot::Reboot(Session& session, QObject* parent)
    : Operation(session, parent)
{
}

void Reboot::begin()
{
    exchange(acknowledged(build::reboot(), limits::Command), [this](const CommandFrame&) { finish(Outcome::Done); });
}

ExtendedFactoryReset::ExtendedFactoryReset(Session& session, QObject* parent)
    : Operation(session, parent)
{
}

void ExtendedFactoryReset::begin() { route(1); }

void ExtendedFactoryReset::route(int output)
{
    const int input = output == 1 ? kFactoryResetInput : kFactoryResetRouteInput;
    // Each acknowledgement names the output it answers.
    Request r{bytesOf(build::routeSet(input, output)),
              [output](const CommandFrame& f) {
                  if (commandIdOf(f) != cmd::RouteSet)
                      return false;
                  const decode::RouteSetAck a = decode::routeSetAck(f);
                  return a.status == 0 && a.output == output;
              },
              limits::Command};
    exchange(std::move(r), [this, output](const CommandFrame&) {
        if (output < kPortCount)
            route(output + 1);
        else
            edidPreset();
    });
}

void ExtendedFactoryReset::edidPreset()
{
    Request r{bytesOf(build::edidFactoryPreset()),
              [](const CommandFrame& f) {
                  if (commandIdOf(f) != cmd::EdidSetAll)
                      return false;
                  const decode::EdidResult e = decode::edidResult(f);
                  return e.status == 0 && e.flag == 0 && e.target == kFactoryEdidPos6;
              },
              limits::Command};
    exchange(std::move(r), [this](const CommandFrame&) { beeperMarker(); });
}

void ExtendedFactoryReset::beeperMarker()
{
    Request r{bytesOf(build::beepSetFactoryMarker()),
              [](const CommandFrame& f) {
                  return commandIdOf(f) == cmd::BeepSet && decode::beepSetAck(f).marker == kFactoryResetMarker;
              },
              limits::Quiet};
    exchange(std::move(r), [this](const CommandFrame&) {
        emit beepReported(true);
        finish(Outcome::Done);
    });
}

}  // namespace talvane
