// One link to the switch (a TCP connection or the serial line): cuts the
// received bytes into units, lets the device answer them and writes the
// replies out in order, each after its delay, whole, held back or split as
// the device's faults ask.
//
// A link may close under any write (a TCP peer gone); close() then ends the
// session at once: nothing more is handled, written or timed, though the
// object stays valid until the call that closed it has returned.
#pragma once

#include <QByteArray>

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "core/timerhost.h"
#include "protocol/streamparser.h"
#include "sim/switchdevice.h"

namespace talvane {
namespace sim {

class Trace;

class Session {
public:
    // One call is one write on the link.
    using Writer = std::function<void(const QByteArray&)>;

    static constexpr int kStallMs = 1000;       // an unfinished frame or raw block is given up after this
    static constexpr int kSplitGapMs = 20;      // between the two writes of a split reply
    static constexpr int kHoldLimitMs = 10000;  // a held reply goes out alone after this
    // Replies a link holds for a peer that does not read them, at most.
    static constexpr int kMaxPendingOutput = 64 * 1024;

    Session(SwitchDevice& device, Writer writer, Trace* trace = nullptr, Clock* clock = nullptr);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void receive(const std::uint8_t* data, std::size_t size);
    void receive(const QByteArray& bytes);

    // The link is gone: drop what is queued and stop every timer. Safe from
    // inside the writer.
    void close();

    int queuedReplies() const { return static_cast<int>(queue_.size() + held_.size()); }
    const StreamParser& parser() const { return parser_; }

private:
    enum TimerId { kSendTimer = 1, kStallTimer, kHoldTimer };

    // The last stretch before a reply is due that the clock waits out itself
    // (timers count whole milliseconds; line pacing needs finer steps).
    static constexpr qint64 kPreciseStepUs = 2000;

    struct Queued {
        qint64 dueUs;
        std::vector<std::uint8_t> bytes;
        bool hold = false;
        int splitAt = 0;
        bool traced = false;
    };

    void onTimer(int id);
    void handleUnit(const StreamUnit& unit);
    void updateStallTimer();
    void enqueue(const Outgoing& reply);
    void pump();
    void writeDue(qint64 now);
    QByteArray takeHeld();
    void write(const QByteArray& bytes);

    SwitchDevice& device_;
    Writer writer_;
    Trace* trace_;
    TimerHost timers_;
    StreamParser parser_;
    std::deque<Queued> queue_;
    std::vector<std::vector<std::uint8_t>> held_;
    qint64 lastDueUs_ = 0;
    bool closed_ = false;
};

}  // namespace sim
}  // namespace talvane
