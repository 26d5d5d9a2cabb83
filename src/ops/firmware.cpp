#include "firmware.h"

#include "ops/limits.h"
#include "protocol/commands.h"
#include "protocol/replies.h"

namespace talvane {

namespace {
std::uint8_t blockNumberAt(std::size_t offset) { return static_cast<std::uint8_t>((offset / kDataPayloadSize) & 0xFF); }
bool okAck(const CommandFrame& f, CommandId id) { return commandIdOf(f) == id && decode::ackStatus(f) == 0; }
}  // namespace

FirmwareUpgrade::FirmwareUpgrade(Session& session, std::vector<std::uint8_t> image, QObject* parent)
    : Operation(session, parent)
    , image_(std::move(image))
{
}

bool FirmwareUpgrade::transferRunning() const
{
    return stage_ == Stage::Starting || stage_ == Stage::Requesting || stage_ == Stage::Transferring;
}

void FirmwareUpgrade::setStage(Stage stage)
{
    stage_ = stage;
    emit stageChanged(stage);
}

void FirmwareUpgrade::fail(Failure failure, Outcome outcome)
{
    failure_ = failure;
    finish(outcome);
}

void FirmwareUpgrade::ended()
{
    endedIn_ = stage_;
    endedAtBlock_.reset();
    if (stage_ == Stage::Transferring)
        endedAtBlock_ = offset_ / kDataPayloadSize;
    offset_ = 0;
    stage_ = Stage::Idle;
}

void FirmwareUpgrade::begin()
{
    setStage(Stage::Starting);
    exchange(Request{bytesOf(build::upgradeStart()), [](const CommandFrame& f) { return okAck(f, cmd::UpgradeStart); },
                     limits::UpgradeStart},
             [this](const CommandFrame&) { requestTransfer(); },
             [this] { fail(Failure::StartTimedOut, Outcome::TimedOut); });
}

void FirmwareUpgrade::requestTransfer()
{
    setStage(Stage::Requesting);
    exchange(Request{bytesOf(build::upgradeTransferRequest()),
                     [](const CommandFrame& f) { return okAck(f, cmd::UpgradeTransferRequest); }, limits::TransferRequest},
             [this](const CommandFrame&) {
                 setStage(Stage::Transferring);
                 offset_ = 0;
                 sendBlock();
             },
             [this] { fail(Failure::TransferTimedOut, Outcome::TimedOut); });
}

void FirmwareUpgrade::sendBlock()
{
    DataFrame block;
    build::firmwareBlock(block, image_.data(), image_.size(), offset_);
    sentFlags_ = block.flags();
    const std::uint8_t number = blockNumberAt(offset_);
    const bool last = sentFlags_ == kLastBlockFlag;
    // An acknowledgement of this block: before the last one with a status the
    // switch names, of the last one with its flags and "received".
    auto answers = [number, last](const CommandFrame& f) {
        if (!decode::isBlockAck(f))
            return false;
        const decode::BlockAck a = decode::blockAck(f);
        if (a.block != number)
            return false;
        if (a.flags == 0)
            return a.status == kBlockReceived || a.status == kBlockResend || a.status == kBlockFailed;
        return last && a.status == kBlockReceived;
    };
    exchange(Request{std::vector<std::uint8_t>(block.bytes.begin(), block.bytes.end()), answers, limits::FirmwareBlock},
             [this](const CommandFrame& f) { blockAcknowledged(f); },
             [this] { fail(Failure::BlockTimedOut, Outcome::TimedOut); });
    emit blockSent(offset_);
}

void FirmwareUpgrade::blockAcknowledged(const CommandFrame& f)
{
    const decode::BlockAck ack = decode::blockAck(f);
    if (ack.flags != 0) {
        // The last block is in: the switch reboots into the new firmware.
        offset_ = 0;
        pollReboot();
        emit progressed(image_.size());
        return;
    }
    switch (ack.status) {
    case kBlockReceived:
        // The switch asks for a block past the last one only once: a further
        // filler block is as far as an image goes.
        if (offset_ > lastFirmwareBlockOffset(image_.size())) {
            fail(Failure::BlockRefused, Outcome::Refused);
            return;
        }
        offset_ += kDataPayloadSize;
        sendBlock();
        emit progressed(offset_);
        return;
    case kBlockResend:
        sendBlock();
        emit progressed(offset_);
        return;
    default:
        fail(Failure::BlockRefused, Outcome::Refused);
        return;
    }
}

void FirmwareUpgrade::pollReboot()
{
    setStage(Stage::Rebooting);
    // The poll is the first device information query, marked as the one after
    // an upgrade; only an answer that says so ends the reboot.
    exchange(Request{bytesOf(build::upgradePageQuery(/*rebootQuery=*/true)),
                     [](const CommandFrame& f) {
                         if (commandIdOf(f) != cmd::UpgradePageQuery)
                             return false;
                         const decode::DeviceKind k = decode::deviceKind(f);
                         return k.marked && k.afterReboot;
                     },
                     limits::RebootPoll},
             [this](const CommandFrame& f) {
                 kindAfterReboot_ = decode::deviceKind(f).kind;
                 finish(Outcome::Done);
             },
             [this] { fail(Failure::RebootTimedOut, Outcome::TimedOut); });
}

}  // namespace talvane
