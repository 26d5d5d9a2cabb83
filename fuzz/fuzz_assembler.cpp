// The frame assembler against a model of its cutting rules written straight
// from them: outside a frame, a header is two bytes stored one after the
// other within one run of the search window; a run ends when a frame starts
// or ends, or after 254 stored bytes (the window wraps and its first two
// places always hold 0). A frame is its header and the next 11 bytes, taken
// as they come. Bytes given with a time are also cut by silence: a gap of
// more than the limit since the last byte ends the run and drops a frame in
// progress, which is counted. The two must agree on every frame and, after
// every byte, on the assembler's state.
//
// The input is used twice: byte by byte without times, and as a program of
// reads, each a control byte (its low nibble: how many bytes follow; its
// high nibble: the silence before them) and its bytes.
#include <optional>
#include <vector>

#include "fuzzinput.h"
#include "protocol/assembler.h"

using namespace talvane;

namespace {

class Model {
public:
    static constexpr std::size_t kRunLength = FrameAssembler::kWindowSize - FrameAssembler::kWindowStart;

    // Bytes received at `ms` come next.
    void at(std::int64_t ms)
    {
        if (timed_ && ms - lastMs_ > FrameAssembler::kSilenceLimitMs) {
            if (!frame_.empty())
                ++dropped;
            frame_.clear();
            endRun();
        }
        timed_ = true;
        lastMs_ = ms;
    }

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
    std::uint64_t dropped = 0;

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
    bool timed_ = false;
    std::int64_t lastMs_ = 0;
};

template <class A>
void checkState(const A& assembler, const Model& model, std::size_t framesGot)
{
    fuzz::check(assembler.inFrame() == model.inFrame());
    fuzz::check(assembler.framePosition() == model.framePosition());
    fuzz::check(assembler.windowFill() == model.windowFill());
    fuzz::check(assembler.droppedPartials() == model.dropped);
    fuzz::check(framesGot == model.frames.size());
}

// The silence before a read, from the high nibble of its control byte:
// around the limit, where it matters, and far from it on both sides.
std::int64_t gapOf(std::uint8_t control)
{
    const std::int64_t limit = FrameAssembler::kSilenceLimitMs;
    const std::int64_t gaps[16] = {0, 0, 0, 0, 1, 2, 13, limit / 2, limit - 1, limit, limit, limit + 1,
                                   limit + 1, 2 * limit, 60 * limit, 3};
    return gaps[control >> 4];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    {
        std::vector<CommandFrame> got;
        FrameAssembler assembler([&](const CommandFrame& f) { got.push_back(f); });
        Model model;
        for (std::size_t i = 0; i < size; ++i) {
            const bool completed = assembler.feed(data[i]);
            fuzz::check(completed == model.feed(data[i]));
            checkState(assembler, model, got.size());
        }
        fuzz::check(got == model.frames);
    }
    {
        std::vector<CommandFrame> got;
        FrameAssembler assembler([&](const CommandFrame& f) { got.push_back(f); });
        Model model;
        fuzz::Input in(data, size);
        std::int64_t now = 0;
        while (!in.empty()) {
            const std::uint8_t control = in.byte();
            now += gapOf(control);
            std::size_t n = 0;
            const std::uint8_t* bytes = in.slice(control & 0x0F, n);
            assembler.receive(bytes, n, now);
            if (n > 0)
                model.at(now);
            for (std::size_t i = 0; i < n; ++i)
                model.feed(bytes[i]);
            checkState(assembler, model, got.size());
        }
        fuzz::check(got == model.frames);
    }
    return 0;
}
