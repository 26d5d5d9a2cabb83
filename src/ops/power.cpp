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
    exchange(requestFor(build::powerSet(on_), on_ ? limits::PowerOn : limits::Quiet),
             [this](const CommandFrame&) { finish(Outcome::Done); });
}

BeepSet::BeepSet(Session& session, bool on, QObject* parent)
    : Operation(session, parent)
    , on_(on)
{
}

void BeepSet::begin()
{
    exchange(requestFor(build::beepSet(on_), limits::Quiet), [this](const CommandFrame& f) {
        emit beepReported(decode::beepSetAck(f).on);
        finish(Outcome::Done);
    });
}

FactoryReset::FactoryReset(Session& session, QObject* parent)
    : Operation(session, parent)
{
}

void FactoryReset::begin()
{
    exchange(requestFor(build::factoryReset(), limits::FactoryReset), [this](const CommandFrame&) { finish(Outcome::Done); });
}

Reboot::Reboot(Session& session, QObject* parent)
    : Operation(session, parent)
{
}

void Reboot::begin()
{
    exchange(requestFor(build::reboot(), limits::Command), [this](const CommandFrame&) { finish(Outcome::Done); });
}

ExtendedFactoryReset::ExtendedFactoryReset(Session& session, QObject* parent)
    : Operation(session, parent)
{
}

void ExtendedFactoryReset::begin() { route(1); }

void ExtendedFactoryReset::route(int output)
{
    const int input = output == 1 ? kFactoryResetInput : kFactoryResetRouteInput;
    exchange(requestFor(build::routeSet(input, output), limits::Command), [this, output](const CommandFrame&) {
        if (output < kPortCount)
            route(output + 1);
        else
            edidPreset();
    });
}

void ExtendedFactoryReset::edidPreset()
{
    exchange(requestFor(build::edidFactoryPreset(), limits::Command), [this](const CommandFrame&) { beeperMarker(); });
}

void ExtendedFactoryReset::beeperMarker()
{
    exchange(requestFor(build::beepSetFactoryMarker(), limits::Quiet), [this](const CommandFrame&) {
        emit beepReported(true);
        finish(Outcome::Done);
    });
}

}  // namespace talvane
