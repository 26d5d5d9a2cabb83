#include "limits.h"

#include <algorithm>
#include <initializer_list>

#include "protocol/answers.h"

namespace talvane {

namespace {

// How long an exchange may run from its first send.
qint64 totalOf(const Timing& t)
{
    const qint64 resent = qint64(t.firstMs) + qint64(t.resends) * t.retryMs;
    return t.giveUpMs > 0 ? std::min<qint64>(t.giveUpMs, resent) : resent;
}

ForwardedWait longest(std::initializer_list<Timing> timings)
{
    ForwardedWait w;
    for (const Timing& t : timings) {
        w.firstMs = std::max(w.firstMs, t.firstMs);
        if (t.resends > 0)
            w.retryMs = std::max(w.retryMs, t.retryMs);
        w.totalMs = std::max(w.totalMs, int(totalOf(t)));
    }
    return w;
}

// A read that takes a purpose: any of them may send it.
ForwardedWait anyPurpose()
{
    return longest({timingOf(Purpose::Operator), timingOf(Purpose::PageEntry), timingOf(Purpose::Background)});
}

}  // namespace

std::optional<ForwardedWait> forwardedWait(const std::uint8_t* bytes, std::size_t length, const CommandFrame* blockHeader)
{
    using Kind = AnswerRule::Kind;
    const AnswerRule rule = AnswerRule::of(bytes, length, blockHeader);
    const CommandFrame& sent = rule.sent();
    // The routing and EDID reads start at output A and input 1, timed by
    // their purpose; the rest of their chains wait as their own steps do.
    constexpr int kFirstPort = 1;
    switch (rule.kind()) {
    case Kind::Unknown:
        return std::nullopt;
    case Kind::DeviceKind:
    case Kind::DevicePorts:
    case Kind::DeviceVersion:
    case Kind::IdentRead:
    case Kind::PowerState:
        return anyPurpose();
    case Kind::RouteQuery:
        return decode::routeQueryOutput(sent) == kFirstPort ? anyPurpose() : longest({limits::ChainQuery});
    case Kind::EdidStatus:
        return decode::queriedPort(sent) == kFirstPort ? anyPurpose() : longest({limits::Command});
    case Kind::ArcQuery:
        return longest({limits::ChainQuery});
    case Kind::PortStatus:
    case Kind::RouteSet:
    case Kind::ArcSet:
    case Kind::Reboot:
    case Kind::EdidFactoryPreset:
        return longest({limits::Command});
    case Kind::BeepState:
    case Kind::BeepSet:
    case Kind::BeepFactoryMarker:
    case Kind::IdentWrite:
        return longest({limits::Quiet});
    case Kind::PowerSet:
        return longest({decode::stateAsked(sent) == kStateOn ? limits::PowerOn : limits::Quiet});
    case Kind::FactoryReset:
        return longest({limits::FactoryReset});
    // An EDID setting: every command of it within the setting's limit; the
    // raw block goes out after the header's pause.
    case Kind::EdidPreset:
    case Kind::EdidCopy:
    case Kind::EdidUploadRequest:
    case Kind::EdidUploadTarget:
        return longest({Timing{limits::EdidSettingMs}});
    case Kind::EdidBlockHeader:
        return longest({Timing{limits::EdidBlockPauseMs}});
    case Kind::EdidBlock:
        return longest({Timing{limits::EdidSettingMs - limits::EdidBlockPauseMs}});
    case Kind::UpgradeStart:
        return longest({limits::UpgradeStart});
    case Kind::TransferRequest:
        return longest({limits::TransferRequest});
    case Kind::FirmwareBlock:
        return longest({limits::FirmwareBlock});
    case Kind::RebootPoll:
        return longest({limits::RebootPoll});
    }
    return std::nullopt;
}

}  // namespace talvane
