// Cuts a received serial byte stream into 13-byte frames, byte by byte.
//
// While outside a frame, bytes go into a 256-byte search window whose fill count
// starts at 2 (indexes 0 and 1 stay 0). When the last two stored bytes are
// A5 5B or FE EF a frame starts; its next 11 bytes are taken as they come, with
// no header search inside the frame. When the window fills up without a frame
// start, its fill count goes back to 2 and older bytes are overwritten, so a
// header whose two bytes straddle that wrap is not recognised.
//
// Bytes fed with the time they were received are also cut by silence: after
// more than kSilenceLimitMs without a byte, the search starts afresh, and a
// frame in progress is dropped (and counted). Half a frame followed by
// silence would otherwise swallow the first 13 - n bytes of the next reply.
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
    // A frame takes 1.2 ms on a 115200 8N2 line (13 bytes of 11 bits); a USB
    // serial adapter passes bytes on within 16 ms, and TCP resends a lost
    // segment after 200 ms at the least, so the bytes of one reply never lie
    // a second apart. The panel resends an unanswered command after 3 s,
    // and the answer to the resend must find the assembler clear of the
    // broken one: a second is far beyond the first and well within the second.
    // (The simulator gives up a partial frame after a second too.)
    static constexpr std::int64_t kSilenceLimitMs = 1000;

    using FrameHandler = std::function<void(const CommandFrame&)>;

    explicit FrameAssembler(FrameHandler onFrame = {});
    void setHandler(FrameHandler onFrame) { onFrame_ = std::move(onFrame); }

    // Feeds one received byte; calls the handler when it completes a frame.
    // Returns true when this byte completed a frame. Without a time, no
    // silence is seen.
    bool feed(std::uint8_t byte);
    bool feed(std::uint8_t byte, std::int64_t nowMs);
    // Feeds the bytes of one read, in order. When a frame handler runs a
    // nested event loop in which the next read arrives (a second receive()),
    // that read is fed after the rest of this one, so the order holds. Bytes
    // wait only while a handler runs, never more than the reads not yet fed.
    void receive(const std::uint8_t* bytes, std::size_t count);
    // The same for a read received at `nowMs`.
    void receive(const std::uint8_t* bytes, std::size_t count, std::int64_t nowMs);
    // Forgets a frame in progress and the bytes waiting.
    void reset();

    bool inFrame() const { return inFrame_; }
    std::size_t windowFill() const { return windowFill_; }
    std::size_t framePosition() const { return framePos_; }
    // Frames in progress dropped after a silence, since construction.
    std::uint64_t droppedPartials() const { return dropped_; }

private:
    // A read waiting in pending_: its byte count and when it came.
    struct Read {
        std::size_t count;
        std::int64_t ms;
        bool timed;
        bool started;
    };

    void restartSearch();
    // Bytes received at `nowMs` are next: after a long silence, start afresh.
    void noteTime(std::int64_t nowMs);
    void enqueue(const std::uint8_t* bytes, std::size_t count, std::int64_t ms, bool timed);

    FrameHandler onFrame_;
    std::deque<std::uint8_t> pending_;  // received, not yet fed
    std::deque<Read> reads_;            // how the pending bytes came, in order
    std::array<std::uint8_t, kWindowSize> window_{};
    std::size_t windowFill_ = kWindowStart;
    std::array<std::uint8_t, kCommandFrameSize> frame_{};
    std::size_t framePos_ = 0;
    bool inFrame_ = false;
    bool timeKnown_ = false;
    std::int64_t lastByteMs_ = 0;
    std::uint64_t dropped_ = 0;
};

}  // namespace talvane
