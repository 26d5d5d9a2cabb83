// Frames exchanged with the switch over the serial line or TCP, and their checksum.
// Plain C++: shared by the panel, the simulator and the tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace talvane {

constexpr std::size_t kCommandFrameSize = 13;
constexpr std::size_t kDataFrameSize = 1029;
constexpr std::size_t kDataPayloadSize = 1024;
constexpr std::size_t kRawEdidBlockSize = 256;

constexpr std::uint8_t kCommandHeader1 = 0xA5;
constexpr std::uint8_t kCommandHeader2 = 0x5B;
constexpr std::uint8_t kDataHeader1 = 0xFE;
constexpr std::uint8_t kDataHeader2 = 0xEF;

// Byte positions of a 13-byte frame.
namespace pos {
constexpr int Header1 = 0;
constexpr int Header2 = 1;
constexpr int Group = 2;
constexpr int Code = 3;
constexpr int P1 = 4;   // port number or state value in most commands
constexpr int P2 = 5;
constexpr int P3 = 6;   // second port number or state value
constexpr int P4 = 7;
constexpr int P5 = 8;
constexpr int P6 = 9;
constexpr int P7 = 10;  // marker or state in some commands
constexpr int P8 = 11;
constexpr int Checksum = 12;
}  // namespace pos

// Byte positions of a 1029-byte data frame (one firmware block).
namespace dpos {
constexpr int Flags = 2;  // kLastBlockFlag on the block holding the end of the image
constexpr int Block = 3;  // block offset / 1024, low 8 bits
constexpr int Payload = 4;
constexpr int Checksum = 1028;
}  // namespace dpos

constexpr std::uint8_t kLastBlockFlag = 0x80;

// Two's complement of the 8-bit sum of `n` bytes.
std::uint8_t checksumOf(const std::uint8_t* bytes, std::size_t n);

// Writes the checksum into the last byte for a 13- or 1029-byte buffer; any
// other length (the raw EDID block) is left untouched. Returns true when written.
bool computeChecksum(std::uint8_t* buffer, std::size_t length);

// True when the 13 bytes of a frame add up to 0 modulo 256.
bool verifyChecksum(const std::uint8_t* frame13);

// A 13-byte frame: every command and every reply (whichever header it has).
struct CommandFrame {
    std::array<std::uint8_t, kCommandFrameSize> bytes{};

    CommandFrame();  // header A5 5B, all else 0
    static CommandFrame fromBytes(const std::uint8_t* p);  // copies 13 bytes as they are

    std::uint8_t& operator[](int i) { return bytes[static_cast<std::size_t>(i)]; }
    std::uint8_t operator[](int i) const { return bytes[static_cast<std::size_t>(i)]; }
    std::uint8_t* data() { return bytes.data(); }
    const std::uint8_t* data() const { return bytes.data(); }
    static constexpr std::size_t size() { return kCommandFrameSize; }

    std::uint8_t group() const { return bytes[pos::Group]; }
    std::uint8_t code() const { return bytes[pos::Code]; }

    // Clears positions 2..12, as a sender does before setting its command.
    void clearBody();
    // Copies positions 2..11 of `other` into this frame (header and checksum stay).
    void loadBody(const CommandFrame& other);
    // Fills in the checksum at position 12.
    CommandFrame& seal();
    bool checksumValid() const { return verifyChecksum(bytes.data()); }

    bool operator==(const CommandFrame& o) const { return bytes == o.bytes; }
    bool operator!=(const CommandFrame& o) const { return bytes != o.bytes; }
};

// A 1029-byte firmware block.
struct DataFrame {
    std::array<std::uint8_t, kDataFrameSize> bytes{};

    DataFrame();  // header FE EF, all else 0
    std::uint8_t* data() { return bytes.data(); }
    const std::uint8_t* data() const { return bytes.data(); }
    static constexpr std::size_t size() { return kDataFrameSize; }

    std::uint8_t flags() const { return bytes[dpos::Flags]; }
    std::uint8_t blockNumber() const { return bytes[dpos::Block]; }
    const std::uint8_t* payload() const { return bytes.data() + dpos::Payload; }

    // Fills flags, block number and payload from an image: the 1024 bytes at
    // `offset`, padded with 0xFF past the image's end.
    void fill(const std::uint8_t* image, std::size_t imageSize, std::size_t offset, std::uint8_t flags);
    bool checksumValid() const;
};

// "A5 5B 02 03 ..." — uppercase two-digit hex separated by single spaces.
std::string toHex(const std::uint8_t* bytes, std::size_t n);
template <std::size_t N>
std::string toHex(const std::array<std::uint8_t, N>& a) { return toHex(a.data(), N); }

}  // namespace talvane
