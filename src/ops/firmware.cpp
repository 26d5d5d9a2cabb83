#include "firmware.h"

#include "ops/limits.h"
#include "protocol/commands.h"
#include "protocol/replies.h"

namespace talvane {

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
    exchange(requestFor(build::upgradeStart(), limits::UpgradeStart),
             [this](const CommandFrame&) { requestTransfer(); },
             [this] { fail(Failure::StartTimedOut, Outcome::TimedOut); });
}

void FirmwareUpgrade::requestTransfer()
{
    setStage(Stage::Requesting);
    exchange(requestFor(build::upgradeTransferRequest(), limits::TransferRequest),
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
    exchange(requestFor(block, limits::FirmwareBlock),
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
    exchange(requestFor(build::upgradePageQuery(/*rebootQuery=*/true), limits::RebootPoll),
             [this](const CommandFrame& f) {
                 kindAfterReboot_ = decode::deviceKind(f).kind;
                 finish(Outcome::Done);
             },
             [this] { fail(Failure::RebootTimedOut, Outcome::TimedOut); });
}

}  // namespace talvane
