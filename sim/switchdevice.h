// The simulated switch: answers every command of the command index as the
// panel's reply handlers expect, takes EDID uploads and firmware blocks,
// reboots, answers the network search and applies network settings. Faults
// switched on here change what it answers, for every link at once.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <vector>

#include "core/timerhost.h"
#include "protocol/commands.h"
#include "protocol/streamparser.h"
#include "sim/switchmodel.h"

namespace talvane {
namespace sim {

constexpr int kDefaultRebootMs = 3000;
constexpr int kMaxFirmwareBlocks = 256;  // block numbers are 8 bits wide

// What can be silenced besides single commands.
enum class Silence { DataBlocks, EdidBlock, Search, Config };

struct FaultSettings {
    bool silentAll = false;
    std::set<std::uint16_t> silentCommands;  // commandKey() of each silenced command
    std::set<Silence> silentOther;
    int delayMs = 0;           // every reply waits this long
    bool corruptNext = false;  // the next reply goes out with a wrong checksum
    bool coalesceNext = false; // the next reply waits and goes out in one write with the one after it
    int splitNextAt = 0;       // > 0: the next reply goes out in two writes, this many bytes first
    int resendBlock = -1;      // firmware block that is asked for again once (status 1)
    int failBlock = -1;        // firmware block at which the upgrade fails (status 2)
    bool refuseRoutes = false; // every route is refused (status kRouteRefused) and not made
    int repeatReplies = 0;     // every reply goes out this many times more

    bool any() const;
};

// The status with which a refused route is acknowledged.
constexpr std::uint8_t kRouteRefused = 1;
constexpr int kMaxRepeats = 10;

constexpr std::uint16_t commandKey(CommandId id) { return static_cast<std::uint16_t>(id.group << 8 | id.code); }

// A reply and how it is to go out.
struct Outgoing {
    CommandFrame frame;
    qint64 delayUs = 0;  // after the command was received
    bool holdForNext = false;
    int splitAt = 0;
};

class SwitchDevice {
public:
    explicit SwitchDevice(Clock* clock = nullptr);  // nullptr: appClock()

    SwitchModel& model() { return model_; }
    const SwitchModel& model() const { return model_; }
    FaultSettings& faults() { return faults_; }
    const FaultSettings& faults() const { return faults_; }

    // Silence after a Reboot command or the last firmware block.
    void setRebootMs(int ms) { rebootMs_ = ms < 0 ? 0 : ms; }
    int rebootMs() const { return rebootMs_; }
    bool rebooting() const { return timers_.isArmed(kRebootTimer); }

    // Replies wait as long as the command and the reply would take on the serial line.
    void setLinePacing(bool on) { linePacing_ = on; }
    bool linePacing() const { return linePacing_; }

    // The address an automatic configuration gives the switch (reported in Auto mode).
    void setAutoAddress(const Ipv4Octets& ip) { autoAddress_ = ip; }
    Ipv4Octets reportedAddress() const;

    // One unit received on a link: its replies (none while rebooting, for a
    // silenced or unknown command, or a frame with a wrong checksum).
    std::vector<Outgoing> handle(const StreamUnit& unit);

    // Datagrams: the answer to send back, if any.
    std::optional<std::vector<std::uint8_t>> answerSearch(const std::uint8_t* data, std::size_t size);
    std::optional<std::vector<std::uint8_t>> answerNetConfig(const std::uint8_t* data, std::size_t size);

    // Front-panel and bench actions.
    void frontPanelRoute(int input, int output);
    void clearFaults() { faults_ = FaultSettings{}; }

    // Called when a reboot ends.
    std::function<void()> onRebooted;

private:
    static constexpr int kRebootTimer = 1;

    void onTimer(int id);
    void startReboot();
    bool silenced(CommandId id) const;
    bool silenced(Silence what) const { return faults_.silentAll || faults_.silentOther.count(what) != 0; }

    std::optional<CommandFrame> answerCommand(const CommandFrame& c);
    std::optional<CommandFrame> answerEdidPreset(const CommandFrame& c);
    std::optional<CommandFrame> answerEdidCopy(const CommandFrame& c);
    std::optional<CommandFrame> answerEdidTarget(const CommandFrame& c);
    std::optional<CommandFrame> answerEdidBlock(const std::uint8_t* block, std::size_t size);
    std::optional<CommandFrame> answerBlock(const std::uint8_t* frame);  // kDataFrameSize bytes
    std::optional<CommandFrame> answerIdent(const CommandFrame& c);

    SwitchModel model_;
    FaultSettings faults_;
    TimerHost timers_;
    int rebootMs_ = kDefaultRebootMs;
    bool linePacing_ = false;
    Ipv4Octets autoAddress_{127, 0, 0, 1};

    int uploadTarget_ = kNoUploadTarget;   // accepted EDID upload target
    std::optional<CommandFrame> blockHeader_;  // the header the raw block belongs to
    int nextBlock_ = 0;                    // index of the firmware block expected next
};

// Microseconds that `bytes` take on a 115200 baud 8N2 line (11 bits a byte), rounded to the nearest.
qint64 lineTimeUs(std::size_t bytes);

}  // namespace sim
}  // namespace talvane
