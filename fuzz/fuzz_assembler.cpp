// The frame assembler against a model of its cutting rules written straight
// from them: outside a frame, a header is two bytes stored one after the
// other within one run of the search window; a run ends when a frame starts
// or ends, or after 254 stored bytes (the window wraps and its first two
// places always hold 0). A frame is its header and the next 11 bytes, taken
// as they come. The two must agree on every frame and, after every byte, on
// the assembler's state.
#include <optional>
#include <vector>

#include "fuzzinput.h"
#include "protocol/assembler.h"

using namespace talvane;

namespace {

class Model {
public:
    static constexpr std::size_t kRunLength = FrameAssembler::kWindowSize - FrameAssembler::kWindowStart;

    // Returns true when this byte completes a frame.
    bool feed(std::uint8_t b)
    {
        if (!frame_.empty()) {
            frame_.push_back(b);
            if (frame_.size() < kCommandFrameSize)
                return false;
            frames.push_back(CommandFrame::fromBytes(frame_.data()));
            frame_.clear();
            endRun();
            return true;
        }
        ++stored_;
        if (previous_ && isHeader(*previous_, b)) {
            frame_ = {*previous_, b};
            endRun();
            return false;
        }
        previous_ = b;
        if (stored_ == kRunLength)
            endRun();
        return false;
    }

    bool inFrame() const { return !frame_.empty(); }
    std::size_t framePosition() const { return frame_.size(); }
    std::size_t windowFill() const { return FrameAssembler::kWindowStart + stored_; }

    std::vector<CommandFrame> frames;

private:
    static bool isHeader(std::uint8_t a, std::uint8_t b)
    {
        return (a == kCommandHeader1 && b == kCommandHeader2) || (a == kDataHeader1 && b == kDataHeader2);
    }
    void endRun()
    {
        previous_.reset();
        stored_ = 0;
    }

    std::optional<std::uint8_t> previous_;
    std::size_t stored_ = 0;
    std::vector<std::uint8_t> frame_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<CommandFrame> got;
    FrameAssembler assembler([&](const CommandFrame& f) { got.push_back(f); });
    Model model;
    for (std::size_t i = 0; i < size; ++i) {
        const bool completed = assembler.feed(data[i]);
        fuzz::check(completed == model.feed(data[i]));
        fuzz::check(assembler.inFrame() == model.inFrame());
        fuzz::check(assembler.framePosition() == model.framePosition());
        fuzz::check(assembler.windowFill() == model.windowFill());
        fuzz::check(got.size() == model.frames.size());
    }
    fuzz::check(got == model.frames);
    return 0;
}
