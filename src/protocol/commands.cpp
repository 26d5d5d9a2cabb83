#include "commands.h"

#include <algorithm>

namespace talvane {

const char* const kEdidPresetNames[kEdidPresetCount] = {
    "1080p,Stereo Audio 2.0",  "1080p,Dolby/DTS 5.1",  "1080p,HD Audio 7.1",
    "1080i,Stereo Audio 2.0",  "1080i,Dolby/DTS 5.1",  "1080i,HD Audio 7.1",
    "3D,Stereo Audio 2.0",     "3D,Dolby/DTS 5.1",     "3D,HD Audio 7.1",
    "4K2K30,Stereo Audio 2.0", "4K2K30,Dolby/DTS 5.1", "4K2K30,HD Audio 7.1",
    "4K2K60,Stereo Audio 2.0", "4K2K60,Dolby/DTS 5.1", "4K2K60,HD Audio 7.1",
};

std::uint8_t firmwareBlockFlags(std::size_t imageSize, std::size_t offset)
{
    return offset > 0 && offset + kDataPayloadSize >= imageSize ? kLastBlockFlag : 0;
}

std::size_t lastFirmwareBlockOffset(std::size_t imageSize)
{
    const std::size_t blocks = (imageSize + kDataPayloadSize - 1) / kDataPayloadSize;
    return (blocks > 1 ? blocks - 1 : 1) * kDataPayloadSize;
}

std::size_t firmwareBlockCount(std::size_t imageSize) { return lastFirmwareBlockOffset(imageSize) / kDataPayloadSize + 1; }

namespace build {

namespace {
std::uint8_t u8(int v) { return static_cast<std::uint8_t>(v & 0xFF); }
}

CommandFrame command(CommandId id)
{
    CommandFrame f;
    f[pos::Group] = id.group;
    f[pos::Code] = id.code;
    return f;
}

CommandFrame upgradePageQuery(bool rebootQuery)
{
    CommandFrame f = command(cmd::UpgradePageQuery);
    f[pos::P7] = kInfoMarker;
    if (rebootQuery)
        f[pos::P8] = kInfoMarker;
    return f;
}

CommandFrame deviceInfoQuery2()
{
    CommandFrame f = command(cmd::DeviceInfoQuery2);
    f[pos::P7] = kInfoMarker;
    return f;
}

CommandFrame deviceInfoQuery3()
{
    CommandFrame f = command(cmd::DeviceInfoQuery3);
    f[pos::P7] = kInfoMarker;
    return f;
}

CommandFrame inputStatusQuery(int input)
{
    CommandFrame f = command(cmd::InputStatusQuery);
    f[pos::P1] = u8(input);
    return f;
}

CommandFrame outputStatusQuery(int output)
{
    CommandFrame f = command(cmd::OutputStatusQuery);
    f[pos::P1] = u8(output);
    return f;
}

CommandFrame beepStateQuery() { return command(cmd::BeepStateQuery); }

CommandFrame edidQuery(int input)
{
    CommandFrame f = command(cmd::EdidQuery);
    f[pos::P1] = u8(input);
    return f;
}

CommandFrame routeQuery(int output)
{
    CommandFrame f = command(cmd::RouteQuery);
    f[pos::P1] = u8(output);
    return f;
}

CommandFrame routeSet(int input, int output)
{
    CommandFrame f = command(cmd::RouteSet);
    f[pos::P1] = u8(input);
    f[pos::P3] = u8(output);
    return f;
}

CommandFrame edidSetPreset(int presetIndex, int target)
{
    CommandFrame f = command(target == 0 ? cmd::EdidSetAll : cmd::EdidSet);
    f[pos::P1] = u8(presetIndex + 1);
    f[pos::P2] = kEdidPresetFlag;
    f[pos::P3] = u8(target);
    return f;
}

CommandFrame edidFactoryPreset()
{
    CommandFrame f = edidSetPreset(0, 0);
    f[pos::P3] = kFactoryEdidPos6;
    return f;
}

CommandFrame edidCopy(int output, int target)
{
    CommandFrame f = command(target == 0 ? cmd::EdidCopyAll : cmd::EdidCopy);
    f[pos::P1] = u8(output);
    f[pos::P3] = u8(target);
    return f;
}

CommandFrame edidUploadRequest()
{
    CommandFrame f = command(cmd::EdidUploadRequest);
    f[pos::P1] = kStateOff;
    f[pos::P7] = kEdidUploadMarker;
    return f;
}

CommandFrame edidUploadTarget(int target)
{
    CommandFrame f = command(target == 0 ? cmd::EdidUploadTargetAll : cmd::EdidUploadTarget);
    f[pos::P1] = target == 0 ? kEdidAllInputsTarget : u8(target);
    f[pos::P2] = kEdidPresetFlag;
    return f;
}

CommandFrame edidBlockHeader(bool allInputs)
{
    CommandFrame f = command(allInputs ? cmd::EdidUploadTargetAll : cmd::EdidUploadTarget);
    f[pos::P1] = kEdidBlockHeaderMark;
    f[pos::P4] = kEdidBlockHeaderCount;
    return f;
}

CommandFrame beepSet(bool on)
{
    CommandFrame f = command(cmd::BeepSet);
    f[pos::P1] = on ? kStateOn : kStateOff;
    f[pos::P3] = on ? kBeepOnValue : 0x00;
    return f;
}

CommandFrame beepSetFactoryMarker()
{
    CommandFrame f = beepSet(true);
    f[pos::P7] = kFactoryResetMarker;
    return f;
}

CommandFrame upgradeStart() { return command(cmd::UpgradeStart); }
CommandFrame upgradeTransferRequest() { return command(cmd::UpgradeTransferRequest); }
CommandFrame factoryReset() { return command(cmd::FactoryReset); }

CommandFrame powerSet(bool on)
{
    CommandFrame f = command(cmd::PowerSet);
    f[pos::P1] = on ? kStateOn : kStateOff;
    f[pos::P3] = on ? kStateOn : kStateOff;
    return f;
}

CommandFrame powerStateQuery() { return command(cmd::PowerStateQuery); }
CommandFrame reboot() { return command(cmd::Reboot); }

CommandFrame arcSet(int output, bool on)
{
    CommandFrame f = command(cmd::ArcSet);
    f[pos::P1] = on ? kStateOn : kStateOff;
    f[pos::P3] = u8(output);
    f[pos::P7] = on ? kStateOn : kStateOff;
    return f;
}

CommandFrame arcQuery(int output)
{
    CommandFrame f = command(cmd::ArcQuery);
    f[pos::P3] = u8(output);
    return f;
}

CommandFrame identWrite(int part, const std::uint8_t* eightBytes)
{
    CommandFrame f = command({cmd::IdentGroup, u8(cmd::IdentWriteFirst + part)});
    for (int i = 0; i < cmd::IdentPartLength; ++i)
        f[pos::P1 + i] = eightBytes[i];
    return f;
}

CommandFrame identRead(int part)
{
    return command({cmd::IdentGroup, u8(cmd::IdentReadFirst + part)});
}

void firmwareBlock(DataFrame& frame, const std::uint8_t* image, std::size_t imageSize, std::size_t offset)
{
    frame.fill(image, imageSize, offset, firmwareBlockFlags(imageSize, offset));
}

}  // namespace build

namespace decode {

RouteSetCommand routeSetCommand(const CommandFrame& f) { return {f[pos::P1], f[pos::P3]}; }
int routeQueryOutput(const CommandFrame& f) { return f[pos::P1]; }
bool isEdidUploadRequest(const CommandFrame& f) { return f[pos::P7] == kEdidUploadMarker; }
int queriedPort(const CommandFrame& f) { return f[pos::P1]; }
std::uint8_t stateAsked(const CommandFrame& f) { return f[pos::P1]; }
int arcOutput(const CommandFrame& f) { return f[pos::P3]; }

namespace {
int identPart(const CommandFrame& f, int first)
{
    const int part = f.code() - first;
    return f.group() == cmd::IdentGroup && part >= 0 && part < cmd::IdentParts ? part : -1;
}
}  // namespace

int identWritePart(const CommandFrame& f) { return identPart(f, cmd::IdentWriteFirst); }
int identReadPart(const CommandFrame& f) { return identPart(f, cmd::IdentReadFirst); }
bool hasInfoMarker(const CommandFrame& f) { return f[pos::P7] == kInfoMarker; }
bool isRebootQuery(const CommandFrame& f) { return commandIdOf(f) == cmd::UpgradePageQuery && f[pos::P8] == kInfoMarker; }

bool isEdidBlockHeader(const CommandFrame& f)
{
    const CommandId id = commandIdOf(f);
    return (id == cmd::EdidUploadTarget || id == cmd::EdidUploadTargetAll) && f[pos::P1] == kEdidBlockHeaderMark
           && f[pos::P4] == kEdidBlockHeaderCount;
}

bool isEdidFactoryPreset(const CommandFrame& f)
{
    const CommandFrame factory = build::edidFactoryPreset();
    return std::equal(f.bytes.begin() + pos::Group, f.bytes.begin() + pos::Checksum, factory.bytes.begin() + pos::Group);
}

bool isBeepFactoryMarker(const CommandFrame& f) { return commandIdOf(f) == cmd::BeepSet && f[pos::P7] == kFactoryResetMarker; }

EdidSettingCommand edidSettingCommand(const CommandFrame& f)
{
    const CommandId id = commandIdOf(f);
    const bool copy = id == cmd::EdidCopy || id == cmd::EdidCopyAll;
    const bool all = id == cmd::EdidSetAll || id == cmd::EdidCopyAll;
    return {copy, copy ? int(f[pos::P1]) : int(f[pos::P1]) - 1, all ? 0 : int(f[pos::P3])};
}

}  // namespace decode
}  // namespace talvane
