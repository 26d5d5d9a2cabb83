#include "streamparser.h"

#include "protocol/commands.h"

namespace talvane {
namespace sim {

namespace {
bool isCommandStart(std::uint8_t a, std::uint8_t b) { return a == kCommandHeader1 && b == kCommandHeader2; }
bool isDataStart(std::uint8_t a, std::uint8_t b) { return a == kDataHeader1 && b == kDataHeader2; }
bool mayStartHeader(std::uint8_t a) { return a == kCommandHeader1 || a == kDataHeader1; }
}  // namespace

bool isEdidBlockHeader(const CommandFrame& f)
{
    const CommandId id = commandIdOf(f);
    return (id == cmd::EdidUploadTarget || id == cmd::EdidUploadTargetAll) && f[pos::P1] == kEdidBlockHeaderMark
           && f[pos::P4] == 0x01;
}

std::vector<StreamUnit> StreamParser::feed(const std::uint8_t* data, std::size_t size)
{
    buffer_.insert(buffer_.end(), data, data + size);
    std::vector<StreamUnit> out;
    parse(out);
    return out;
}

std::vector<StreamUnit> StreamParser::giveUpPartial()
{
    if (awaitingEdidBlock_)
        awaitingEdidBlock_ = false;
    else if (!buffer_.empty())
        buffer_.erase(buffer_.begin());
    std::vector<StreamUnit> out;
    parse(out);
    return out;
}

void StreamParser::parse(std::vector<StreamUnit>& out)
{
    std::size_t at = 0;
    const auto left = [&] { return buffer_.size() - at; };
    for (;;) {
        if (awaitingEdidBlock_) {
            if (left() < kRawEdidBlockSize)
                break;
            out.push_back({StreamUnit::Kind::EdidBlock,
                           {buffer_.begin() + at, buffer_.begin() + at + kRawEdidBlockSize}});
            at += kRawEdidBlockSize;
            awaitingEdidBlock_ = false;
            continue;
        }
        // Skip to the next frame header.
        while (left() >= 2 && !isCommandStart(buffer_[at], buffer_[at + 1]) && !isDataStart(buffer_[at], buffer_[at + 1]))
            ++at;
        if (left() < 2) {
            if (left() == 1 && !mayStartHeader(buffer_[at]))
                ++at;
            break;
        }
        const bool command = isCommandStart(buffer_[at], buffer_[at + 1]);
        const std::size_t need = command ? kCommandFrameSize : kDataFrameSize;
        if (left() < need)
            break;
        const std::uint8_t* p = buffer_.data() + at;
        const bool valid = command ? verifyChecksum(p) : checksumOf(p, kDataFrameSize - 1) == p[dpos::Checksum];
        if (!valid) {
            out.push_back({command ? StreamUnit::Kind::BadCommand : StreamUnit::Kind::BadData, {p, p + need}});
            ++at;
            continue;
        }
        out.push_back({command ? StreamUnit::Kind::Command : StreamUnit::Kind::Data, {p, p + need}});
        at += need;
        if (command && isEdidBlockHeader(CommandFrame::fromBytes(p)))
            awaitingEdidBlock_ = true;
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace sim
}  // namespace talvane
