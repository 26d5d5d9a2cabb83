// Cuts the byte stream that reaches the switch into what the panel sends:
// 13-byte frames (A5 5B ...), 1029-byte data frames (FE EF ...) and, right
// after an EDID block header command, one raw 256-byte block with no header.
// Bytes outside a frame are skipped; a frame with a wrong checksum is reported
// and the search goes on from its second byte, so a real frame hidden behind
// junk is still found.
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/frame.h"

namespace talvane {
namespace sim {

struct StreamUnit {
    enum class Kind { Command, Data, EdidBlock, BadCommand, BadData };
    Kind kind;
    std::vector<std::uint8_t> bytes;

    bool isCommand() const { return kind == Kind::Command; }
};

// True for the command after which the raw EDID block follows.
bool isEdidBlockHeader(const CommandFrame& f);

class StreamParser {
public:
    std::vector<StreamUnit> feed(const std::uint8_t* data, std::size_t size);

    // True while bytes of an unfinished unit are held or the raw block is due.
    bool hasPartial() const { return awaitingEdidBlock_ || !buffer_.empty(); }
    bool awaitingEdidBlock() const { return awaitingEdidBlock_; }
    std::size_t heldBytes() const { return buffer_.size(); }

    // The unfinished unit never completed: stop waiting for the raw block, or
    // drop the stalled frame's first byte, and look at the held bytes again.
    std::vector<StreamUnit> giveUpPartial();

private:
    void parse(std::vector<StreamUnit>& out);

    std::vector<std::uint8_t> buffer_;
    bool awaitingEdidBlock_ = false;
};

}  // namespace sim
}  // namespace talvane
