#include "answers.h"

#include <algorithm>
#include <initializer_list>

#include "replies.h"

namespace talvane {

namespace {

using Kind = AnswerRule::Kind;
using decode::EdidAnswer;

bool isPort(int n) { return n >= 1 && n <= kPortCount; }
bool isState(std::uint8_t v) { return v == kStateOn || v == kStateOff; }

// What a 13-byte command is, by the identifying bytes of the command index.
Kind kindOf(const CommandFrame& c)
{
    const CommandId id = commandIdOf(c);
    if (id == cmd::UpgradePageQuery || id == cmd::DeviceInfoQuery2 || id == cmd::DeviceInfoQuery3) {
        if (!decode::hasInfoMarker(c))
            return Kind::Unknown;
        if (id == cmd::UpgradePageQuery)
            return decode::isRebootQuery(c) ? Kind::RebootPoll : Kind::DeviceKind;
        return id == cmd::DeviceInfoQuery2 ? Kind::DevicePorts : Kind::DeviceVersion;
    }
    if (id == cmd::InputStatusQuery || id == cmd::OutputStatusQuery)
        return Kind::PortStatus;
    if (id == cmd::BeepStateQuery)
        return Kind::BeepState;
    if (id == cmd::EdidQuery)
        return Kind::EdidStatus;
    if (id == cmd::RouteQuery)
        return Kind::RouteQuery;
    if (id == cmd::RouteSet)
        return Kind::RouteSet;
    if (id == cmd::EdidSetAll || id == cmd::EdidSet)
        return decode::isEdidFactoryPreset(c) ? Kind::EdidFactoryPreset : Kind::EdidPreset;
    if (id == cmd::EdidCopyAll || id == cmd::EdidCopy)
        return Kind::EdidCopy;
    if (id == cmd::EdidUploadTargetAll || id == cmd::EdidUploadTarget)
        return decode::isEdidBlockHeader(c) ? Kind::EdidBlockHeader : Kind::EdidUploadTarget;
    if (id == cmd::EdidUploadRequest)
        return Kind::EdidUploadRequest;
    if (id == cmd::BeepSet) {
        if (!isState(decode::stateAsked(c)))
            return Kind::Unknown;
        return decode::isBeepFactoryMarker(c) ? Kind::BeepFactoryMarker : Kind::BeepSet;
    }
    if (id == cmd::UpgradeStart)
        return Kind::UpgradeStart;
    if (id == cmd::UpgradeTransferRequest)
        return Kind::TransferRequest;
    if (id == cmd::FactoryReset)
        return Kind::FactoryReset;
    if (id == cmd::PowerSet)
        return isState(decode::stateAsked(c)) ? Kind::PowerSet : Kind::Unknown;
    if (id == cmd::PowerStateQuery)
        return Kind::PowerState;
    if (id == cmd::Reboot)
        return Kind::Reboot;
    if (id == cmd::ArcSet)
        return isState(decode::stateAsked(c)) ? Kind::ArcSet : Kind::Unknown;
    if (id == cmd::ArcQuery)
        return Kind::ArcQuery;
    if (decode::identWritePart(c) >= 0)
        return Kind::IdentWrite;
    if (decode::identReadPart(c) >= 0)
        return Kind::IdentRead;
    return Kind::Unknown;
}

bool edidAnswerIn(const CommandFrame& reply, const CommandFrame& command, std::initializer_list<EdidAnswer> accepted)
{
    return std::find(accepted.begin(), accepted.end(), decode::edidAnswer(reply, command)) != accepted.end();
}

// An acknowledgement of `id` with status 0.
bool acknowledged(const CommandFrame& reply, CommandId id)
{
    return commandIdOf(reply) == id && decode::ackStatus(reply) == 0;
}

}  // namespace

AnswerRule AnswerRule::of(const CommandFrame& command) { return {kindOf(command), command}; }

AnswerRule AnswerRule::of(const DataFrame& block)
{
    CommandFrame ref;
    ref[dpos::Flags] = block.flags();
    ref[dpos::Block] = block.blockNumber();
    return {Kind::FirmwareBlock, ref};
}

AnswerRule AnswerRule::ofEdidBlock(const CommandFrame& blockHeader)
{
    if (!decode::isEdidBlockHeader(blockHeader))
        return {};
    return {Kind::EdidBlock, blockHeader};
}

AnswerRule AnswerRule::of(const std::uint8_t* sent, std::size_t length, const CommandFrame* blockHeader)
{
    if (length == kCommandFrameSize && sent[pos::Header1] == kCommandHeader1 && sent[pos::Header2] == kCommandHeader2)
        return of(CommandFrame::fromBytes(sent));
    if (length == kDataFrameSize && sent[0] == kDataHeader1 && sent[1] == kDataHeader2) {
        DataFrame block;
        std::copy(sent, sent + kDataFrameSize, block.bytes.begin());
        return of(block);
    }
    if (length == kRawEdidBlockSize && blockHeader)
        return ofEdidBlock(*blockHeader);
    return {};
}

bool AnswerRule::answers(const CommandFrame& reply) const
{
    const CommandFrame& c = sent_;
    const CommandId id = commandIdOf(c);
    switch (kind_) {
    case Kind::Unknown:
    case Kind::EdidBlockHeader:
        return false;
    // The device information answers carry the marker; the poll after a
    // reboot is answered only by one that also says it is that poll's.
    case Kind::DeviceKind:
        return commandIdOf(reply) == id && decode::deviceKind(reply).marked;
    case Kind::RebootPoll: {
        const decode::DeviceKind k = decode::deviceKind(reply);
        return commandIdOf(reply) == id && k.marked && k.afterReboot;
    }
    case Kind::DevicePorts:
        return commandIdOf(reply) == id && decode::devicePorts(reply).marked;
    case Kind::DeviceVersion:
        return commandIdOf(reply) == id && decode::deviceVersion(reply).marked;
    // Queries about a port: the answer names the port asked about.
    case Kind::PortStatus:
        return commandIdOf(reply) == id && decode::portStatus(reply).port == decode::queriedPort(c);
    case Kind::EdidStatus:
        return commandIdOf(reply) == id && decode::edidStatus(reply).input == decode::queriedPort(c);
    case Kind::RouteQuery:
        return commandIdOf(reply) == id && decode::routeAnswer(reply).output == decode::routeQueryOutput(c);
    case Kind::ArcQuery:
        return commandIdOf(reply) == id && decode::arcAnswer(reply).output == decode::arcOutput(c);
    case Kind::BeepState:
        return commandIdOf(reply) == id && decode::beepState(reply).status == 0;
    // Only a state the switch names on or off answers the power query.
    case Kind::PowerState:
        return commandIdOf(reply) == id && isState(decode::powerState(reply).state);
    case Kind::RouteSet: {
        if (commandIdOf(reply) != id)
            return false;
        const decode::RouteSetAck a = decode::routeSetAck(reply);
        return a.status == 0 && a.output == decode::routeSetCommand(c).output;
    }
    case Kind::PowerSet: {
        if (commandIdOf(reply) != id)
            return false;
        const decode::PowerSetAck a = decode::powerSetAck(reply);
        return a.status == 0 && a.state == decode::stateAsked(c);
    }
    case Kind::ArcSet: {
        const decode::ArcSetAck a = decode::arcSetAck(reply);
        return reply.group() == id.group && a.status == 0 && a.state == decode::stateAsked(c) && isPort(a.output);
    }
    case Kind::BeepSet: {
        if (commandIdOf(reply) != id)
            return false;
        const decode::BeepSetAck a = decode::beepSetAck(reply);
        return a.status == 0 && a.marker == 0;
    }
    case Kind::BeepFactoryMarker:
        return commandIdOf(reply) == id && decode::beepSetAck(reply).marker == kFactoryResetMarker;
    case Kind::UpgradeStart:
    case Kind::TransferRequest:
    case Kind::FactoryReset:
    case Kind::Reboot:
        return acknowledged(reply, id);
    // EDID settings: the switch may ask for a preset again (its upload-ready
    // answer); the upload target is accepted or ends the setting at once.
    case Kind::EdidPreset:
        return edidAnswerIn(reply, c, {EdidAnswer::Done, EdidAnswer::NoValidData, EdidAnswer::UploadReady});
    case Kind::EdidCopy:
        return edidAnswerIn(reply, c, {EdidAnswer::Done, EdidAnswer::NoValidData});
    case Kind::EdidUploadRequest:
        return edidAnswerIn(reply, c, {EdidAnswer::UploadReady});
    case Kind::EdidUploadTarget:
        return edidAnswerIn(reply, c, {EdidAnswer::Accepted, EdidAnswer::Done, EdidAnswer::NoValidData});
    case Kind::EdidBlock:
        return edidAnswerIn(reply, c, {EdidAnswer::Done, EdidAnswer::NoValidData});
    // The extended factory reset waits for its preset to be set for every input.
    case Kind::EdidFactoryPreset: {
        if (commandIdOf(reply) != id)
            return false;
        const decode::EdidResult e = decode::edidResult(reply);
        return e.status == 0 && e.flag == 0 && e.target == kFactoryEdidPos6;
    }
    // Each part is answered by its own acknowledgement, whatever its status.
    case Kind::IdentWrite:
        return reply.group() == cmd::IdentGroup && decode::identWriteAck(reply).part == decode::identWritePart(c);
    case Kind::IdentRead:
        return reply.group() == cmd::IdentGroup && decode::identText(reply).part == decode::identReadPart(c);
    // A block before the last is acknowledged with a status the switch
    // names; the last one with its flags and "received".
    case Kind::FirmwareBlock: {
        if (!decode::isBlockAck(reply))
            return false;
        const decode::BlockAck a = decode::blockAck(reply);
        if (a.block != c[dpos::Block])
            return false;
        if (a.flags == 0)
            return a.status == kBlockReceived || a.status == kBlockResend || a.status == kBlockFailed;
        return c[dpos::Flags] == kLastBlockFlag && a.status == kBlockReceived;
    }
    }
    return false;
}

bool answers(const std::uint8_t* sent, std::size_t length, const CommandFrame& reply, const CommandFrame* blockHeader)
{
    return AnswerRule::of(sent, length, blockHeader).answers(reply);
}

}  // namespace talvane
