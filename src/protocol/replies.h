// The switch's replies, as the panel's reply handlers read them. The simulator
// builds its answers with these, and the tests use them to play the switch.
#pragma once

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
CommandFrame routeSetAck(int output);                         // 02 03 00, pos 6 = output
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
}  // namespace talvane
