// The search answer codec: any datagram decodes to what its bytes say (or to
// nothing when it is short), and whatever is encoded decodes back the same.
#include <algorithm>

#include "fuzzinput.h"
#include "protocol/netpackets.h"

using namespace talvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using fuzz::check;
    const std::optional<SearchReply> r = SearchReply::decode(data, size);
    check(r.has_value() == (size >= SearchReply::kMinSize));
    if (r) {
        check(std::equal(r->mac.begin(), r->mac.end(), data + SearchReply::kMacAt));
        check(std::equal(r->ip.begin(), r->ip.end(), data + SearchReply::kIpAt));
        check(r->marked == (data[SearchReply::kMark1At] == SearchReply::kMark1
                            && data[SearchReply::kMark2At] == SearchReply::kMark2));
    }

    // The input's first bytes as an answer to send: it comes back as it went.
    fuzz::Input in(data, size);
    SearchReply sent;
    for (std::uint8_t& b : sent.mac)
        b = in.byte();
    for (std::uint8_t& b : sent.ip)
        b = in.byte();
    const std::vector<std::uint8_t> bytes = sent.encode();
    check(bytes.size() == SearchReply::kMinSize);
    const std::optional<SearchReply> back = SearchReply::decode(bytes.data(), bytes.size());
    check(back && back->mac == sent.mac && back->ip == sent.ip && back->marked);
    return 0;
}
