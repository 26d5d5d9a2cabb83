// EDID files chosen by the operator: the checks a file must pass before it may
// be uploaded, and a one-line description of what its base block describes.
// Both take any bytes of any size and never read past `size`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace talvane {
namespace edidfile {

constexpr std::size_t kBlockSize = 128;
constexpr std::size_t kMaxFileSize = 2 * kBlockSize;  // a base block and one extension
constexpr std::size_t kExtensionCountAt = 126;
constexpr std::size_t kHeaderSize = 8;
constexpr std::uint8_t kHeader[kHeaderSize] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

enum class Verdict {
    Accepted,
    BadLength,             // not exactly 128 or 256 bytes
    BadHeader,             // bytes 0..7 are not 00 FF FF FF FF FF FF 00
    BadExtensionCount,     // byte 126 is neither 0 nor 1
    BadChecksum,           // bytes 0..127 do not add up to 0
    BadExtensionChecksum,  // one extension, and bytes 128..255 do not add up to 0
};

// A file of exactly 128 or 256 bytes with the EDID header, an extension count
// of 0 or 1 and block sums of 0. A 128-byte file that announces one extension
// is accepted: the missing block counts as zeros, as the switch receives it.
Verdict check(const std::uint8_t* bytes, std::size_t size);
inline bool accepted(const std::uint8_t* bytes, std::size_t size) { return check(bytes, size) == Verdict::Accepted; }
// Why a file of `size` bytes got `verdict`, in a few words ("257 bytes, not
// 128 or 256"); empty for Accepted.
std::string reason(Verdict verdict, const std::uint8_t* bytes, std::size_t size);

// What a base block describes. Empty or zero where the block does not say.
struct Summary {
    bool present = false;          // false when fewer than 128 bytes were given
    std::string manufacturer;      // three letters; '?' for a value outside A..Z
    std::uint16_t productCode = 0;
    int year = 0;                  // of manufacture, or the model year
    std::string monitorName;       // from a monitor name descriptor, printable ASCII only
    bool hasPreferredTiming = false;
    int width = 0;                 // active pixels of the first detailed timing
    int height = 0;                // active lines of a frame (both fields when interlaced)
    bool interlaced = false;
    std::uint64_t refreshCentiHz = 0;  // vertical rate in 1/100 Hz; 0 when it cannot be computed
};
Summary summarize(const std::uint8_t* bytes, std::size_t size);

// "TLV 0x1234, TALVANE HD, 2024, 1920x1080 @ 60 Hz"; empty without a base block.
std::string describe(const Summary& s);
inline std::string describe(const std::uint8_t* bytes, std::size_t size) { return describe(summarize(bytes, size)); }

}  // namespace edidfile
}  // namespace talvane
