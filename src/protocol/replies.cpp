#include "replies.h"

namespace talvane {
namespace reply {

namespace {
std::uint8_t u8(int v) { return static_cast<std::uint8_t>(v & 0xFF); }
}

CommandFrame ack(CommandId id, std::uint8_t status)
{
    CommandFrame f = build::command(id);
    f[pos::P1] = status;
    return f;
}

CommandFrame powerState(std::uint8_t state) { return ack(cmd::PowerStateQuery, state); }

CommandFrame powerSetAck(bool on)
{
    CommandFrame f = ack(cmd::PowerSet);
    f[pos::P3] = on ? kStateOn : kStateOff;
    return f;
}

CommandFrame portStatus(CommandId query, int port, bool connected)
{
    CommandFrame f = ack(query, u8(port));
    f[pos::P3] = connected ? 0 : 1;
    return f;
}

CommandFrame beepState(bool enabled)
{
    CommandFrame f = ack(cmd::BeepStateQuery);
    f[pos::P3] = enabled ? 0 : 1;
    return f;
}

CommandFrame beepSetAck(bool on, bool factoryMarker)
{
    CommandFrame f = ack(cmd::BeepSet);
    f[pos::P3] = on ? kBeepOnValue : 0;
    f[pos::P7] = factoryMarker ? kFactoryResetMarker : 0;
    return f;
}

CommandFrame routeSetAck(int output, std::uint8_t status)
{
    CommandFrame f = ack(cmd::RouteSet, status);
    f[pos::P3] = u8(output);
    return f;
}

CommandFrame routeQuery(int output, int input)
{
    CommandFrame f = ack(cmd::RouteQuery, u8(output));
    f[pos::P3] = u8(input);
    return f;
}

CommandFrame arcSetAck(int output, bool on)
{
    CommandFrame f = ack(cmd::ArcSet);
    f[pos::P3] = u8(output);
    f[pos::P7] = on ? kStateOn : kStateOff;
    return f;
}

CommandFrame arcQuery(int output, bool on)
{
    CommandFrame f = ack(cmd::ArcQuery, on ? kStateOn : kStateOff);
    f[pos::P3] = u8(output);
    return f;
}

CommandFrame edidStatus(int input, int code)
{
    CommandFrame f = ack(cmd::EdidQuery, u8(input));
    f[pos::P3] = u8(code);
    return f;
}

CommandFrame edidUploadReady() { return ack(cmd::EdidUploadRequest); }

CommandFrame edidAccept(CommandId target) { return ack(target, kEdidAccept); }

CommandFrame edidResult(const CommandFrame& command, bool valid)
{
    CommandFrame f = ack(commandIdOf(command), valid ? 0 : kEdidInvalidData);
    f[pos::P3] = command[pos::P3];
    f[pos::P4] = command[pos::P4];
    return f;
}

CommandFrame deviceKind(int kind, std::uint8_t pos11Echo)
{
    CommandFrame f = ack(cmd::UpgradePageQuery, u8(kind));
    f[pos::P7] = kInfoMarker;
    f[pos::P8] = pos11Echo;
    return f;
}

CommandFrame devicePorts(int inputs, int outputs)
{
    CommandFrame f = ack(cmd::DeviceInfoQuery2, u8(inputs));
    f[pos::P3] = u8(outputs);
    f[pos::P7] = kInfoMarker;
    return f;
}

CommandFrame deviceVersion(int major, int minor)
{
    CommandFrame f = ack(cmd::DeviceInfoQuery3, u8(major));
    f[pos::P3] = u8(minor);
    f[pos::P7] = kInfoMarker;
    return f;
}

CommandFrame identText(int part, const std::uint8_t* eightBytes)
{
    CommandFrame f = build::identRead(part);
    for (int i = 0; i < cmd::IdentPartLength; ++i)
        f[pos::P1 + i] = eightBytes[i];
    return f;
}

CommandFrame identWriteAck(int part, std::uint8_t status)
{
    return ack({cmd::IdentGroup, u8(cmd::IdentWriteFirst + part)}, status);
}

CommandFrame blockAck(std::uint8_t flags, std::uint8_t block, std::uint8_t status)
{
    CommandFrame f;
    f[pos::Header1] = kDataHeader1;
    f[pos::Header2] = kDataHeader2;
    f[dpos::Flags] = flags;
    f[dpos::Block] = block;
    f[pos::P1] = status;
    return f;
}

}  // namespace reply

namespace decode {

namespace {
bool marked(const CommandFrame& f, int position) { return f[position] == kInfoMarker; }
int partOf(const CommandFrame& f, int first)
{
    const int part = f.code() - first;
    return part >= 0 && part < cmd::IdentParts ? part : -1;
}
}  // namespace

std::uint8_t ackStatus(const CommandFrame& f) { return f[pos::P1]; }
PowerState powerState(const CommandFrame& f) { return {f[pos::P1]}; }
PowerSetAck powerSetAck(const CommandFrame& f) { return {f[pos::P1], f[pos::P3]}; }
PortStatus portStatus(const CommandFrame& f) { return {f[pos::P1], f[pos::P3] == 0}; }
BeepState beepState(const CommandFrame& f) { return {f[pos::P1], f[pos::P3] == 0}; }
BeepSetAck beepSetAck(const CommandFrame& f) { return {f[pos::P1], f[pos::P3] == kBeepOnValue, f[pos::P7]}; }
RouteSetAck routeSetAck(const CommandFrame& f) { return {f[pos::P1], f[pos::P3]}; }
RouteAnswer routeAnswer(const CommandFrame& f) { return {f[pos::P1], f[pos::P3]}; }
ArcSetAck arcSetAck(const CommandFrame& f) { return {f[pos::P1], f[pos::P3], f[pos::P7]}; }
ArcAnswer arcAnswer(const CommandFrame& f) { return {f[pos::P3], f[pos::P1]}; }
EdidStatus edidStatus(const CommandFrame& f) { return {f[pos::P1], f[pos::P3]}; }
EdidResult edidResult(const CommandFrame& f) { return {f[pos::P1], f[pos::P2], f[pos::P3], f[pos::P4]}; }
EdidCode edidCode(int code)
{
    if (code >= 0 && code < kEdidPresetCount)
        return {EdidCode::Kind::Preset, code};
    if (code >= kEdidCopyCodeFirst && code < kEdidCodeCount)
        return {EdidCode::Kind::CopyOfOutput, code - kEdidCopyCodeFirst + 1};
    return {EdidCode::Kind::Unknown, 0};
}

EdidAnswer edidAnswer(const CommandFrame& reply, const CommandFrame& command)
{
    if (reply.group() != cmd::EdidSet.group)
        return EdidAnswer::None;
    const EdidResult r = edidResult(reply);
    if (reply.code() == cmd::EdidUploadRequest.code && r.status == 0)
        return EdidAnswer::UploadReady;
    if (reply.code() != command.code() || r.flag != 0)
        return EdidAnswer::None;
    if (r.status == kEdidAccept)
        return EdidAnswer::Accepted;
    const bool echoed = r.target == command[pos::P3] && r.extra == command[pos::P4];
    if (r.status == 0 && echoed)
        return EdidAnswer::Done;
    if (r.status == kEdidInvalidData && echoed)
        return EdidAnswer::NoValidData;
    return EdidAnswer::None;
}

DeviceKind deviceKind(const CommandFrame& f) { return {f[pos::P1], marked(f, pos::P7), marked(f, pos::P8)}; }
DevicePorts devicePorts(const CommandFrame& f) { return {f[pos::P1], f[pos::P3], marked(f, pos::P7)}; }
DeviceVersion deviceVersion(const CommandFrame& f) { return {f[pos::P1], f[pos::P3], marked(f, pos::P7)}; }

IdentText identText(const CommandFrame& f)
{
    IdentText t{partOf(f, cmd::IdentReadFirst), {}};
    for (int i = 0; i < cmd::IdentPartLength; ++i)
        t.text[static_cast<std::size_t>(i)] = f[pos::P1 + i];
    return t;
}

IdentWriteAck identWriteAck(const CommandFrame& f) { return {partOf(f, cmd::IdentWriteFirst), f[pos::P1]}; }

bool isBlockAck(const CommandFrame& f) { return f[pos::Header1] == kDataHeader1 && f[pos::Header2] == kDataHeader2; }
BlockAck blockAck(const CommandFrame& f) { return {f[dpos::Flags], f[dpos::Block], f[pos::P1]}; }

}  // namespace decode
}  // namespace talvane
