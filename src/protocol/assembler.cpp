#include "assembler.h"

namespace talvane {

FrameAssembler::FrameAssembler(FrameHandler onFrame)
    : onFrame_(std::move(onFrame))
{
}

void FrameAssembler::reset()
{
    pending_.clear();
    reads_.clear();
    restartSearch();
}

void FrameAssembler::restartSearch()
{
    window_.fill(0);
    windowFill_ = kWindowStart;
    frame_.fill(0);
    framePos_ = 0;
    inFrame_ = false;
}

void FrameAssembler::noteTime(std::int64_t nowMs)
{
    if (timeKnown_ && nowMs - lastByteMs_ > kSilenceLimitMs) {
        if (inFrame_)
            ++dropped_;
        restartSearch();
    }
    timeKnown_ = true;
    lastByteMs_ = nowMs;
}

bool FrameAssembler::feed(std::uint8_t byte, std::int64_t nowMs)
{
    noteTime(nowMs);
    return feed(byte);
}

bool FrameAssembler::feed(std::uint8_t byte)
{
    if (inFrame_) {
        frame_[framePos_++] = byte;
        if (framePos_ < kCommandFrameSize)
            return false;
        // Complete: reset the receive state before handing the frame on, so a
        // handler that runs a nested event loop finds the assembler ready.
        const CommandFrame done = CommandFrame::fromBytes(frame_.data());
        restartSearch();
        if (onFrame_)
            onFrame_(done);
        return true;
    }

    window_[windowFill_++] = byte;
    const std::uint8_t first = window_[windowFill_ - 2];
    const std::uint8_t second = window_[windowFill_ - 1];
    const bool commandStart = first == kCommandHeader1 && second == kCommandHeader2;
    const bool dataStart = first == kDataHeader1 && second == kDataHeader2;
    if (commandStart || dataStart) {
        frame_[0] = first;
        frame_[1] = second;
        framePos_ = 2;
        windowFill_ = kWindowStart;
        inFrame_ = true;
    } else if (windowFill_ >= kWindowSize) {
        windowFill_ = kWindowStart;
    }
    return false;
}

void FrameAssembler::receive(const std::uint8_t* bytes, std::size_t count) { enqueue(bytes, count, 0, false); }

void FrameAssembler::receive(const std::uint8_t* bytes, std::size_t count, std::int64_t nowMs)
{
    enqueue(bytes, count, nowMs, true);
}

void FrameAssembler::enqueue(const std::uint8_t* bytes, std::size_t count, std::int64_t ms, bool timed)
{
    if (count == 0)
        return;
    pending_.insert(pending_.end(), bytes, bytes + count);
    reads_.push_back({count, ms, timed, false});
    while (!pending_.empty()) {
        // A handler may receive() or reset() meanwhile: nothing of the queues
        // is held across feed().
        Read& read = reads_.front();
        if (!read.started) {
            read.started = true;
            if (read.timed)
                noteTime(read.ms);
        }
        if (--read.count == 0)
            reads_.pop_front();
        const std::uint8_t b = pending_.front();
        pending_.pop_front();
        feed(b);
    }
}

}  // namespace talvane
