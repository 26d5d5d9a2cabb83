// The simulator's receive side on arbitrary byte streams: the stream parser,
// a session and the switch device, with faults switched on and off and time
// passing on the manual clock. The input is a little program: bytes arrive
// in pieces, time passes, faults change, datagrams come in.
//
// Checked: the parser holds less than one data frame between pieces, cuts
// the same units whatever the pieces, and reports at most about the bytes it
// got; once time has run on, nothing is left queued or held, and what the
// session wrote is whole replies with a frame header and a right checksum
// (except those a fault corrupted).
#include <QByteArray>

#include <vector>

#include "core/clock.h"
#include "fuzzinput.h"
#include "sim/session.h"
#include "protocol/streamparser.h"
#include "sim/switchdevice.h"
#include "sim/trace.h"

using namespace talvane;
using namespace talvane::sim;

namespace {

constexpr qint64 kDrainMs = 60000;  // longer than any delay, hold, stall or reboot

struct Unit {
    StreamUnit::Kind kind;
    std::vector<std::uint8_t> bytes;
    bool operator==(const Unit& o) const { return kind == o.kind && bytes == o.bytes; }
};

struct Collect {
    std::vector<Unit>& units;
    void operator()(const StreamUnit& u) const { units.push_back({u.kind, {u.data, u.data + u.size}}); }
};

void setFault(fuzz::Input& in, SwitchDevice& device, int& corruptions)
{
    FaultSettings& f = device.faults();
    switch (in.byte() % 12) {
    case 0:
        f.delayMs = in.byte() * 4;
        break;
    case 1:
        f.corruptNext = true;
        ++corruptions;
        break;
    case 2:
        f.coalesceNext = true;
        break;
    case 3:
        f.splitNextAt = 1 + in.byte() % (kCommandFrameSize - 1);
        break;
    case 4:
        f.silentAll = !f.silentAll;
        break;
    case 5: {
        const std::uint16_t key = static_cast<std::uint16_t>(in.byte() << 8 | in.byte());
        if (!f.silentCommands.erase(key))
            f.silentCommands.insert(key);
        break;
    }
    case 6: {
        const Silence what = static_cast<Silence>(in.byte() % 4);
        if (!f.silentOther.erase(what))
            f.silentOther.insert(what);
        break;
    }
    case 7:
        f.resendBlock = in.byte();
        break;
    case 8:
        f.failBlock = in.byte();
        break;
    case 9:
        device.setLinePacing(!device.linePacing());
        break;
    case 10:
        device.setRebootMs(in.byte() * 16);
        break;
    default:
        device.clearFaults();
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using fuzz::check;
    fuzz::Input in(data, size);
    ManualClock clock;
    SwitchDevice device(&clock);
    Trace trace;  // never opened: the trace calls run and write nothing
    QByteArray written;
    Session session(device, [&](const QByteArray& b) { written += b; }, &trace, &clock);
    StreamParser pieces;
    std::vector<Unit> piecesUnits;
    std::vector<std::uint8_t> stream;
    int corruptions = 0;

    while (!in.empty()) {
        const std::uint8_t op = in.byte();
        switch (op % 8) {
        case 4:
            clock.advance(in.byte() * 16);
            break;
        case 5:
            setFault(in, device, corruptions);
            break;
        case 6: {
            const int input = in.byte() % 10;
            device.frontPanelRoute(input, in.byte() % 10);
            break;
        }
        case 7: {
            std::size_t n = 0;
            const std::uint8_t* p = in.slice(in.byte(), n);
            if (op & 0x80)
                device.answerSearch(p, n);
            else
                device.answerNetConfig(p, n);
            break;
        }
        default: {  // bytes arrive, up to 2 KiB at a time
            std::size_t n = 0;
            const std::uint8_t* p = in.slice(1 + in.byte() * (1 + (op >> 5)), n);
            session.receive(p, n);
            pieces.feed(p, n, Collect{piecesUnits});
            stream.insert(stream.end(), p, p + n);
            check(session.parser().heldBytes() < kDataFrameSize);
            check(pieces.heldBytes() < kDataFrameSize);
            break;
        }
        }
    }

    // The same units from the whole stream at once, before and after giving
    // up what is unfinished.
    StreamParser whole;
    std::vector<Unit> wholeUnits;
    whole.feed(stream.data(), stream.size(), Collect{wholeUnits});
    check(wholeUnits == piecesUnits);
    whole.giveUpPartial(Collect{wholeUnits});
    pieces.giveUpPartial(Collect{piecesUnits});
    check(wholeUnits == piecesUnits);
    check(!whole.hasPartial());
    // Good units never overlap, nor do the bad ones reported.
    std::size_t reported = 0;
    for (const Unit& u : wholeUnits)
        reported += u.bytes.size();
    check(reported <= 2 * stream.size());

    clock.advance(kDrainMs);
    check(session.queuedReplies() == 0);
    check(!session.parser().hasPartial());
    check(written.size() % qsizetype(kCommandFrameSize) == 0);
    int wrong = 0;
    for (qsizetype at = 0; at < written.size(); at += qsizetype(kCommandFrameSize)) {
        const auto* f = reinterpret_cast<const std::uint8_t*>(written.constData() + at);
        check((f[0] == kCommandHeader1 && f[1] == kCommandHeader2) || (f[0] == kDataHeader1 && f[1] == kDataHeader2));
        wrong += verifyChecksum(f) ? 0 : 1;
    }
    check(wrong <= corruptions);
    return 0;
}
