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

}  // namespace talvane
