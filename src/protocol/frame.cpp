#include "frame.h"

#include <algorithm>
#include <cstring>

namespace talvane {

std::uint8_t checksumOf(const std::uint8_t* bytes, std::size_t n)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum += bytes[i];
    return static_cast<std::uint8_t>((256u - (sum & 0xFFu)) & 0xFFu);
}

bool computeChecksum(std::uint8_t* buffer, std::size_t length)
{
    if (length != kCommandFrameSize && length != kDataFrameSize)
        return false;
    buffer[length - 1] = checksumOf(buffer, length - 1);
    return true;
}

bool verifyChecksum(const std::uint8_t* frame13)
{
    return checksumOf(frame13, kCommandFrameSize - 1) == frame13[pos::Checksum];
}

CommandFrame::CommandFrame()
{
    bytes[pos::Header1] = kCommandHeader1;
    bytes[pos::Header2] = kCommandHeader2;
}

CommandFrame CommandFrame::fromBytes(const std::uint8_t* p)
{
    CommandFrame f;
    std::memcpy(f.bytes.data(), p, kCommandFrameSize);
    return f;
}

void CommandFrame::clearBody()
{
    std::fill(bytes.begin() + pos::Group, bytes.end(), 0);
}

void CommandFrame::loadBody(const CommandFrame& other)
{
    std::copy(other.bytes.begin() + pos::Group, other.bytes.begin() + pos::Checksum,
              bytes.begin() + pos::Group);
}

CommandFrame& CommandFrame::seal()
{
    computeChecksum(bytes.data(), kCommandFrameSize);
    return *this;
}

DataFrame::DataFrame()
{
    bytes[0] = kDataHeader1;
    bytes[1] = kDataHeader2;
}

void DataFrame::fill(const std::uint8_t* image, std::size_t imageSize, std::size_t offset, std::uint8_t flags)
{
    bytes[dpos::Flags] = flags;
    bytes[dpos::Block] = static_cast<std::uint8_t>((offset / kDataPayloadSize) & 0xFF);
    std::uint8_t* out = bytes.data() + dpos::Payload;
    std::fill(out, out + kDataPayloadSize, 0xFF);
    if (offset < imageSize)
        std::memcpy(out, image + offset, std::min(kDataPayloadSize, imageSize - offset));
}

bool DataFrame::checksumValid() const
{
    return checksumOf(bytes.data(), kDataFrameSize - 1) == bytes[dpos::Checksum];
}

std::string toHex(const std::uint8_t* bytes, std::size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(n * 3);
    for (std::size_t i = 0; i < n; ++i) {
        if (i)
            s += ' ';
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 0xF];
    }
    return s;
}

}  // namespace talvane
