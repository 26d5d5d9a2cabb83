#include "netpackets.h"

#include <algorithm>
#include <cstdio>

namespace talvane {

std::uint8_t plainSum(const std::uint8_t* data, std::size_t n)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum += data[i];
    return static_cast<std::uint8_t>(sum & 0xFF);
}

std::vector<std::uint8_t> SearchReply::encode() const
{
    std::vector<std::uint8_t> out(kMinSize, 0);
    std::copy(mac.begin(), mac.end(), out.begin() + kMacAt);
    std::copy(ip.begin(), ip.end(), out.begin() + kIpAt);
    out[kMark1At] = kMark1;
    out[kMark2At] = kMark2;
    return out;
}

std::optional<SearchReply> SearchReply::decode(const std::uint8_t* data, std::size_t size)
{
    if (size < kMinSize)
        return std::nullopt;
    SearchReply r;
    std::copy(data + kMacAt, data + kMacAt + 6, r.mac.begin());
    std::copy(data + kIpAt, data + kIpAt + 4, r.ip.begin());
    r.marked = data[kMark1At] == kMark1 && data[kMark2At] == kMark2;
    return r;
}

std::vector<std::uint8_t> NetConfigPacket::encode() const
{
    std::vector<std::uint8_t> out(kSize, 0);
    std::copy(target.begin(), target.end(), out.begin() + kTargetMacAt);
    if (staticIp) {
        const Ipv4Octets gw = gateway();
        const Ipv4Octets m = mask();
        std::copy(ip.begin(), ip.end(), out.begin() + kIpAt);
        std::copy(gw.begin(), gw.end(), out.begin() + kGatewayAt);
        std::copy(m.begin(), m.end(), out.begin() + kMaskAt);
        out[kAutoFlagAt] = 0x00;
        out[kModeAt] = kModeStatic;
    } else {
        out[kAutoFlagAt] = 0x01;
        out[kModeAt] = kModeAuto;
    }
    std::copy(newMac.begin(), newMac.end(), out.begin() + kNewMacAt);
    out[kEndMarkAt] = kEndMark;
    out[kSumAt] = plainSum(out.data(), kSumAt);
    return out;
}

std::vector<std::uint8_t> NetConfigPacket::encodeConfirmation() const
{
    std::vector<std::uint8_t> out = encode();
    out[kEndMarkAt] = kConfirmOk;
    out[kSumAt] = plainSum(out.data(), kSumAt);
    return out;
}

std::optional<NetConfigPacket> NetConfigPacket::decode(const std::uint8_t* data, std::size_t size)
{
    if (size < kSize || data[kEndMarkAt] != kEndMark || plainSum(data, kSumAt) != data[kSumAt])
        return std::nullopt;
    NetConfigPacket p;
    std::copy(data + kTargetMacAt, data + kTargetMacAt + 6, p.target.begin());
    p.staticIp = data[kModeAt] == kModeStatic;
    std::copy(data + kIpAt, data + kIpAt + 4, p.ip.begin());
    std::copy(data + kNewMacAt, data + kNewMacAt + 6, p.newMac.begin());
    return p;
}

bool isNetConfigConfirmation(const std::uint8_t* data, std::size_t size)
{
    return size >= NetConfigPacket::kSize && data[NetConfigPacket::kEndMarkAt] == NetConfigPacket::kConfirmOk;
}

namespace {

int hexDigit(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string hexPair(std::uint8_t b)
{
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02X", b);
    return buf;
}

}  // namespace

NetDevice NetDevice::fromReply(const SearchReply& reply)
{
    NetDevice d;
    for (std::size_t i = 0; i < d.mac.size(); ++i)
        d.mac[i] = hexPair(reply.mac[i]);
    for (std::size_t i = 0; i < d.ip.size(); ++i)
        d.ip[i] = std::to_string(reply.ip[i]);
    return d;
}

NetDevice NetDevice::fromEntry(const std::string& address, const std::string& macText)
{
    NetDevice d;
    std::size_t part = 0;
    for (char c : address) {
        if (c == '.') {
            if (++part >= d.ip.size())
                break;
        } else {
            d.ip[part] += c;
        }
    }
    for (std::size_t i = 0; i < d.mac.size() && 2 * i < macText.size(); ++i)
        d.mac[i] = macText.substr(2 * i, 2);
    return d;
}

std::string NetDevice::addressText() const { return ip[0] + '.' + ip[1] + '.' + ip[2] + '.' + ip[3]; }

std::string NetDevice::macText() const
{
    std::string out;
    for (const std::string& m : mac)
        out += m;
    return out;
}

std::uint8_t macByteFromText(const std::string& text)
{
    std::uint8_t value = 0;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        const int high = hexDigit(static_cast<unsigned char>(text[i]));
        const int low = hexDigit(static_cast<unsigned char>(text[i + 1]));
        if (high < 0 || low < 0)
            break;
        value = static_cast<std::uint8_t>(high << 4 | low);
    }
    return value;
}

std::uint8_t ipOctetFromText(const std::string& text)
{
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        value = (value * 10 + unsigned(c - '0')) & 0xFF;  // the low 8 bits of the whole number
    }
    return static_cast<std::uint8_t>(value);
}

NetConfigPacket netConfigFor(const NetDevice& current, const NetSettings& settings)
{
    NetConfigPacket p;
    for (std::size_t i = 0; i < p.target.size(); ++i) {
        p.target[i] = macByteFromText(current.mac[i]);
        p.newMac[i] = macByteFromText(settings.mac[i]);
    }
    p.staticIp = settings.staticIp;
    if (settings.staticIp)
        for (std::size_t i = 0; i < p.ip.size(); ++i)
            p.ip[i] = ipOctetFromText(settings.ip[i]);
    return p;
}

