#include "edid.h"

#include <algorithm>

#include "ops/limits.h"
#include "protocol/replies.h"

namespace talvane {

using decode::EdidAnswer;

EdidRead::EdidRead(Session& session, Purpose purpose, QObject* parent)
    : Operation(session, parent)
    , purpose_(purpose)
{
}

void EdidRead::begin() { query(1); }

void EdidRead::query(int input)
{
    const Timing timing = input == 1 ? timingOf(purpose_) : limits::Command;
    exchange(requestFor(build::edidQuery(input), timing), [this, input](const CommandFrame& f) {
        const std::uint8_t code = decode::edidStatus(f).code;
        if (input == kPortCount) {
            emit edidReported(input, code);
            finish(Outcome::Done);
            return;
        }
        query(input + 1);  // first: the line works while the view updates
        emit edidReported(input, code);
    });
}

EdidSet::EdidSet(Session& session, Kind kind, CommandFrame command, int target, QObject* parent)
    : Operation(session, parent)
    , kind_(kind)
    , command_(command)
    , target_(target)
{
}

EdidSet* EdidSet::preset(Session& session, int presetIndex, int target, QObject* parent)
{
    return new EdidSet(session, Kind::Preset, build::edidSetPreset(presetIndex, target), target, parent);
}

EdidSet* EdidSet::copy(Session& session, int output, int target, QObject* parent)
{
    return new EdidSet(session, Kind::Copy, build::edidCopy(output, target), target, parent);
}

EdidSet::Block EdidSet::blockOf(const std::uint8_t* file, std::size_t size)
{
    Block block{};
    std::copy_n(file, std::min(size, block.size() - 1), block.begin() + 1);
    return block;
}

EdidSet* EdidSet::upload(Session& session, const Block& block, int target, QObject* parent)
{
    auto* op = new EdidSet(session, Kind::Upload, build::edidUploadRequest(), target, parent);
    op->block_ = block;
    return op;
}

int EdidSet::msLeft() const { return int(std::max<qint64>(1, deadlineMs_ - session().clock().nowMs())); }

void EdidSet::begin()
{
    deadlineMs_ = session().clock().nowMs() + limits::EdidSettingMs;
    send(command_);
}

void EdidSet::send(const CommandFrame& command)
{
    exchange(requestFor(command, Timing{msLeft()}),
             [this, command](const CommandFrame& f) { answered(decode::edidAnswer(f, command), command); });
}

void EdidSet::answered(EdidAnswer answer, const CommandFrame& command)
{
    switch (answer) {
    case EdidAnswer::UploadReady:
        // After the upload request, the target; after a preset, the switch
        // asks for the preset again.
        send(kind_ == Kind::Upload ? build::edidUploadTarget(target_) : command);
        return;
    case EdidAnswer::Accepted:
        sendBlock();
        return;
    case EdidAnswer::Done:
        finish(Outcome::Done);
        return;
    case EdidAnswer::NoValidData:
        finish(Outcome::Refused);
        return;
    case EdidAnswer::None:
        return;
    }
}

void EdidSet::sendBlock()
{
    // The header, a pause, then the block; the switch's answer to the block
    // is read against the header.
    const CommandFrame header = build::edidBlockHeader(target_ == 0);
    exchange(requestFor(header, Timing{std::min(limits::EdidBlockPauseMs, msLeft())}), {}, [this, header] {
        if (session().clock().nowMs() >= deadlineMs_) {
            finish(Outcome::TimedOut);
            return;
        }
        exchange(edidBlockRequest(block_.data(), header, Timing{msLeft()}),
                 [this, header](const CommandFrame& f) { answered(decode::edidAnswer(f, header), header); });
    });
}

}  // namespace talvane
