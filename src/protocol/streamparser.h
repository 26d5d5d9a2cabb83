// Cuts the byte stream that goes to the switch into what the panel sends (the
// simulator reads it so, and the hub reads each client's so):
// 13-byte frames (A5 5B ...), 1029-byte data frames (FE EF ...) and, right
// after an EDID block header command, one raw 256-byte block with no header.
// Bytes outside a frame are skipped; a frame with a wrong checksum is reported
// and the search goes on from its second byte, so a real frame hidden behind
// junk is still found.
//
// Whatever a peer sends, the work is linear in the bytes received and the
// memory bounded: checksums come from running sums (no frame is summed again
// at every offset), units are handed out as views into the held bytes as
// they are found, and only an unfinished unit is kept between calls. Of
// overlapping frames with wrong checksums only the first is reported, so a
// stream of headers is reported at most once per byte.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "frame.h"

namespace talvane {

struct StreamUnit {
    enum class Kind { Command, Data, EdidBlock, BadCommand, BadData };
    Kind kind;
    const std::uint8_t* data;  // valid only during the call that hands the unit out
    std::size_t size;

    bool isCommand() const { return kind == Kind::Command; }
    bool isBad() const { return kind == Kind::BadCommand || kind == Kind::BadData; }
};

class StreamParser {
public:
    // Receives each unit as soon as it is cut out. It must not feed this parser.
    using Sink = std::function<void(const StreamUnit&)>;

    // Received bytes are cut in slices of at most this size, so a huge write
    // is never held whole.
    static constexpr std::size_t kSliceSize = 16 * 1024;

    void feed(const std::uint8_t* data, std::size_t size, const Sink& sink);

    // True while bytes of an unfinished unit are held or the raw block is due.
    bool hasPartial() const { return awaitingEdidBlock_ || !buffer_.empty(); }
    bool awaitingEdidBlock() const { return awaitingEdidBlock_; }
    std::size_t heldBytes() const { return buffer_.size(); }

    // Nothing more came: the unfinished unit never will. Stops waiting for the
    // raw block and drops every frame that cannot complete from the held bytes
    // (reported as bad); the complete frames among them are still cut out.
    void giveUpPartial(const Sink& sink);

private:
    void append(const std::uint8_t* data, std::size_t size);
    void parse(const Sink& sink, bool final);
    // Sum modulo 256 of the held bytes [at, at + n).
    std::uint8_t sumOf(std::size_t at, std::size_t n) const
    {
        return static_cast<std::uint8_t>(prefix_[at + n] - prefix_[at]);
    }

    std::vector<std::uint8_t> buffer_;
    // prefix_[i] is the sum modulo 256 of everything received before buffer_[i];
    // one entry longer than buffer_.
    std::vector<std::uint8_t> prefix_{0};
    // Bad frames starting before this offset in buffer_ lie inside one already reported.
    std::size_t reportedUntil_ = 0;
    bool awaitingEdidBlock_ = false;
};

}  // namespace talvane
