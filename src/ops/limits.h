// Every time limit of the operations, in one place: how long an exchange
// waits for its answer and how often its bytes go out again, and the purposes
// a read is made for, each with its timing.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "engine/session.h"
#include "protocol/serialline.h"

namespace talvane {
namespace limits {

// An operator's command: resent once when no answer has come after 3 s, and
// a time-out 3 s after that.
constexpr Timing Command{3000, 3000, 1};
constexpr Timing FactoryReset{5000, 3000, 1};
// Power on: the resend waits 2 s only.
constexpr Timing PowerOn{3000, 2000, 1};
// A query of the chains that read a page's state when it is entered: 7 s, no resend.
constexpr Timing ChainQuery{7000};
// What the panel sends without resending (the greeting's queries, the
// beeper, power off, the device information, the identification text):
// 3 s, after which the line is free again.
constexpr Timing Quiet{3000};

// An EDID setting, from its first command to its result: 7 s in all, no
// resend; the block header is followed by a pause before the block itself.
constexpr int EdidSettingMs = 7000;
constexpr int EdidBlockPauseMs = 100;

// Firmware upgrade: the start command (no resend), the transfer request
// (again every 300 ms after the first 3 s, given up after 10 s), each block
// (once more after 5 s), and the polls that find the switch back after its
// reboot (six queries, 6 s apart).
constexpr Timing UpgradeStart{3000};
constexpr Timing TransferRequest{3000, 300, INT_MAX, 10000};
constexpr Timing FirmwareBlock{5000, 5000, 1};
constexpr Timing RebootPoll{6000, 6000, 5};

// Network settings: from the packet to the configured switch found again.
constexpr int NetworkSettingsMs = 15000;

// talvane-ctl: how long it waits for the TCP connection to the switch, and
// how long a search listens for answers.
constexpr int TcpConnectMs = 5000;
constexpr int SearchMs = 2000;

// A lost TCP connection is tried again this often while "Reconnect" is on
// (a serial port comes back with the port list's change events instead).
constexpr int ReconnectRetryMs = 1000;

// Following the switch: the page shown is read again every 5 s while
// nothing else is outstanding, and those reads take at most 2 % of the line.
constexpr int FollowPeriodMs = 5000;
constexpr int FollowLinePercent = 2;
// The hub's idle read (talvane-ctl serve), for every front end it serves:
// the routing every 1.7 s, so that a route made at the switch's front panel
// shows everywhere within 2 s (HubFollowsWithinMs), and with it HubReadSlice of the other
// queries (each output's ARC, the power, the beeper, each port's source or
// display) in turn. Each read stays within the share of the line above.
constexpr int HubReadPeriodMs = 1700;
constexpr int HubReadSlice = 2;
constexpr int HubFollowsWithinMs = 2000;
static_assert(HubReadPeriodMs < HubFollowsWithinMs, "a read must fit between the period and the promise");
constexpr int LineBytesPerSecond = serial::kBytesPerSecond;

}  // namespace limits

// Why a read goes out, which decides how long its first exchange waits (the
// rest of a chain waits as the read's own steps do):
enum class Purpose {
    Operator,    // an operator asked for it: a button, every command of talvane-ctl
    PageEntry,   // a page reads what it shows when it is entered, and again to follow changes
    Background,  // nobody waits on it: the greeting, the Upgrade page's device read, the hub's routing read
};

constexpr Timing timingOf(Purpose purpose)
{
    switch (purpose) {
    case Purpose::Operator:
        return limits::Command;
    case Purpose::PageEntry:
        return limits::ChainQuery;
    case Purpose::Background:
        break;
    }
    return limits::Quiet;
}

// The wait a hub gives bytes it forwards for another program: the longest
// that any front end of this program gives the same bytes, whatever purpose
// or operation sends them. A client of the hub is answered whenever it would
// be on a line of its own, and an answer later than any front end still
// waits for reaches no one (a route is an operator's command only: 3 s, 3 s
// after its resend, 6 s in all, so an acknowledgement at 7 s is late).
struct ForwardedWait {
    int firstMs = 0;  // after the bytes first go out
    int retryMs = 0;  // after a resend of the same bytes; 0 when no front end resends them
    int totalMs = 0;  // from the first send, resends included
};

// For a 13-byte command of the index, a 1029-byte firmware block or the
// 256-byte raw EDID block (with the block header it follows, as for its
// answer rule); empty for bytes no front end sends. The EDID block header is
// answered by nothing: its wait is the pause before the raw block.
std::optional<ForwardedWait> forwardedWait(const std::uint8_t* bytes, std::size_t length,
                                           const CommandFrame* blockHeader = nullptr);

}  // namespace talvane
