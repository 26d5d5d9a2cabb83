// Following the switch: while it is on, the view shown reads the switch's
// state again every few seconds in the background, so a change made at the
// front panel or by the remote shows. The reads never hold the switch: an
// operator's command stops them at once.
#pragma once

#include <QObject>
#include <QPointer>

#include <functional>

#include "core/oneshot.h"
#include "ops/operation.h"

namespace talvane {

class Runner;

class Follower : public QObject {
    Q_OBJECT
public:
    // The read of the view shown, not yet started; nullptr when the view has none.
    using ReadFactory = std::function<Operation*()>;

    explicit Follower(Runner& runner, QObject* parent = nullptr);

    void setRead(ReadFactory read) { read_ = std::move(read); }
    bool enabled() const { return enabled_; }
    // On: the first read follows after one period. Off: a read under way stops.
    void setEnabled(bool on);
    // Reads started so far.
    int reads() const { return reads_; }

signals:
    // A read got no answer (the switch or the line is gone).
    void unanswered();
    // A read ended with every answer.
    void answered();

private:
    void tick();
    void schedule(int ms);
    void readEnded(Outcome outcome, qint64 startedMs, quint64 framesBefore);
    quint64 frames() const;

    Runner& runner_;
    ReadFactory read_;
    OneShot timer_;
    QPointer<Operation> running_;
    bool enabled_ = false;
    int reads_ = 0;
};

}  // namespace talvane
