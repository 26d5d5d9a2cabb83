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
