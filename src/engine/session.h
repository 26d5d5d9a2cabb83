// The session with the switch: the current link, the frame assembler, and one
// outstanding exchange at a time. An exchange is a frame that goes out (a
// command, a data frame or the raw EDID block), the replies that answer it and
// its time limits: when the first limit passes, the same bytes go out again
// (as often as the exchange allows), and when the last one passes it fails
// with a time-out. An exchange started while another is outstanding waits its
// turn. A reply that answers nothing outstanding changes nothing: it is
// counted and reported as unsolicited, never acted on.
//
// Observers (the Send and Receive logs) see every frame written and every
// frame cut from the received bytes. No widgets here: the panel, the
// command-line tool and the tests share it.
#pragma once

#include <QObject>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "core/clock.h"
#include "core/link.h"
#include "core/oneshot.h"
#include "protocol/assembler.h"
#include "protocol/frame.h"

namespace talvane {

// How long an exchange waits for its answer and how often its bytes go out.
struct Timing {
    int firstMs = 0;   // the wait after the first send
    int retryMs = 0;   // the wait after each resend
    int resends = 0;   // how often the same bytes go out again before it fails
    int giveUpMs = 0;  // > 0: it fails this long after the first send, resends left or not
};

struct Request {
    // A 13-byte command or a 1029-byte data frame (its checksum is written
    // on sending), or the 256-byte raw block (sent as it is).
    std::vector<std::uint8_t> bytes;
    // Which replies answer it. Empty: none does; the bytes go out and the
    // line is held for timing.firstMs (a pause the switch needs), after which
    // the exchange ends as done.
    std::function<bool(const CommandFrame&)> answers;
    Timing timing;
};

// Sees the traffic of a session: the Send and Receive logs.
class SessionObserver {
public:
    virtual ~SessionObserver() = default;
    virtual void frameSent(const std::uint8_t* bytes, std::size_t length) = 0;
    // Every frame cut from the received bytes, before its checksum is checked.
    virtual void frameReceived(const CommandFrame& frame) = 0;
    // A frame answered the exchange that sent `sent` (whoever started it),
    // before the exchange's own handler runs: what the switch confirmed.
    virtual void exchangeAnswered(const std::vector<std::uint8_t>& sent, const CommandFrame& reply)
    {
        (void)sent;
        (void)reply;
    }
};

class Session : public QObject {
    Q_OBJECT
public:
    using Id = quint64;
    using OnAnswer = std::function<void(const CommandFrame& reply)>;
    // The exchange ended without an answer: its time-out, or the end of a pause.
    using OnEnd = std::function<void()>;

    struct Counters {
        quint64 sent = 0;          // writes, resends included
        quint64 resends = 0;
        quint64 received = 0;      // frames cut from the stream
        quint64 badChecksums = 0;
        quint64 answers = 0;
        quint64 unsolicited = 0;   // valid frames that answered nothing outstanding
        quint64 timeouts = 0;
    };

    explicit Session(Clock* clock = nullptr, QObject* parent = nullptr);
    ~Session() override;

    // The link frames go to and come from; nullptr: none. A new link, and a
    // new opening or connection of it, starts with an empty frame assembler.
    // When the link is lost, closed or replaced, what was under way on it is
    // abandoned (see abandon()).
    void setLink(Link* link);
    Link* link() const { return link_; }
    bool linkOpen() const { return link_ && link_->isOpen(); }

    void addObserver(SessionObserver* observer);
    void removeObserver(SessionObserver* observer);

    // Starts an exchange, or queues it behind the one outstanding. Exactly one
    // of the handlers runs, once, unless the exchange is cancelled first.
    Id start(Request request, OnAnswer onAnswer, OnEnd onEnd);
    // Drops a queued exchange, or stops waiting for the outstanding one (its
    // late answer is then unsolicited). Neither handler runs.
    void cancel(Id id);
    // Writes the bytes of exchange `id` once more, now, when it is the one
    // outstanding, and waits its retry wait (within its give-up limit) from
    // here: an exchange whose resends its owner decides (the hub sends a
    // client's resend when the client sends it). False when `id` is not
    // outstanding (queued, or ended).
    bool repeat(Id id);
    // The exchange outstanding, or 0.
    Id outstanding() const { return current_ ? current_->id : 0; }
    // Nothing outstanding and nothing queued.
    bool idle() const { return !current_ && queue_.empty(); }
    // Ends the exchange outstanding and every queued one as unanswered (each
    // one's OnEnd runs, in order): the link they went out on is gone.
    void abandon();
    // Stops for good, silently: off its link, nothing outstanding or queued,
    // and no handler runs again (its owner is going away).
    void shutDown();

    const Counters& counters() const { return counters_; }
    Clock& clock() const { return limit_.clock(); }

signals:
    // A frame answered the exchange outstanding (emitted before its handler
    // runs): the switch is there.
    void exchangeAnswered();
    // A valid frame that answered nothing outstanding; it changed nothing.
    void unsolicited(const talvane::CommandFrame& frame);

private:
    struct Exchange {
        Id id = 0;
        Request request;
        OnAnswer onAnswer;
        OnEnd onEnd;
        int resendsLeft = 0;
        qint64 firstSentMs = 0;
    };

    void onReceived(const QByteArray& bytes);
    void onFrame(const CommandFrame& frame);
    void launchNext();
    void write(std::vector<std::uint8_t>& bytes);
    void armLimit(int ms);
    void onLimit();

    Link* link_ = nullptr;
    QMetaObject::Connection receivedConnection_;
    QMetaObject::Connection openedConnection_;
    QMetaObject::Connection lostConnection_;
    QMetaObject::Connection closedConnection_;
    FrameAssembler assembler_;
    std::vector<SessionObserver*> observers_;
    std::unique_ptr<Exchange> current_;
    std::deque<std::unique_ptr<Exchange>> queue_;
    OneShot limit_;
    Id nextId_ = 1;
    bool shutDown_ = false;
    Counters counters_;
};

}  // namespace talvane
