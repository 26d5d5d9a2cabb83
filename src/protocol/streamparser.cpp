#include "streamparser.h"

#include <algorithm>

#include "commands.h"

namespace talvane {

namespace {
bool isCommandStart(std::uint8_t a, std::uint8_t b) { return a == kCommandHeader1 && b == kCommandHeader2; }
bool isDataStart(std::uint8_t a, std::uint8_t b) { return a == kDataHeader1 && b == kDataHeader2; }
bool mayStartHeader(std::uint8_t a) { return a == kCommandHeader1 || a == kDataHeader1; }
}  // namespace

void StreamParser::feed(const std::uint8_t* data, std::size_t size, const Sink& sink)
{
    while (size > 0) {
        const std::size_t n = std::min(size, kSliceSize);
        append(data, n);
        parse(sink, false);
        data += n;
        size -= n;
    }
}

void StreamParser::giveUpPartial(const Sink& sink) { parse(sink, true); }

void StreamParser::append(const std::uint8_t* data, std::size_t size)
{
    buffer_.insert(buffer_.end(), data, data + size);
    prefix_.reserve(buffer_.size() + 1);
    for (std::size_t i = 0; i < size; ++i)
        prefix_.push_back(static_cast<std::uint8_t>(prefix_.back() + data[i]));
}

// `final`: no more bytes will come for what is held, so a unit that cannot
// complete is dropped instead of waited for.
void StreamParser::parse(const Sink& sink, bool final)
{
    const std::size_t size = buffer_.size();
    const std::uint8_t* const b = buffer_.data();
    std::size_t at = 0;
    const auto emit = [&](StreamUnit::Kind kind, std::size_t n) { sink(StreamUnit{kind, b + at, n}); };
    for (;;) {
        if (awaitingEdidBlock_) {
            if (size - at < kRawEdidBlockSize) {
                if (!final)
                    break;
                awaitingEdidBlock_ = false;  // it never came; what is held is read as frames
                continue;
            }
            emit(StreamUnit::Kind::EdidBlock, kRawEdidBlockSize);
            at += kRawEdidBlockSize;
            awaitingEdidBlock_ = false;
            continue;
        }
        // Skip to the next frame header.
        while (size - at >= 2 && !isCommandStart(b[at], b[at + 1]) && !isDataStart(b[at], b[at + 1]))
            ++at;
        if (size - at < 2) {
            if (final || (size - at == 1 && !mayStartHeader(b[at])))
                at = size;
            break;
        }
        const bool command = isCommandStart(b[at], b[at + 1]);
        const std::size_t need = command ? kCommandFrameSize : kDataFrameSize;
        const bool complete = size - at >= need;
        if (!complete && !final)
            break;
        // A frame's bytes add up to 0 modulo 256 with its checksum.
        if (complete && sumOf(at, need) == 0) {
            emit(command ? StreamUnit::Kind::Command : StreamUnit::Kind::Data, need);
            const bool blockFollows = command && decode::isEdidBlockHeader(CommandFrame::fromBytes(b + at));
            at += need;
            awaitingEdidBlock_ = blockFollows;
            continue;
        }
        if (at >= reportedUntil_) {
            const std::size_t n = std::min(need, size - at);
            emit(command ? StreamUnit::Kind::BadCommand : StreamUnit::Kind::BadData, n);
            reportedUntil_ = at + n;
        }
        ++at;
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(at));
    prefix_.erase(prefix_.begin(), prefix_.begin() + static_cast<std::ptrdiff_t>(at));
    reportedUntil_ = reportedUntil_ > at ? reportedUntil_ - at : 0;
}

}  // namespace talvane
