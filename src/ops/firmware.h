// A firmware upgrade: the start command, the transfer request, the image in
// 1024-byte blocks as the switch acknowledges each, and the polls that find
// the switch back after its reboot.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "ops/operation.h"
#include "protocol/frame.h"

namespace talvane {

class FirmwareUpgrade : public Operation {
    Q_OBJECT
public:
    enum class Stage { Idle, Starting, Requesting, Transferring, Rebooting };
    // How an upgrade that did not end Done ended.
    enum class Failure {
        None,
        StartTimedOut,     // no answer to the start command
        TransferTimedOut,  // no answer to the transfer request within its limit
        BlockRefused,      // the switch reported the upgrade failed, or asked past the image's end
        BlockTimedOut,     // a block got no acknowledgement, sent twice
        RebootTimedOut,    // the switch did not answer after its reboot
    };

    FirmwareUpgrade(Session& session, std::vector<std::uint8_t> image, QObject* parent = nullptr);

    Stage stage() const { return stage_; }
    Failure failure() const { return failure_; }
    std::size_t imageSize() const { return image_.size(); }
    // Byte offset of the block on its way.
    std::size_t offset() const { return offset_; }
    // From the start command to the last block's acknowledgement: the switch
    // is somewhere in the middle of taking an image.
    bool transferRunning() const;
    // The device kind the switch reported once back from its reboot.
    int kindAfterReboot() const { return kindAfterReboot_; }
    // Where the upgrade was when it ended (stage() is Idle again by then),
    // and, when that was the transfer, the block then on its way, counted
    // from 0 as the switch numbers them.
    Stage endedIn() const { return endedIn_; }
    std::optional<std::size_t> endedAtBlock() const { return endedAtBlock_; }

signals:
    void stageChanged(talvane::FirmwareUpgrade::Stage stage);
    // A block went out (for the first time or again).
    void blockSent(std::size_t offset);
    // Bytes of the image the switch has taken so far, as the progress shows them.
    void progressed(std::size_t position);

protected:
    void begin() override;
    void ended() override;

private:
    void setStage(Stage stage);
    void fail(Failure failure, Outcome outcome);
    void requestTransfer();
    void sendBlock();
    void blockAcknowledged(const CommandFrame& ack);
    void pollReboot();

    std::vector<std::uint8_t> image_;
    std::size_t offset_ = 0;
    std::uint8_t sentFlags_ = 0;
    Stage stage_ = Stage::Idle;
    Failure failure_ = Failure::None;
    int kindAfterReboot_ = 0;
    Stage endedIn_ = Stage::Idle;
    std::optional<std::size_t> endedAtBlock_;
};

}  // namespace talvane
