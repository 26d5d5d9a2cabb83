// The command index: every command the panel sends, by group and code, with a
// builder for each. A builder returns a frame whose positions 2..11 hold the
// command (checksum not yet written); senders load it into the command buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame.h"

namespace talvane {

struct CommandId {
    std::uint8_t group;
    std::uint8_t code;
    constexpr bool operator==(const CommandId& o) const { return group == o.group && code == o.code; }
    constexpr bool operator!=(const CommandId& o) const { return !(*this == o); }
};

inline CommandId commandIdOf(const CommandFrame& f) { return {f.group(), f.code()}; }

namespace cmd {
constexpr CommandId UpgradePageQuery{0x01, 0x01};   // first device information query
constexpr CommandId DeviceInfoQuery2{0x01, 0x02};
constexpr CommandId DeviceInfoQuery3{0x01, 0x03};
constexpr CommandId InputStatusQuery{0x01, 0x04};
constexpr CommandId OutputStatusQuery{0x01, 0x05};
constexpr CommandId BeepStateQuery{0x01, 0x0B};
constexpr CommandId EdidQuery{0x01, 0x0C};
constexpr CommandId RouteQuery{0x02, 0x01};
constexpr CommandId RouteSet{0x02, 0x03};
constexpr CommandId EdidSetAll{0x03, 0x01};
constexpr CommandId EdidSet{0x03, 0x02};
constexpr CommandId EdidCopyAll{0x03, 0x03};
constexpr CommandId EdidCopy{0x03, 0x04};
constexpr CommandId EdidUploadTargetAll{0x03, 0x06};
constexpr CommandId EdidUploadTarget{0x03, 0x07};
constexpr CommandId EdidUploadRequest{0x03, 0x08};
constexpr CommandId BeepSet{0x06, 0x01};
constexpr CommandId UpgradeStart{0x08, 0x07};
constexpr CommandId UpgradeTransferRequest{0x08, 0x08};
constexpr CommandId FactoryReset{0x08, 0x0A};
constexpr CommandId PowerSet{0x08, 0x0B};
constexpr CommandId PowerStateQuery{0x08, 0x0C};
constexpr CommandId Reboot{0x08, 0x0D};
constexpr CommandId ArcSet{0x10, 0x01};
constexpr CommandId ArcQuery{0x10, 0x02};
constexpr std::uint8_t IdentGroup = 0xFA;
constexpr std::uint8_t IdentWriteFirst = 0x21;  // 0x21..0x24 write eight bytes each
constexpr std::uint8_t IdentReadFirst = 0x25;   // 0x25..0x28 read eight bytes each
constexpr int IdentParts = 4;
constexpr int IdentPartLength = 8;
constexpr int IdentTextLength = IdentParts * IdentPartLength;  // 32 characters
}  // namespace cmd

// Values carried in parameter bytes.
constexpr std::uint8_t kStateOn = 0x0F;
constexpr std::uint8_t kStateOff = 0xF0;
constexpr std::uint8_t kInfoMarker = 0xCC;          // device information queries, pos 10 (and 11 after an upgrade)
constexpr std::uint8_t kBeepOnValue = 0xDD;          // BeepSet on, pos 6
constexpr std::uint8_t kFactoryResetMarker = 0x88;   // last BeepSet of the extended factory reset, pos 10
constexpr std::uint8_t kEdidUploadMarker = 0xBB;     // EDID upload request, pos 10
constexpr std::uint8_t kEdidPresetFlag = 0xF0;       // pos 5 of the EDID preset and upload target commands
constexpr std::uint8_t kEdidAllInputsTarget = 0xFE;  // upload target "All Input", pos 4
constexpr std::uint8_t kEdidBlockHeaderMark = 0x56;  // EDID block header, pos 4 (pos 7 = kEdidBlockHeaderCount)
constexpr std::uint8_t kEdidBlockHeaderCount = 0x01; // EDID block header, pos 7: one block follows
constexpr std::uint8_t kEdidAccept = 0xAA;           // switch accepts the upload target, pos 4
constexpr std::uint8_t kEdidInvalidData = 0x0F;      // switch found no valid data, pos 4
constexpr std::uint8_t kFactoryEdidPos6 = 5;         // the EDID command of the extended factory reset, pos 6
constexpr std::uint8_t kSearchRequestByte = 0x61;    // UDP device search request

constexpr int kPortCount = 8;        // inputs 1..8, outputs 1..8 (A..H)
// Outputs go by letters on the switch's front panel and in every view: 1..8 is A..H.
constexpr char outputLetter(int output) { return static_cast<char>('A' + output - 1); }
// The output a letter names, A..H in either case; 0 for any other character.
constexpr int outputOfLetter(char letter)
{
    const int upper = letter >= 'a' && letter <= 'z' ? letter - 'a' + 'A' : letter;
    return upper >= 'A' && upper < 'A' + kPortCount ? upper - 'A' + 1 : 0;
}
constexpr int kEdidPresetCount = 15; // preset index 0..14, sent as 1..15
// The presets' names, by preset index, as the switch's documentation lists them.
extern const char* const kEdidPresetNames[kEdidPresetCount];
// The largest firmware image the switch takes, in bytes.
constexpr std::size_t kFirmwareImageMaxSize = 100000;
constexpr int kEdidCodeCount = 23;   // status codes 0..14 presets, 15..22 copies of outputs A..H
constexpr int kEdidCopyCodeFirst = kEdidPresetCount;
// The status code of the EDID copied from output 1..8 (A..H).
constexpr int edidCopyCode(int output) { return kEdidCopyCodeFirst + output - 1; }

// Block acknowledgement statuses (pos 4 of an FE EF frame).
constexpr std::uint8_t kBlockReceived = 0;
constexpr std::uint8_t kBlockResend = 1;
constexpr std::uint8_t kBlockFailed = 2;

// Firmware blocks: the block at byte offset `offset` of an image. The first
// block never carries the last-block flag; any later block carries it once it
// reaches the end of the image (a block past the end is all filler and
// flagged too).
std::uint8_t firmwareBlockFlags(std::size_t imageSize, std::size_t offset);
// Offset of the first flagged block, and how many blocks an upload sends when
// the switch confirms that block as the last.
std::size_t lastFirmwareBlockOffset(std::size_t imageSize);
std::size_t firmwareBlockCount(std::size_t imageSize);

namespace build {
CommandFrame command(CommandId id);
CommandFrame upgradePageQuery(bool rebootQuery = false);
CommandFrame deviceInfoQuery2();
CommandFrame deviceInfoQuery3();
CommandFrame inputStatusQuery(int input);
CommandFrame outputStatusQuery(int output);
CommandFrame beepStateQuery();
CommandFrame edidQuery(int input);
CommandFrame routeQuery(int output);
CommandFrame routeSet(int input, int output);
CommandFrame edidSetPreset(int presetIndex, int target);  // target 1..8, 0 = all inputs
CommandFrame edidFactoryPreset();                          // 03 01 01 F0 05: extended factory reset
CommandFrame edidCopy(int output, int target);             // target 1..8, 0 = all inputs
CommandFrame edidUploadRequest();
CommandFrame edidUploadTarget(int target);                 // target 1..8, 0 = all inputs
CommandFrame edidBlockHeader(bool allInputs);
CommandFrame beepSet(bool on);
CommandFrame beepSetFactoryMarker();
CommandFrame upgradeStart();
CommandFrame upgradeTransferRequest();
CommandFrame factoryReset();
CommandFrame powerSet(bool on);
CommandFrame powerStateQuery();
CommandFrame reboot();
CommandFrame arcSet(int output, bool on);
CommandFrame arcQuery(int output);
CommandFrame identWrite(int part, const std::uint8_t* eightBytes);  // part 0..3
CommandFrame identRead(int part);                                    // part 0..3
// Fills `frame` with the firmware block at `offset` (a multiple of 1024):
// flags, block number, and 1024 image bytes padded with 0xFF.
void firmwareBlock(DataFrame& frame, const std::uint8_t* image, std::size_t imageSize, std::size_t offset);
}  // namespace build

// Readers of commands, for a sender that looks back at what it sent (the
// command buffer); the same positions as the builders above.
namespace decode {

struct RouteSetCommand {  // 02 03
    int input;
    int output;
};
RouteSetCommand routeSetCommand(const CommandFrame& f);

// The output a RouteQuery (02 01) asks about.
int routeQueryOutput(const CommandFrame& f);

// True for the EDID upload request (its marker at pos 10).
bool isEdidUploadRequest(const CommandFrame& f);

// The port a status query (01 04 input, 01 05 output) or an EDID query
// (01 0C, an input) asks about.
int queriedPort(const CommandFrame& f);

// The state a PowerSet (08 0B) or ArcSet (10 01) asks for: kStateOn or kStateOff.
std::uint8_t stateAsked(const CommandFrame& f);

// The output an ArcSet (10 01) or ArcQuery (10 02) names.
int arcOutput(const CommandFrame& f);

// The part (0..3) an identification write (FA 21..24) or read (FA 25..28)
// carries; -1 for another code.
int identWritePart(const CommandFrame& f);
int identReadPart(const CommandFrame& f);

// True for a device information query (01 01..03): its marker at pos 10.
bool hasInfoMarker(const CommandFrame& f);

// True for the device information query that polls the switch back after
// an upgrade's reboot (the marker also at pos 11).
bool isRebootQuery(const CommandFrame& f);

// True for the command after which the raw EDID block follows.
bool isEdidBlockHeader(const CommandFrame& f);

// True for the EDID command of the extended factory reset (03 01 01 F0 05).
bool isEdidFactoryPreset(const CommandFrame& f);

// True for the BeepSet that ends the extended factory reset (its marker at pos 10).
bool isBeepFactoryMarker(const CommandFrame& f);

// An EDID preset or copy command (03 01..04): what each input it targets will use.
struct EdidSettingCommand {
    bool copy;    // a copy of an output's display EDID, else a preset
    int source;   // preset index 0..14, or output 1..8
    int target;   // input 1..8, 0 for every input
};
EdidSettingCommand edidSettingCommand(const CommandFrame& f);

}  // namespace decode

}  // namespace talvane
