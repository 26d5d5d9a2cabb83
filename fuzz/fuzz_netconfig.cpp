// The network settings codec: a datagram decodes only with the right size,
// end mark and sum; what decodes encodes to settings that decode the same;
// the confirmation of settings is never taken for settings; and whatever is
// encoded decodes back the same.
#include <algorithm>

#include "fuzzinput.h"
#include "protocol/netpackets.h"

using namespace talvane;

namespace {

using P = NetConfigPacket;

bool sameSettings(const P& a, const P& b)
{
    // The address counts only in static mode: automatic settings carry none.
    return a.target == b.target && a.staticIp == b.staticIp && a.newMac == b.newMac && (!a.staticIp || a.ip == b.ip);
}

void checkRoundTrip(const P& p)
{
    using fuzz::check;
    const std::vector<std::uint8_t> bytes = p.encode();
    check(bytes.size() == P::kSize && bytes[P::kEndMarkAt] == P::kEndMark);
    const std::optional<P> back = P::decode(bytes.data(), bytes.size());
    check(back && sameSettings(*back, p));
    const std::vector<std::uint8_t> confirmation = p.encodeConfirmation();
    check(confirmation.size() == P::kSize && confirmation[P::kEndMarkAt] == P::kConfirmOk);
    check(plainSum(confirmation.data(), P::kSumAt) == confirmation[P::kSumAt]);
    check(!P::decode(confirmation.data(), confirmation.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using fuzz::check;
    const std::optional<P> p = P::decode(data, size);
    const bool wellFormed = size >= P::kSize && data[P::kEndMarkAt] == P::kEndMark
                            && plainSum(data, P::kSumAt) == data[P::kSumAt];
    check(p.has_value() == wellFormed);
    if (p) {
        check(std::equal(p->target.begin(), p->target.end(), data + P::kTargetMacAt));
        check(std::equal(p->newMac.begin(), p->newMac.end(), data + P::kNewMacAt));
        check(p->staticIp == (data[P::kModeAt] == P::kModeStatic));
        checkRoundTrip(*p);
    }

    // The input's first bytes as settings to send.
    fuzz::Input in(data, size);
    P sent;
    for (std::uint8_t& b : sent.target)
        b = in.byte();
    sent.staticIp = in.byte() & 1;
    for (std::uint8_t& b : sent.ip)
        b = in.byte();
    for (std::uint8_t& b : sent.newMac)
        b = in.byte();
    checkRoundTrip(sent);
    return 0;
}
