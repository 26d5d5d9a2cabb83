// What the simulated switch keeps in its memory: routing, ARC, EDID, power,
// beeper, what is plugged in, who it is, its network settings and the
// firmware it was given.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/commands.h"
#include "protocol/netpackets.h"
#include "protocol/replies.h"

namespace talvane {
namespace sim {

enum class UpgradeState { Idle, Started, Receiving, Rebooting, Complete, Failed };
const char* upgradeStateName(UpgradeState s);

constexpr int kDefaultVersionMajor = 1;
constexpr int kDefaultVersionMinor = 3;
constexpr char kDefaultIdentText[] = "TALVANE HDMI MATRIX 8X8";
constexpr std::uint8_t kIdentPadding = 0x20;
constexpr MacAddress kDefaultMac{0x02, 0x54, 0x4C, 0x56, 0x53, 0x01};  // locally administered
constexpr Ipv4Octets kDefaultStaticIp{192, 168, 1, 50};
constexpr int kUploadAllInputs = 0;     // EDID upload target "All Input"
constexpr int kNoUploadTarget = -1;

using IdentText = std::array<std::uint8_t, cmd::IdentTextLength>;
IdentText identFromText(const std::string& text);  // padded with spaces, cut at 32
std::string identToText(const IdentText& ident);

struct NetworkSettings {
    MacAddress mac = kDefaultMac;
    bool staticIp = false;
    Ipv4Octets ip = kDefaultStaticIp;  // the address in static mode
};

struct SwitchModel {
    // Settings a factory reset restores.
    std::array<int, kPortCount> route{};      // input feeding output o at [o - 1]
    std::array<bool, kPortCount> arc{};       // audio return channel per output
    std::array<int, kPortCount> edidCode{};   // per input: 0..14 preset, 15..22 copy of output A..H
    bool power = true;
    bool beep = true;

    // What is plugged in: not settings, a reset leaves them.
    std::array<bool, kPortCount> source{};    // a source on input n at [n - 1]
    std::array<bool, kPortCount> display{};   // a display on output o at [o - 1]

    // Identity.
    int kind = kDeviceKindTalvane;
    int inputs = kPortCount;
    int outputs = kPortCount;
    int versionMajor = kDefaultVersionMajor;
    int versionMinor = kDefaultVersionMinor;
    IdentText ident = identFromText(kDefaultIdentText);

    NetworkSettings net;

    // The last EDID block uploaded, as received, and the input it went to
    // (kUploadAllInputs for all, kNoUploadTarget before the first).
    std::vector<std::uint8_t> edidBlock;
    int edidBlockTarget = kNoUploadTarget;

    // The firmware image as received so far (whole blocks) and the upgrade's stage.
    std::vector<std::uint8_t> firmware;
    UpgradeState upgrade = UpgradeState::Idle;

    SwitchModel();  // factory state, every port connected
    // Routing, ARC, EDID settings, power and beeper back to factory values.
    void restoreFactorySettings();
};

constexpr bool isPort(int n) { return n >= 1 && n <= kPortCount; }

// True when a received 256-byte EDID block holds a valid EDID: the standard
// layout (header at 0), or the panel's layout with a leading address byte 0x00
// (header at 1; the last byte of an extension block then does not fit, so only
// the base block's checksum can be checked).
bool edidBlockValid(const std::uint8_t* block, std::size_t size);

}  // namespace sim
}  // namespace talvane
