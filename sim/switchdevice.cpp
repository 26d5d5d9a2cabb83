#include "switchdevice.h"

#include <algorithm>
#include <cstring>

#include "protocol/replies.h"
#include "protocol/serialline.h"

namespace talvane {
namespace sim {

namespace {
std::optional<bool> stateOf(std::uint8_t value)
{
    if (value == kStateOn)
        return true;
    if (value == kStateOff)
        return false;
    return std::nullopt;
}
}  // namespace

qint64 lineTimeUs(std::size_t bytes)
{
    const qint64 bitUs = static_cast<qint64>(bytes) * serial::kBitsPerByte * 1000000;
    return (bitUs + serial::kBaudRate / 2) / serial::kBaudRate;
}

bool FaultSettings::any() const
{
    return silentAll || !silentCommands.empty() || !silentOther.empty() || delayMs > 0 || corruptNext || coalesceNext
           || splitNextAt > 0 || resendBlock >= 0 || failBlock >= 0 || refuseRoutes || repeatReplies > 0;
}

SwitchDevice::SwitchDevice(Clock* clock)
    : timers_([this](int id) { onTimer(id); }, clock)
{
}

Ipv4Octets SwitchDevice::reportedAddress() const { return model_.net.staticIp ? model_.net.ip : autoAddress_; }

void SwitchDevice::onTimer(int id)
{
    if (id != kRebootTimer)
        return;
    timers_.stop(kRebootTimer);
    model_.power = true;
    if (model_.upgrade == UpgradeState::Rebooting)
        model_.upgrade = UpgradeState::Complete;
    if (onRebooted)
        onRebooted();
}

void SwitchDevice::startReboot()
{
    uploadTarget_ = kNoUploadTarget;
    blockHeader_.reset();
    if (rebootMs_ > 0)
        timers_.arm(kRebootTimer, rebootMs_);
    else if (model_.upgrade == UpgradeState::Rebooting)
        model_.upgrade = UpgradeState::Complete;
}

bool SwitchDevice::silenced(CommandId id) const
{
    return faults_.silentAll || faults_.silentCommands.count(commandKey(id)) != 0;
}

void SwitchDevice::frontPanelRoute(int input, int output)
{
    if (isPort(input) && isPort(output))
        model_.route[output - 1] = input;
}

std::vector<Outgoing> SwitchDevice::handle(const StreamUnit& unit)
{
    if (rebooting())
        return {};
    std::optional<CommandFrame> reply;
    switch (unit.kind) {
    case StreamUnit::Kind::Command:
        reply = answerCommand(CommandFrame::fromBytes(unit.data));
        break;
    case StreamUnit::Kind::Data:
        if (!silenced(Silence::DataBlocks))
            reply = answerBlock(unit.data);
        break;
    case StreamUnit::Kind::EdidBlock:
        if (!silenced(Silence::EdidBlock))
            reply = answerEdidBlock(unit.data, unit.size);
        break;
    case StreamUnit::Kind::BadCommand:
    case StreamUnit::Kind::BadData:
        break;  // a switch ignores a frame whose checksum is wrong
    }
    if (!reply)
        return {};

    Outgoing out;
    out.frame = *reply;
    out.frame.seal();
    if (faults_.corruptNext) {
        faults_.corruptNext = false;
        out.frame[pos::Checksum] ^= 0xFF;
    }
    out.delayUs = qint64(faults_.delayMs) * 1000 + (linePacing_ ? lineTimeUs(unit.size + kCommandFrameSize) : 0);
    out.holdForNext = faults_.coalesceNext;
    faults_.coalesceNext = false;
    out.splitAt = faults_.splitNextAt;
    faults_.splitNextAt = 0;
    std::vector<Outgoing> replies{out};
    Outgoing again = out;
    again.holdForNext = false;
    again.splitAt = 0;
    replies.insert(replies.end(), std::size_t(std::clamp(faults_.repeatReplies, 0, kMaxRepeats)), again);
    return replies;
}

std::optional<CommandFrame> SwitchDevice::answerCommand(const CommandFrame& c)
{
    const CommandId id = commandIdOf(c);
    if (silenced(id))
        return std::nullopt;
    SwitchModel& m = model_;
    const int p1 = c[pos::P1];
    const int p3 = c[pos::P3];

    if (id == cmd::UpgradePageQuery)
        return reply::deviceKind(m.kind, c[pos::P8]);
    if (id == cmd::DeviceInfoQuery2)
        return reply::devicePorts(m.inputs, m.outputs);
    if (id == cmd::DeviceInfoQuery3)
        return reply::deviceVersion(m.versionMajor, m.versionMinor);
    if (id == cmd::InputStatusQuery || id == cmd::OutputStatusQuery) {
        if (!isPort(p1))
            return std::nullopt;
        const bool connected = id == cmd::InputStatusQuery ? m.source[p1 - 1] : m.display[p1 - 1];
        return reply::portStatus(id, p1, connected);
    }
    if (id == cmd::BeepStateQuery)
        return reply::beepState(m.beep);
    if (id == cmd::EdidQuery) {
        if (!isPort(p1))
            return std::nullopt;
        return reply::edidStatus(p1, m.edidCode[p1 - 1]);
    }
    if (id == cmd::RouteQuery) {
        if (!isPort(p1))
            return std::nullopt;
        return reply::routeQuery(p1, m.route[p1 - 1]);
    }
    if (id == cmd::RouteSet) {
        if (!isPort(p1) || !isPort(p3))
            return std::nullopt;
        if (faults_.refuseRoutes)
            return reply::routeSetAck(p3, kRouteRefused);
        m.route[p3 - 1] = p1;
        return reply::routeSetAck(p3);
    }
    if (id == cmd::EdidSetAll || id == cmd::EdidSet)
        return answerEdidPreset(c);
    if (id == cmd::EdidCopyAll || id == cmd::EdidCopy)
        return answerEdidCopy(c);
    if (id == cmd::EdidUploadTargetAll || id == cmd::EdidUploadTarget)
        return answerEdidTarget(c);
    if (id == cmd::EdidUploadRequest) {
        uploadTarget_ = kNoUploadTarget;
        blockHeader_.reset();
        return reply::edidUploadReady();
    }
    if (id == cmd::BeepSet) {
        const std::optional<bool> on = stateOf(c[pos::P1]);
        if (!on)
            return std::nullopt;
        m.beep = *on;
        return reply::beepSetAck(*on, c[pos::P7] == kFactoryResetMarker);
    }
    if (id == cmd::UpgradeStart) {
        m.upgrade = UpgradeState::Started;
        return reply::ack(id);
    }
    if (id == cmd::UpgradeTransferRequest) {
        // Every request starts the image afresh: the panel then sends block 0.
        m.upgrade = UpgradeState::Receiving;
        m.firmware.clear();
        nextBlock_ = 0;
        return reply::ack(id);
    }
    if (id == cmd::FactoryReset) {
        m.restoreFactorySettings();
        return reply::ack(id);
    }
    if (id == cmd::PowerSet) {
        const std::optional<bool> on = stateOf(c[pos::P1]);
        if (!on)
            return std::nullopt;
        m.power = *on;
        return reply::powerSetAck(*on);
    }
    if (id == cmd::PowerStateQuery)
        return reply::powerState(m.power ? kStateOn : kStateOff);
    if (id == cmd::Reboot) {
        startReboot();
        return reply::ack(id);
    }
    if (id == cmd::ArcSet) {
        const std::optional<bool> on = stateOf(c[pos::P1]);
        if (!on || !isPort(p3))
            return std::nullopt;
        m.arc[p3 - 1] = *on;
        return reply::arcSetAck(p3, *on);
    }
    if (id == cmd::ArcQuery) {
        if (!isPort(p3))
            return std::nullopt;
        return reply::arcQuery(p3, m.arc[p3 - 1]);
    }
    if (id.group == cmd::IdentGroup)
        return answerIdent(c);
    return std::nullopt;
}

std::optional<CommandFrame> SwitchDevice::answerEdidPreset(const CommandFrame& c)
{
    const bool all = commandIdOf(c) == cmd::EdidSetAll;
    const int preset = c[pos::P1];
    const int target = c[pos::P3];
    const bool valid = preset >= 1 && preset <= kEdidPresetCount && (all || isPort(target));
    if (valid) {
        for (int n = 1; n <= kPortCount; ++n)
            if (all || n == target)
                model_.edidCode[n - 1] = preset - 1;
    }
    return reply::edidResult(c, valid);
}

std::optional<CommandFrame> SwitchDevice::answerEdidCopy(const CommandFrame& c)
{
    const bool all = commandIdOf(c) == cmd::EdidCopyAll;
    const int output = c[pos::P1];
    const int target = c[pos::P3];
    // Without a display on the output there is nothing to copy.
    const bool valid = isPort(output) && model_.display[output - 1] && (all || isPort(target));
    if (valid) {
        for (int n = 1; n <= kPortCount; ++n)
            if (all || n == target)
                model_.edidCode[n - 1] = edidCopyCode(output);
    }
    return reply::edidResult(c, valid);
}

std::optional<CommandFrame> SwitchDevice::answerEdidTarget(const CommandFrame& c)
{
    if (decode::isEdidBlockHeader(c)) {
        // The raw block follows; it is answered once it is in.
        blockHeader_ = c;
        return std::nullopt;
    }
    const bool all = commandIdOf(c) == cmd::EdidUploadTargetAll;
    const int target = c[pos::P1];
    if (all ? target != kEdidAllInputsTarget : !isPort(target)) {
        uploadTarget_ = kNoUploadTarget;
        return reply::edidResult(c, false);
    }
    uploadTarget_ = all ? kUploadAllInputs : target;
    return reply::edidAccept(commandIdOf(c));
}

std::optional<CommandFrame> SwitchDevice::answerEdidBlock(const std::uint8_t* block, std::size_t size)
{
    if (!blockHeader_)
        return std::nullopt;
    const CommandFrame header = *blockHeader_;
    blockHeader_.reset();
    const bool all = commandIdOf(header) == cmd::EdidUploadTargetAll;
    const int target = all ? kUploadAllInputs : uploadTarget_;
    const bool targetOk = all || isPort(target);
    const bool valid = targetOk && edidBlockValid(block, size);
    if (valid) {
        model_.edidBlock.assign(block, block + size);
        model_.edidBlockTarget = target;
    }
    uploadTarget_ = kNoUploadTarget;
    return reply::edidResult(header, valid);
}

std::optional<CommandFrame> SwitchDevice::answerBlock(const std::uint8_t* bytes)
{
    SwitchModel& m = model_;
    if (m.upgrade != UpgradeState::Receiving)
        return std::nullopt;
    DataFrame d;
    std::copy(bytes, bytes + kDataFrameSize, d.bytes.begin());
    const std::uint8_t number = d.blockNumber();
    const auto fail = [&] {
        m.upgrade = UpgradeState::Failed;
        return reply::blockAck(0, number, kBlockFailed);
    };

    int index;
    if (number == (nextBlock_ & 0xFF))
        index = nextBlock_;
    else if (nextBlock_ > 0 && number == ((nextBlock_ - 1) & 0xFF))
        index = nextBlock_ - 1;  // sent again
    else
        return fail();
    if (index >= kMaxFirmwareBlocks)
        return fail();
    if (faults_.failBlock == index) {
        faults_.failBlock = -1;
        return fail();
    }
    if (faults_.resendBlock == index) {
        faults_.resendBlock = -1;
        return reply::blockAck(0, number, kBlockResend);
    }

    const std::size_t offset = static_cast<std::size_t>(index) * kDataPayloadSize;
    if (m.firmware.size() < offset + kDataPayloadSize)
        m.firmware.resize(offset + kDataPayloadSize);
    std::memcpy(m.firmware.data() + offset, d.payload(), kDataPayloadSize);
    if (index == nextBlock_)
        ++nextBlock_;
    if (d.flags() & kLastBlockFlag) {
        m.firmware.resize(offset + kDataPayloadSize);
        m.upgrade = UpgradeState::Rebooting;
        startReboot();
        return reply::blockAck(d.flags(), number, kBlockReceived);
    }
    return reply::blockAck(0, number, kBlockReceived);
}

std::optional<CommandFrame> SwitchDevice::answerIdent(const CommandFrame& c)
{
    const int code = c.code();
    if (code >= cmd::IdentWriteFirst && code < cmd::IdentWriteFirst + cmd::IdentParts) {
        const int part = code - cmd::IdentWriteFirst;
        std::copy_n(c.data() + pos::P1, cmd::IdentPartLength, model_.ident.begin() + part * cmd::IdentPartLength);
        return reply::identWriteAck(part, 0);
    }
    if (code >= cmd::IdentReadFirst && code < cmd::IdentReadFirst + cmd::IdentParts) {
        const int part = code - cmd::IdentReadFirst;
        return reply::identText(part, model_.ident.data() + part * cmd::IdentPartLength);
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> SwitchDevice::answerSearch(const std::uint8_t* data, std::size_t size)
{
    if (size != 1 || data[0] != kSearchRequestByte || rebooting() || silenced(Silence::Search))
        return std::nullopt;
    SearchReply r;
    r.mac = model_.net.mac;
    r.ip = reportedAddress();
    return r.encode();
}

std::optional<std::vector<std::uint8_t>> SwitchDevice::answerNetConfig(const std::uint8_t* data, std::size_t size)
{
    if (rebooting() || silenced(Silence::Config))
        return std::nullopt;
    const std::optional<NetConfigPacket> p = NetConfigPacket::decode(data, size);
    if (!p || p->target != model_.net.mac)
        return std::nullopt;
    model_.net.staticIp = p->staticIp;
    if (p->staticIp)
        model_.net.ip = p->ip;
    model_.net.mac = p->newMac;
    return p->encodeConfirmation();
}

}  // namespace sim
}  // namespace talvane
