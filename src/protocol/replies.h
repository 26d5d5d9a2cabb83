// The switch's replies: builders, with which the simulator answers and the
// tests play the switch, and readers, through which the panel's reply
// handlers take the fields of a reply by name. A builder and the reader of the
// same reply sit side by side and use the same positions.
#pragma once

#include <array>
#include <cstdint>

#include "commands.h"

namespace talvane {
namespace reply {

// Group and code of `id`, pos 4 = status, everything else 0.
CommandFrame ack(CommandId id, std::uint8_t status = 0);

CommandFrame powerState(std::uint8_t state);                 // 08 0C, pos 4 = 0x0F on / 0xF0 off
CommandFrame powerSetAck(bool on);                            // 08 0B 00, pos 6 = state
CommandFrame portStatus(CommandId query, int port, bool connected);  // 01 04/05, pos 4 = port, pos 6 = 0 connected
CommandFrame beepState(bool enabled);                         // 01 0B 00, pos 6 = 0 when enabled
CommandFrame beepSetAck(bool on, bool factoryMarker);         // 06 01 00, pos 6 = 0xDD when on, pos 10 = 0x88 for the marker
CommandFrame routeSetAck(int output, std::uint8_t status = 0);  // 02 03 status, pos 6 = output
CommandFrame routeQuery(int output, int input);               // 02 01, pos 4 = output, pos 6 = input
CommandFrame arcSetAck(int output, bool on);                  // 10 01 00, pos 6 = output, pos 10 = state
CommandFrame arcQuery(int output, bool on);                   // 10 02, pos 4 = state, pos 6 = output
CommandFrame edidStatus(int input, int code);                 // 01 0C, pos 4 = input, pos 6 = code
CommandFrame edidUploadReady();                               // 03 08 00
CommandFrame edidAccept(CommandId target);                    // 03 07/06 AA 00
CommandFrame edidResult(const CommandFrame& command, bool valid);  // 03 code 00|0F 00, pos 6/7 echoed
CommandFrame deviceKind(int kind, std::uint8_t pos11Echo);    // 01 01, pos 4 = kind, pos 10 = 0xCC
CommandFrame devicePorts(int inputs, int outputs);            // 01 02, pos 4, pos 6, pos 10 = 0xCC
CommandFrame deviceVersion(int major, int minor);             // 01 03, pos 4, pos 6, pos 10 = 0xCC
CommandFrame identText(int part, const std::uint8_t* eightBytes);  // FA 25+part, pos 4..11
CommandFrame identWriteAck(int part, std::uint8_t status);    // FA 21+part, pos 4 = status
CommandFrame blockAck(std::uint8_t flags, std::uint8_t block, std::uint8_t status);  // FE EF flags block status

}  // namespace reply

// The device kind in the device information answer: each has its name on the
// Upgrade page; any other number is the third kind.
constexpr int kDeviceKindTalvane = 1;
constexpr int kDeviceKindMarbeck = 2;

// Readers. Each takes the fields of one kind of reply; whether the frame is
// that kind (group and code) is the caller's test.
namespace decode {

// Acknowledgement status (pos 4) of 08 0A, 08 0D, 03 08, 08 07, 08 08: 0 = done.
std::uint8_t ackStatus(const CommandFrame& f);

struct PowerState {  // 08 0C
    std::uint8_t state;  // kStateOn / kStateOff
};
PowerState powerState(const CommandFrame& f);

struct PowerSetAck {  // 08 0B
    std::uint8_t status;
    std::uint8_t state;
};
PowerSetAck powerSetAck(const CommandFrame& f);

struct PortStatus {  // 01 04 (input) / 01 05 (output)
    int port;
    bool connected;  // any value but 0 means not connected
};
PortStatus portStatus(const CommandFrame& f);

struct BeepState {  // 01 0B
    std::uint8_t status;
    bool enabled;
};
BeepState beepState(const CommandFrame& f);

struct BeepSetAck {  // 06 01
    std::uint8_t status;
    bool on;                // the switch echoes kBeepOnValue when on
    std::uint8_t marker;    // kFactoryResetMarker on the extended factory reset's last step
};
BeepSetAck beepSetAck(const CommandFrame& f);

struct RouteSetAck {  // 02 03
    std::uint8_t status;
    int output;
};
RouteSetAck routeSetAck(const CommandFrame& f);

struct RouteAnswer {  // 02 01
    int output;  // the output asked about
    int input;   // the input routed to it
};
RouteAnswer routeAnswer(const CommandFrame& f);

struct ArcSetAck {  // 10 01
    std::uint8_t status;
    int output;
    std::uint8_t state;  // kStateOn / kStateOff
};
ArcSetAck arcSetAck(const CommandFrame& f);

struct ArcAnswer {  // 10 02
    int output;
    std::uint8_t state;  // kStateOn / kStateOff, anything else unknown
};
ArcAnswer arcAnswer(const CommandFrame& f);

struct EdidStatus {  // 01 0C
    int input;
    int code;  // see the EDID code numbering
};
EdidStatus edidStatus(const CommandFrame& f);

// The end of an EDID setting (03 01..08): the switch's status and the
// parameters it echoes from the command.
struct EdidResult {
    std::uint8_t status;  // 0 done, kEdidAccept, kEdidInvalidData
    std::uint8_t flag;    // pos 5
    std::uint8_t target;  // pos 6, echoed
    std::uint8_t extra;   // pos 7, echoed
};
EdidResult edidResult(const CommandFrame& f);

// What an input's EDID code (pos 6 of 01 0C) names.
struct EdidCode {
    enum class Kind { Preset, CopyOfOutput, Unknown };
    Kind kind;
    int index;  // preset index 0..14, or output 1..8; 0 when unknown
};
EdidCode edidCode(int code);

// How a reply answers the EDID setting command last built (`command`): the
// rows are tested in this order and the first match counts.
//  03 08 00                                   UploadReady
//  03 <command's code> AA 00                  Accepted
//  03 <command's code> 00 00 <command's 6 7>  Done
//  03 <command's code> 0F 00 <command's 6 7>  NoValidData
enum class EdidAnswer { None, UploadReady, Accepted, Done, NoValidData };
EdidAnswer edidAnswer(const CommandFrame& reply, const CommandFrame& command);

struct DeviceKind {  // 01 01
    int kind;
    bool marked;       // kInfoMarker at pos 10
    bool afterReboot;  // kInfoMarker at pos 11: the answer to the reboot query
};
DeviceKind deviceKind(const CommandFrame& f);

struct DevicePorts {  // 01 02
    int inputs;
    int outputs;
    bool marked;
};
DevicePorts devicePorts(const CommandFrame& f);

struct DeviceVersion {  // 01 03
    int major;
    int minor;
    bool marked;
};
DeviceVersion deviceVersion(const CommandFrame& f);

struct IdentText {  // FA 25..28
    int part;  // 0..3; -1 when the code is not a read
    std::array<std::uint8_t, cmd::IdentPartLength> text;
};
IdentText identText(const CommandFrame& f);

struct IdentWriteAck {  // FA 21..24
    int part;  // 0..3; -1 when the code is not a write
    std::uint8_t status;
};
IdentWriteAck identWriteAck(const CommandFrame& f);

// True for a frame that starts FE EF: a firmware block acknowledgement.
bool isBlockAck(const CommandFrame& f);
struct BlockAck {
    std::uint8_t flags;  // the acknowledged block's flags (0 before the last block)
    std::uint8_t block;
    std::uint8_t status; // kBlockReceived, kBlockResend, kBlockFailed
};
BlockAck blockAck(const CommandFrame& f);

}  // namespace decode
}  // namespace talvane
