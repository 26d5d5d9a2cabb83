// EDID files: the checks and the summary take any bytes of any length. An
// accepted file has exactly 128 or 256 bytes, the header, an extension count
// of 0 or 1 and a base block that adds up to 0; the summary of a base block
// is one short line of printable text, and nothing below 128 bytes is
// summarised.
#include <cstring>

#include "fuzzinput.h"
#include "protocol/edidfile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace talvane::edidfile;
    if (check(data, size) == Verdict::Accepted) {
        fuzz::check(size == kBlockSize || size == kMaxFileSize);
        fuzz::check(std::memcmp(data, kHeader, kHeaderSize) == 0);
        fuzz::check(data[kExtensionCountAt] <= 1);
        unsigned sum = 0;
        for (std::size_t i = 0; i < kBlockSize; ++i)
            sum += data[i];
        fuzz::check(sum % 256 == 0);
    }
    const std::string line = describe(data, size);
    fuzz::check(size >= kBlockSize || line.empty());
    fuzz::check(line.size() < 200);
    for (char c : line)
        fuzz::check(c >= 0x20 && c < 0x7F);
    return 0;
}
