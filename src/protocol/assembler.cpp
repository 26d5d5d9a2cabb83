#include "assembler.h"

namespace talvane {

FrameAssembler::FrameAssembler(FrameHandler onFrame)
    : onFrame_(std::move(onFrame))
{
}

void FrameAssembler::reset()
{
    pending_.clear();
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

void FrameAssembler::receive(const std::uint8_t* bytes, std::size_t count)
{
    pending_.insert(pending_.end(), bytes, bytes + count);
    while (!pending_.empty()) {
        const std::uint8_t b = pending_.front();
        pending_.pop_front();
        feed(b);
    }
}

}  // namespace talvane