std::optional<Ipv4Octets> parseIpv4(const std::string& text)
{
    Ipv4Octets out{};
    std::size_t part = 0;
    std::size_t digits = 0;
    unsigned value = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        const char c = i < text.size() ? text[i] : '.';
        if (c >= '0' && c <= '9') {
            if (digits == 1 && value == 0)
                return std::nullopt;  // a leading zero
            value = value * 10 + unsigned(c - '0');
            if (++digits > 3 || value > 255)
                return std::nullopt;
            continue;
        }
        if (c != '.' || digits == 0 || part >= out.size())
            return std::nullopt;
        out[part++] = static_cast<std::uint8_t>(value);
        digits = 0;
        value = 0;
    }
    if (part != out.size())
        return std::nullopt;
    return out;
}

std::string macToText(const MacAddress& mac)
{
    char buf[13];
    std::snprintf(buf, sizeof buf, "%02X%02X%02X%02X%02X%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return buf;
}

std::string ipToText(const Ipv4Octets& ip)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    return buf;
}

std::optional<MacAddress> parseMac(const std::string& text)
{
    constexpr std::size_t kPairs = 6;
    // With separators: "hh" then 5 times (separator "hh"); without: 12 digits.
    const bool separated = text.size() == kPairs * 3 - 1;
    if (!separated && text.size() != kPairs * 2)
        return std::nullopt;
    const std::size_t stride = separated ? 3 : 2;
    MacAddress out{};
    for (std::size_t i = 0; i < kPairs; ++i) {
        const std::size_t at = i * stride;
        const int high = hexDigit(static_cast<unsigned char>(text[at]));
        const int low = hexDigit(static_cast<unsigned char>(text[at + 1]));
        if (high < 0 || low < 0)
            return std::nullopt;
        if (separated && i + 1 < kPairs && text[at + 2] != ':' && text[at + 2] != '-')
            return std::nullopt;
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return out;
}

namespace {
constexpr std::uint8_t kLoopbackNet = 127;
constexpr std::uint8_t kMulticastFirst = 224;  // 224.0.0.0/4
constexpr std::uint8_t kReservedFirst = 240;   // 240.0.0.0/4, up to the limited broadcast
constexpr std::uint8_t kHostNetwork = 0;       // host part of the /24's own address
constexpr std::uint8_t kHostBroadcast = 255;   // host part of its broadcast address
constexpr std::uint8_t kMulticastBit = 0x01;   // in the first byte of a MAC
}  // namespace

StaticIpProblem staticIpProblem(const Ipv4Octets& ip)
{
    const auto all = [&ip](std::uint8_t v) { return ip[0] == v && ip[1] == v && ip[2] == v && ip[3] == v; };
    if (all(0))
        return StaticIpProblem::AllZero;
    if (all(0xFF))
        return StaticIpProblem::LimitedBroadcast;
    if (ip[0] == kLoopbackNet)
        return StaticIpProblem::Loopback;
    if (ip[0] >= kMulticastFirst && ip[0] < kReservedFirst)
        return StaticIpProblem::Multicast;
    if (ip[0] >= kReservedFirst)
        return StaticIpProblem::Reserved;
    if (ip[3] == kHostNetwork)
        return StaticIpProblem::NetworkAddress;
    if (ip[3] == kHostBroadcast)
        return StaticIpProblem::BroadcastAddress;
    return StaticIpProblem::None;
}

MacProblem macProblem(const MacAddress& mac)
{
    const auto all = [&mac](std::uint8_t v) {
        for (std::uint8_t b : mac)
            if (b != v)
                return false;
        return true;
    };
    if (all(0))
        return MacProblem::Zero;
    if (all(0xFF))
        return MacProblem::Broadcast;
    if (mac[0] & kMulticastBit)
        return MacProblem::Multicast;
    return MacProblem::None;
}

const char* describe(StaticIpProblem problem)
{
    switch (problem) {
    case StaticIpProblem::None:
        break;
    case StaticIpProblem::AllZero:
        return "0.0.0.0 is no address a switch can have.";
    case StaticIpProblem::LimitedBroadcast:
        return "255.255.255.255 is the broadcast address.";
    case StaticIpProblem::Loopback:
        return "127.x.x.x addresses are loopback: the switch would be cut off.";
    case StaticIpProblem::Multicast:
        return "224.0.0.0 to 239.255.255.255 are multicast addresses.";
    case StaticIpProblem::Reserved:
        return "Addresses from 240.0.0.0 on are reserved.";
    case StaticIpProblem::NetworkAddress:
        return "An address ending in .0 names the network itself (mask 255.255.255.0).";
    case StaticIpProblem::BroadcastAddress:
        return "An address ending in .255 is the network's broadcast (mask 255.255.255.0).";
    }
    return "";
}

const char* describe(MacProblem problem)
{
    switch (problem) {
    case MacProblem::None:
        break;
    case MacProblem::Zero:
        return "00-00-00-00-00-00 is no MAC a switch can have.";
    case MacProblem::Broadcast:
        return "FF-FF-FF-FF-FF-FF is the broadcast MAC.";
    case MacProblem::Multicast:
        return "An odd first MAC byte makes a multicast MAC.";
    }
    return "";
}

}  // namespace talvane
