// Cuts a received serial byte stream into 13-byte frames, byte by byte.
//
// While outside a frame, bytes go into a 256-byte search window whose fill count
// starts at 2 (indexes 0 and 1 stay 0). When the last two stored bytes are
// A5 5B or FE EF a frame starts; its next 11 bytes are taken as they come, with
// no header search inside the frame. When the window fills up without a frame
// start, its fill count goes back to 2 and older bytes are overwritten, so a
// header whose two bytes straddle that wrap is not recognised.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>

#include "frame.h"

namespace talvane {

class FrameAssembler {
public:
    static constexpr std::size_t kWindowSize = 256;
    static constexpr std::size_t kWindowStart = 2;

    using FrameHandler = std::function<void(const CommandFrame&)>;

    explicit FrameAssembler(FrameHandler onFrame = {});
    void setHandler(FrameHandler onFrame) { onFrame_ = std::move(onFrame); }

    // Feeds one received byte; calls the handler when it completes a frame.
    // Returns true when this byte completed a frame.
    bool feed(std::uint8_t byte);
    // Feeds the bytes of one read, in order. When a frame handler runs a
    // nested event loop in which the next read arrives (a second receive()),
    // that read is fed after the rest of this one, so the order holds. Bytes
    // wait only while a handler runs, never more than the reads not yet fed.
    void receive(const std::uint8_t* bytes, std::size_t count);
    // Forgets a frame in progress and the bytes waiting.
    void reset();

    bool inFrame() const { return inFrame_; }
    std::size_t windowFill() const { return windowFill_; }
    std::size_t framePosition() const { return framePos_; }

private:
    void restartSearch();

    FrameHandler onFrame_;
    std::deque<std::uint8_t> pending_;  // received, not yet fed
    std::array<std::uint8_t, kWindowSize> window_{};
    std::size_t windowFill_ = kWindowStart;
    std::array<std::uint8_t, kCommandFrameSize> frame_{};
    std::size_t framePos_ = 0;
    bool inFrame_ = false;
};

}  // namespace talvane
