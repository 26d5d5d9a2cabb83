#include "edidfile.h"

namespace talvane {
namespace edidfile {

namespace {

// Base block fields.
constexpr std::size_t kManufacturerAt = 8;   // big-endian, three 5-bit letters (1 = 'A')
constexpr std::size_t kProductCodeAt = 10;   // little-endian
constexpr std::size_t kYearAt = 17;          // years since 1990 (of manufacture, or the model year)
constexpr int kYearBase = 1990;
constexpr std::size_t kDescriptorsAt = 54;
constexpr std::size_t kDescriptorSize = 18;
constexpr int kDescriptorCount = 4;
// Display descriptors (pixel clock 0): tag at 3, text from 5.
constexpr std::size_t kDescriptorTagAt = 3;
constexpr std::uint8_t kMonitorNameTag = 0xFC;
constexpr std::size_t kDescriptorTextAt = 5;
constexpr std::uint8_t kTextEnd = 0x0A;
// Detailed timing descriptors.
constexpr std::uint32_t kPixelClockUnitHz = 10000;
constexpr std::uint8_t kInterlacedBit = 0x80;  // byte 17

std::uint8_t sum(const std::uint8_t* bytes, std::size_t n)
{
    unsigned s = 0;
    for (std::size_t i = 0; i < n; ++i)
        s += bytes[i];
    return static_cast<std::uint8_t>(s & 0xFF);
}

char letter(unsigned v) { return v >= 1 && v <= 26 ? static_cast<char>('A' + v - 1) : '?'; }

bool isTimingDescriptor(const std::uint8_t* d) { return d[0] != 0 || d[1] != 0; }

std::string monitorName(const std::uint8_t* d)
{
    std::string name;
    for (std::size_t i = kDescriptorTextAt; i < kDescriptorSize && d[i] != kTextEnd; ++i)
        name += d[i] >= 0x20 && d[i] < 0x7F ? static_cast<char>(d[i]) : '?';
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    return name;
}

void readTiming(const std::uint8_t* d, Summary& s)
{
    const std::uint32_t clockHz = (std::uint32_t(d[0]) | std::uint32_t(d[1]) << 8) * kPixelClockUnitHz;
    const std::uint32_t hActive = d[2] | std::uint32_t(d[4] & 0xF0) << 4;
    const std::uint32_t hBlank = d[3] | std::uint32_t(d[4] & 0x0F) << 8;
    const std::uint32_t vActive = d[5] | std::uint32_t(d[7] & 0xF0) << 4;
    const std::uint32_t vBlank = d[6] | std::uint32_t(d[7] & 0x0F) << 8;
    s.hasPreferredTiming = true;
    s.interlaced = (d[17] & kInterlacedBit) != 0;
    s.width = int(hActive);
    // An interlaced timing gives the lines of one field.
    s.height = int(s.interlaced ? 2 * vActive : vActive);
    // The field rate: an interlaced frame has two fields and one more line
    // than twice a field's total (1125 lines for 1080i).
    const std::uint64_t hTotal = hActive + hBlank;
    const std::uint64_t vTotal = vActive + vBlank;
    const std::uint64_t pixels = s.interlaced ? hTotal * (2 * vTotal + 1) : hTotal * vTotal;
    const std::uint64_t centiHz = std::uint64_t(clockHz) * 100 * (s.interlaced ? 2 : 1);
    s.refreshCentiHz = pixels == 0 ? 0 : (centiHz + pixels / 2) / pixels;
}

}  // namespace

Verdict check(const std::uint8_t* bytes, std::size_t size)
{
    if (!bytes || (size != kBlockSize && size != kMaxFileSize))
        return Verdict::BadLength;
    for (std::size_t i = 0; i < kHeaderSize; ++i)
        if (bytes[i] != kHeader[i])
            return Verdict::BadHeader;
    const std::uint8_t extensions = bytes[kExtensionCountAt];
    if (extensions > 1)
        return Verdict::BadExtensionCount;
    if (sum(bytes, kBlockSize) != 0)
        return Verdict::BadChecksum;
    // A 128-byte file's missing extension block is all zeros and adds up to 0.
    if (extensions == 1 && size == kMaxFileSize && sum(bytes + kBlockSize, kBlockSize) != 0)
        return Verdict::BadExtensionChecksum;
    return Verdict::Accepted;
}

std::string reason(Verdict verdict, const std::uint8_t* bytes, std::size_t size)
{
    switch (verdict) {
    case Verdict::Accepted:
        break;
    case Verdict::BadLength:
        return std::to_string(size) + " bytes, not " + std::to_string(kBlockSize) + " or " + std::to_string(kMaxFileSize);
    case Verdict::BadHeader:
        return "no EDID header at the start";
    case Verdict::BadExtensionCount:
        return std::to_string(bytes[kExtensionCountAt]) + " extension blocks announced, at most 1";
    case Verdict::BadChecksum:
        return "checksum of the base block wrong";
    case Verdict::BadExtensionChecksum:
        return "checksum of the extension block wrong";
    }
    return {};
}

Summary summarize(const std::uint8_t* bytes, std::size_t size)
{
    Summary s;
    if (!bytes || size < kBlockSize)
        return s;
    s.present = true;
    const unsigned id = unsigned(bytes[kManufacturerAt]) << 8 | bytes[kManufacturerAt + 1];
    s.manufacturer = {letter(id >> 10 & 0x1F), letter(id >> 5 & 0x1F), letter(id & 0x1F)};
    s.productCode = static_cast<std::uint16_t>(bytes[kProductCodeAt] | bytes[kProductCodeAt + 1] << 8);
    s.year = kYearBase + bytes[kYearAt];
    for (int k = 0; k < kDescriptorCount; ++k) {
        const std::uint8_t* d = bytes + kDescriptorsAt + std::size_t(k) * kDescriptorSize;
        if (isTimingDescriptor(d)) {
            if (!s.hasPreferredTiming)
                readTiming(d, s);
        } else if (d[kDescriptorTagAt] == kMonitorNameTag && s.monitorName.empty()) {
            s.monitorName = monitorName(d);
        }
    }
    return s;
}

std::string describe(const Summary& s)
{
    if (!s.present)
        return {};
    static const char digits[] = "0123456789ABCDEF";
    std::string out = s.manufacturer + " 0x";
    for (int shift = 12; shift >= 0; shift -= 4)
        out += digits[s.productCode >> shift & 0xF];
    if (!s.monitorName.empty())
        out += ", " + s.monitorName;
    out += ", " + std::to_string(s.year);
    if (s.hasPreferredTiming && s.width > 0 && s.height > 0) {
        out += ", " + std::to_string(s.width) + "x" + std::to_string(s.height);
        if (s.interlaced)
            out += "i";
        if (s.refreshCentiHz > 0) {
            // "60", "59.94", "29.97", "50.5": no trailing zeros, and a point
            // whatever the locale.
            out += " @ " + std::to_string(s.refreshCentiHz / 100);
            const auto fraction = s.refreshCentiHz % 100;
            if (fraction % 10 != 0)
                out += (fraction < 10 ? ".0" : ".") + std::to_string(fraction);
            else if (fraction != 0)
                out += "." + std::to_string(fraction / 10);
            out += " Hz";
        }
    }
    return out;
}

}  // namespace edidfile
}  // namespace talvane
