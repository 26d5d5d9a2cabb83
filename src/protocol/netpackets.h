// UDP datagrams of the device search (port 30600) and the network settings
// (port 30601).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace talvane {

constexpr std::uint16_t kControlTcpPort = 8000;
constexpr std::uint16_t kSearchUdpPort = 30600;
constexpr std::uint16_t kConfigUdpPort = 30601;

using MacAddress = std::array<std::uint8_t, 6>;
using Ipv4Octets = std::array<std::uint8_t, 4>;

// A switch's answer to the search request.
struct SearchReply {
    static constexpr std::size_t kMinSize = 50;
    static constexpr std::size_t kMacAt = 0;
    static constexpr std::size_t kIpAt = 6;
    static constexpr std::size_t kMark1At = 18;
    static constexpr std::size_t kMark2At = 19;
    static constexpr std::uint8_t kMark1 = 0x77;
    static constexpr std::uint8_t kMark2 = 0x88;

    MacAddress mac{};
    Ipv4Octets ip{};
    bool marked = false;  // bytes 18..19 hold 0x77 0x88

    std::vector<std::uint8_t> encode() const;  // kMinSize bytes, marks set
    // Empty when fewer than kMinSize bytes.
    static std::optional<SearchReply> decode(const std::uint8_t* data, std::size_t size);
};

// The network settings the panel sends to one switch (addressed by its MAC).
struct NetConfigPacket {
    static constexpr std::size_t kSize = 76;
    static constexpr std::size_t kTargetMacAt = 0;
    static constexpr std::size_t kIpAt = 6;
    static constexpr std::size_t kGatewayAt = 10;
    static constexpr std::size_t kMaskAt = 14;
    static constexpr std::size_t kAutoFlagAt = 18;
    static constexpr std::size_t kNewMacAt = 19;
    static constexpr std::size_t kModeAt = 25;
    static constexpr std::size_t kEndMarkAt = 74;
    static constexpr std::size_t kSumAt = 75;
    static constexpr std::uint8_t kModeAuto = 0x16;
    static constexpr std::uint8_t kModeStatic = 0x17;
    static constexpr std::uint8_t kEndMark = 0xFF;
    // A switch confirms with at least kSize bytes and 0 at kEndMarkAt.
    static constexpr std::uint8_t kConfirmOk = 0x00;

    MacAddress target{};
    bool staticIp = false;
    Ipv4Octets ip{};  // used in static mode
    MacAddress newMac{};

    std::vector<std::uint8_t> encode() const;
    // The switch's confirmation of these settings: the packet with kConfirmOk
    // at kEndMarkAt and the sum taken again.
    std::vector<std::uint8_t> encodeConfirmation() const;
    // Empty when the size, end mark or sum is wrong.
    static std::optional<NetConfigPacket> decode(const std::uint8_t* data, std::size_t size);
    // Gateway and mask as the packet carries them in static mode: x.y.z.1, 255.255.255.0.
    Ipv4Octets gateway() const { return {ip[0], ip[1], ip[2], 1}; }
    static Ipv4Octets mask() { return {0xFF, 0xFF, 0xFF, 0x00}; }
};

// The switch's confirmation of a NetConfigPacket: at least kSize bytes with
// kConfirmOk at kEndMarkAt.
bool isNetConfigConfirmation(const std::uint8_t* data, std::size_t size);

// The switch the network settings work on, as the search reported it: four IP
// octet texts (decimal, no leading zeros) and six MAC byte texts (two
// uppercase hexadecimal digits each).
struct NetDevice {
    std::array<std::string, 4> ip;
    std::array<std::string, 6> mac;

    static NetDevice fromReply(const SearchReply& reply);
    // A device-list entry: its address text split at the dots, its MAC text
    // cut into pairs. Missing parts stay empty.
    static NetDevice fromEntry(const std::string& address, const std::string& macText);
    std::string addressText() const;  // the octets joined by "."
    std::string macText() const;      // the six pairs joined, 12 digits
};

// What the network settings dialog leaves, kept between its uses.
struct NetSettings {
    bool staticIp = false;  // false: Auto IP
    std::array<std::string, 4> ip;   // the IP boxes as typed
    std::array<std::string, 6> mac;  // the MAC boxes as typed
};

// A MAC text read as pairs of hexadecimal digits: the value of the last
// complete pair before the end or before the first pair holding any other
// character; 0 when there is none ("1A2B" gives 0x2B, "1G" gives 0).
std::uint8_t macByteFromText(const std::string& text);
// An IP octet text read as a decimal integer (its leading digits, none: 0),
// low 8 bits ("300" gives 44).
std::uint8_t ipOctetFromText(const std::string& text);
// The packet that applies `settings` to the switch whose MAC `current` holds.
NetConfigPacket netConfigFor(const NetDevice& current, const NetSettings& settings);

// Four decimal octets 0..255 joined by dots, nothing else (no leading zeros
// beyond a single 0); empty when `text` is not such an address.
std::optional<Ipv4Octets> parseIpv4(const std::string& text);

// A MAC written as six pairs of hexadecimal digits, with ':' or '-' between
// every two pairs or with nothing between them ("02:54:4C:56:53:09",
// "02-54-4c-56-53-09", "02544C565309"); empty for anything else.
std::optional<MacAddress> parseMac(const std::string& text);

// Settings that would cut the switch off the network: an address it cannot
// have, or one its /24 (the packet fixes the mask at 255.255.255.0) keeps
// for the network itself or for broadcasts. Where several apply, the first
// listed here is reported.
enum class StaticIpProblem {
    None,
    AllZero,           // 0.0.0.0
    LimitedBroadcast,  // 255.255.255.255
    Loopback,          // 127.0.0.0/8
    Multicast,         // 224.0.0.0/4
    Reserved,          // 240.0.0.0/4
    NetworkAddress,    // x.y.z.0
    BroadcastAddress,  // x.y.z.255
};
StaticIpProblem staticIpProblem(const Ipv4Octets& ip);

enum class MacProblem {
    None,
    Zero,       // 00-00-00-00-00-00
    Broadcast,  // FF-FF-FF-FF-FF-FF
    Multicast,  // the low bit of the first byte set
};
MacProblem macProblem(const MacAddress& mac);

// Why the settings are refused, for the operator; empty for None.
const char* describe(StaticIpProblem problem);
const char* describe(MacProblem problem);

// The 8-bit sum (not its complement) that closes a NetConfigPacket.
std::uint8_t plainSum(const std::uint8_t* data, std::size_t n);

std::string macToText(const MacAddress& mac);  // "AABBCCDDEEFF"
std::string ipToText(const Ipv4Octets& ip);    // "192.168.1.50"

}  // namespace talvane
