#include "switchstate.h"

#include <algorithm>

#include "protocol/replies.h"

namespace talvane {

bool SwitchSnapshot::routingKnown() const
{
    return std::all_of(routes.begin(), routes.end(), [](int input) { return input >= 1; });
}

namespace {

bool isPort(int n) { return n >= 1 && n <= kPortCount; }

std::size_t at(int port) { return std::size_t(port - 1); }

std::optional<bool> onOff(std::uint8_t state)
{
    if (state == kStateOn)
        return true;
    if (state == kStateOff)
        return false;
    return std::nullopt;
}

}  // namespace

SwitchState::SwitchState(Session& session, QObject* parent)
    : QObject(parent)
    , session_(&session)
{
    session.addObserver(this);
}

SwitchState::~SwitchState()
{
    if (session_)
        session_->removeObserver(this);
}

void SwitchState::exchangeAnswered(const std::vector<std::uint8_t>& sent, const CommandFrame& reply)
{
    if (sent.size() == kRawEdidBlockSize) {
        // The EDID block from a file: the inputs of the target sent before it now use it.
        if (decode::edidResult(reply).status == 0 && uploadTarget_)
            setEdid(*uploadTarget_, SwitchSnapshot::kEdidFromFile);
        uploadTarget_.reset();
        return;
    }
    if (sent.size() != kCommandFrameSize)
        return;  // a firmware block
    command(CommandFrame::fromBytes(sent.data()), reply);
}

void SwitchState::command(const CommandFrame& sent, const CommandFrame& reply)
{
    const CommandId id = commandIdOf(sent);
    if (id == cmd::RouteSet) {
        const decode::RouteSetCommand route = decode::routeSetCommand(sent);
        if (decode::routeSetAck(reply).status != 0 || !isPort(route.output) || !isPort(route.input))
            return;
        emit routeConfirmed(route.output, route.input);
        setRoute(route.output, route.input);
    } else if (id == cmd::RouteQuery) {
        const decode::RouteAnswer answer = decode::routeAnswer(reply);
        if (isPort(answer.output) && isPort(answer.input))
            setRoute(answer.output, answer.input);
    } else if (id == cmd::ArcSet) {
        // The acknowledgement names the output it confirms.
        const decode::ArcSetAck ack = decode::arcSetAck(reply);
        if (ack.status == 0 && isPort(ack.output) && onOff(ack.state))
            setFlag(now_.arc[at(ack.output)], *onOff(ack.state), Aspect::Arc, ack.output);
    } else if (id == cmd::ArcQuery) {
        const decode::ArcAnswer answer = decode::arcAnswer(reply);
        if (isPort(answer.output) && onOff(answer.state))
            setFlag(now_.arc[at(answer.output)], *onOff(answer.state), Aspect::Arc, answer.output);
    } else if (id == cmd::PowerSet) {
        const decode::PowerSetAck ack = decode::powerSetAck(reply);
        if (ack.status == 0)
            setFlag(now_.power, onOff(ack.state).value_or(decode::stateAsked(sent) == kStateOn), Aspect::Power, 0);
    } else if (id == cmd::PowerStateQuery) {
        if (const std::optional<bool> on = onOff(decode::powerState(reply).state))
            setFlag(now_.power, *on, Aspect::Power, 0);
    } else if (id == cmd::BeepSet) {
        const decode::BeepSetAck ack = decode::beepSetAck(reply);
        if (ack.status == 0)
            setFlag(now_.beeper, ack.on, Aspect::Beeper, 0);
    } else if (id == cmd::BeepStateQuery) {
        const decode::BeepState state = decode::beepState(reply);
        if (state.status == 0)
            setFlag(now_.beeper, state.enabled, Aspect::Beeper, 0);
    } else if (id == cmd::InputStatusQuery || id == cmd::OutputStatusQuery) {
        const decode::PortStatus status = decode::portStatus(reply);
        if (!isPort(status.port))
            return;
        const bool input = id == cmd::InputStatusQuery;
        auto& slot = input ? now_.sources[at(status.port)] : now_.displays[at(status.port)];
        setFlag(slot, status.connected, input ? Aspect::Source : Aspect::Display, status.port);
    } else if (id == cmd::EdidQuery) {
        const decode::EdidStatus status = decode::edidStatus(reply);
        if (isPort(status.input) && status.code >= 0 && status.code < kEdidCodeCount)
            setEdid(status.input, status.code);
    } else if (id == cmd::EdidSet || id == cmd::EdidSetAll || id == cmd::EdidCopy || id == cmd::EdidCopyAll) {
        if (decode::edidAnswer(reply, sent) != decode::EdidAnswer::Done)
            return;
        const decode::EdidSettingCommand setting = decode::edidSettingCommand(sent);
        setEdid(setting.target, setting.copy ? edidCopyCode(setting.source) : setting.source);
    } else if (id == cmd::EdidUploadTarget || id == cmd::EdidUploadTargetAll) {
        if (decode::edidAnswer(reply, sent) == decode::EdidAnswer::Accepted)
            uploadTarget_ = id == cmd::EdidUploadTargetAll ? 0 : int(sent[pos::P1]);
    } else if (id == cmd::UpgradePageQuery) {
        setNumber(now_.kind, decode::deviceKind(reply).kind, Aspect::Device);
    } else if (id == cmd::DeviceInfoQuery2) {
        const decode::DevicePorts ports = decode::devicePorts(reply);
        setNumber(now_.inputs, ports.inputs, Aspect::Device);
        setNumber(now_.outputs, ports.outputs, Aspect::Device);
    } else if (id == cmd::DeviceInfoQuery3) {
        const decode::DeviceVersion version = decode::deviceVersion(reply);
        setNumber(now_.versionMajor, version.major, Aspect::Device);
        setNumber(now_.versionMinor, version.minor, Aspect::Device);
    } else if (id.group == cmd::IdentGroup) {
        identAnswered(sent, reply);
    } else if (id == cmd::FactoryReset || id == cmd::Reboot || id == cmd::UpgradeStart) {
        if (decode::ackStatus(reply) == 0)
            forget(id == cmd::UpgradeStart);
    }
}

void SwitchState::identAnswered(const CommandFrame& sent, const CommandFrame& reply)
{
    const int code = sent.code();
    std::array<std::uint8_t, cmd::IdentPartLength> text{};
    int part = -1;
    if (code >= cmd::IdentReadFirst && code < cmd::IdentReadFirst + cmd::IdentParts) {
        const decode::IdentText answer = decode::identText(reply);
        part = answer.part;
        text = answer.text;
    } else if (code >= cmd::IdentWriteFirst && code < cmd::IdentWriteFirst + cmd::IdentParts) {
        const decode::IdentWriteAck ack = decode::identWriteAck(reply);
        if (ack.status != 0)
            return;
        part = ack.part;
        std::copy_n(sent.data() + pos::P1, cmd::IdentPartLength, text.begin());
    }
    if (part < 0 || part >= cmd::IdentParts)
        return;
    identParts_[std::size_t(part)] = text;
    if (!std::all_of(identParts_.begin(), identParts_.end(), [](const auto& p) { return p.has_value(); }))
        return;
    QByteArray whole;
    for (const auto& p : identParts_)
        whole.append(reinterpret_cast<const char*>(p->data()), qsizetype(p->size()));
    if (now_.ident == whole)
        return;
    now_.ident = whole;
    emit changed(Aspect::Ident, 0);
}

void SwitchState::setRoute(int output, int input)
{
    int& slot = now_.routes[at(output)];
    if (slot == input)
        return;
    slot = input;
    emit changed(Aspect::Route, output);
}

void SwitchState::setFlag(std::optional<bool>& slot, bool value, Aspect aspect, int port)
{
    if (slot == value)
        return;
    slot = value;
    emit changed(aspect, port);
}

void SwitchState::setEdid(int target, int code)
{
    for (int input = 1; input <= kPortCount; ++input) {
        if (target != 0 && target != input)
            continue;
        int& slot = now_.edid[at(input)];
        if (slot == code)
            continue;
        slot = code;
        emit changed(Aspect::Edid, input);
    }
}

void SwitchState::setNumber(int& slot, int value, Aspect aspect)
{
    if (slot == value)
        return;
    slot = value;
    emit changed(aspect, 0);
}

void SwitchState::forget(bool version)
{
    const SwitchSnapshot before = now_;
    now_.routes.fill(0);
    now_.arc.fill(std::nullopt);
    now_.edid.fill(SwitchSnapshot::kEdidUnknown);
    now_.beeper.reset();
    now_.ident.reset();
    identParts_ = {};
    uploadTarget_.reset();
    if (version) {
        now_.versionMajor = -1;
        now_.versionMinor = -1;
    }
    for (int p = 1; p <= kPortCount; ++p) {
        const std::size_t i = at(p);
        if (before.routes[i] != 0)
            emit changed(Aspect::Route, p);
        if (before.arc[i])
            emit changed(Aspect::Arc, p);
        if (before.edid[i] != SwitchSnapshot::kEdidUnknown)
            emit changed(Aspect::Edid, p);
    }
    if (before.beeper)
        emit changed(Aspect::Beeper, 0);
    if (before.ident)
        emit changed(Aspect::Ident, 0);
    if (version && before.versionMajor >= 0)
        emit changed(Aspect::Device, 0);
}

}  // namespace talvane
