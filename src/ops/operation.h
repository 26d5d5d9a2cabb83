// An operation on the switch: a procedure built from the session's
// exchanges (reading the status, routing, an EDID upload, a firmware upgrade,
// ...), with its own state machine, its progress as signals of its own, and a
// result. It goes on only from the answers to its own exchanges. No widgets:
// the panel's pages, the command-line tool and the tests run the same ones.
// Whoever handles finished() deletes the operation later (deleteLater), not
// inside the handler.
#pragma once

#include <QObject>

#include <functional>

#include "engine/session.h"

namespace talvane {

enum class Outcome {
    Done,       // the switch did or told what was asked
    TimedOut,   // an exchange got no answer, resends included
    Refused,    // the switch answered that it would not or could not
    Cancelled,  // stopped before its end
};

class Operation : public QObject {
    Q_OBJECT
public:
    explicit Operation(Session& session, QObject* parent = nullptr);
    // An operation that needs no session (one over datagrams).
    explicit Operation(QObject* parent = nullptr);
    // An exchange still outstanding is dropped; finished() is not emitted.
    ~Operation() override;

    // Starts it; finished() follows once, possibly before start() returns.
    void start();
    // Stops at once: the exchange in flight is dropped (its answer, should it
    // still come, is unsolicited) and the operation finishes as Cancelled.
    void cancel();
    bool running() const { return state_ == State::Running; }
    bool hasFinished() const { return state_ == State::Finished; }
    Outcome outcome() const { return outcome_; }

signals:
    void finished(talvane::Outcome outcome);

protected:
    virtual void begin() = 0;
    // Called once when the operation ends, however it ends.
    virtual void ended() {}

    // Starts an exchange of this operation: `onAnswer` goes on from its
    // answer. When it ends without an answer, `onEnd` runs, or without one
    // the operation ends as TimedOut.
    void exchange(Request request, std::function<void(const CommandFrame&)> onAnswer,
                  std::function<void()> onEnd = {});
    void finish(Outcome outcome);
    Session& session() const { return *session_; }

private:
    enum class State { Idle, Running, Finished };

    Session* session_ = nullptr;
    Session::Id exchange_ = 0;
    bool inFlight_ = false;
    State state_ = State::Idle;
    Outcome outcome_ = Outcome::Done;
};

// A frame as the bytes an exchange sends.
std::vector<std::uint8_t> bytesOf(const CommandFrame& frame);

// An exchange that sends `command`, a firmware block, or the raw EDID block
// after its header, answered as the answer rules (protocol/answers.h) say.
// A command that nothing answers (the EDID block header) holds the line
// for timing.firstMs.
Request requestFor(const CommandFrame& command, Timing timing);
Request requestFor(const DataFrame& block, Timing timing);
Request edidBlockRequest(const std::uint8_t* block, const CommandFrame& header, Timing timing);

}  // namespace talvane
