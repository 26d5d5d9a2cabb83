// Which reply answers what was sent to the switch. Its replies carry no
// request number: a reply answers a command by its group and code and by the
// parameter bytes the command's answer is known by (the port it names, the
// state it confirms, the block it acknowledges). These rules are the one
// place that says which. Every operation builds its exchanges from them, and
// a hub that puts several programs' commands on one line hands each reply to
// the program whose command it answers by the same rules.
//
// A rule is made from the bytes as they go out:
//  - a 13-byte command of the command index (its checksum is not looked at);
//  - a 1029-byte firmware data frame, answered by the acknowledgement of its
//    block;
//  - the 256-byte raw EDID block, answered by the end of the EDID setting.
//    That answer is read against the block header the raw block follows, so
//    the header must be given.
// Anything else (another length, a command outside the index, a raw block
// without its header) gives a rule that answers nothing and is not known():
// a hub forwards no such bytes.
//
// A reply the rule takes is the answer even when it reports something the
// sender has to act on: an EDID with no valid data, an identification part
// refused, a firmware block to send again or a failed upgrade. What follows
// from it is the sender's. A reply the rule does not take leaves the command
// waiting, to be resent or to time out. Acknowledgements with a non-zero
// status confirm nothing: a route, a power state or a reset the switch
// refused is not acknowledged. A route's acknowledgement must name the
// output that was routed and a power acknowledgement the state asked for, so
// a late answer to an earlier command answers no later one. An ARC
// acknowledgement is known by its group, status and state alone and may name
// another output (the Matrix page shows it for the output it names).
#pragma once

#include <cstddef>
#include <cstdint>

#include "commands.h"
#include "frame.h"

namespace talvane {

class AnswerRule {
public:
    // What the bytes are, as far as their answer goes.
    enum class Kind : std::uint8_t {
        Unknown,            // answers nothing; not a command of the index
        DeviceKind,         // 01 01 with the information marker
        RebootPoll,         // 01 01 marked at pos 11 too: the poll after an upgrade's reboot
        DevicePorts,        // 01 02
        DeviceVersion,      // 01 03
        PortStatus,         // 01 04, 01 05
        BeepState,          // 01 0B
        EdidStatus,         // 01 0C
        RouteQuery,         // 02 01
        RouteSet,           // 02 03
        EdidPreset,         // 03 01, 03 02
        EdidFactoryPreset,  // 03 01 01 F0 05, the extended factory reset's
        EdidCopy,           // 03 03, 03 04
        EdidUploadTarget,   // 03 06, 03 07
        EdidBlockHeader,    // 03 06, 03 07 with the block header's mark
        EdidUploadRequest,  // 03 08
        EdidBlock,          // the 256-byte raw block
        BeepSet,            // 06 01
        BeepFactoryMarker,  // 06 01 with the extended factory reset's marker
        UpgradeStart,       // 08 07
        TransferRequest,    // 08 08
        FactoryReset,       // 08 0A
        PowerSet,           // 08 0B
        PowerState,         // 08 0C
        Reboot,             // 08 0D
        ArcSet,             // 10 01
        ArcQuery,           // 10 02
        IdentWrite,         // FA 21..24
        IdentRead,          // FA 25..28
        FirmwareBlock,      // the 1029-byte data frame
    };

    AnswerRule() = default;  // answers nothing

    // The rule for `length` bytes that go out; `blockHeader` is the command
    // the raw EDID block follows (needed for the raw block only).
    static AnswerRule of(const std::uint8_t* sent, std::size_t length, const CommandFrame* blockHeader = nullptr);
    static AnswerRule of(const CommandFrame& command);
    static AnswerRule of(const DataFrame& block);
    // The rule for the raw EDID block sent after `blockHeader`.
    static AnswerRule ofEdidBlock(const CommandFrame& blockHeader);

    Kind kind() const { return kind_; }
    bool known() const { return kind_ != Kind::Unknown; }
    // False for the EDID block header, which the switch does not answer (it
    // answers the raw block after it), and for unknown bytes.
    bool expectsAnswer() const { return known() && kind_ != Kind::EdidBlockHeader; }
    // The 13 bytes the rule is read against: the command sent, the block
    // header of the raw block, or a data frame's flags and block number at
    // their positions.
    const CommandFrame& sent() const { return sent_; }

    bool answers(const CommandFrame& reply) const;
    bool operator()(const CommandFrame& reply) const { return answers(reply); }

private:
    AnswerRule(Kind kind, const CommandFrame& sent)
        : kind_(kind)
        , sent_(sent)
    {
    }

    Kind kind_ = Kind::Unknown;
    CommandFrame sent_;
};

// In one call: whether `reply` answers the `length` bytes at `sent` (a raw
// EDID block with the `blockHeader` it follows).
bool answers(const std::uint8_t* sent, std::size_t length, const CommandFrame& reply,
             const CommandFrame* blockHeader = nullptr);

}  // namespace talvane
