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

class Follower : public QObject, private SessionObserver {
    Q_OBJECT
public:
    // The read of the view shown, not yet started; nullptr when the view has none.
    using ReadFactory = std::function<Operation*()>;

    explicit Follower(Runner& runner, QObject* parent = nullptr);
    ~Follower() override;

    void setRead(ReadFactory read) { read_ = std::move(read); }
    bool enabled() const { return enabled_; }
    // On: the first read follows after one period. Off: a read under way stops.
    void setEnabled(bool on);
    // Reads started so far.
    int reads() const { return reads_; }
    // How often it reads (the panel's limits::FollowPeriodMs unless set).
    void setPeriod(int ms) { period_ = ms; }
    int period() const { return period_; }

signals:
    // A read got no answer (the switch or the line is gone).
    void unanswered();
    // A read ended with every answer.
    void answered();

private:
    // What a read costs the line: the bytes it sends and receives, and the
    // frames that still come in after it while nothing else is outstanding
    // (late or repeated answers).
    void frameSent(const std::uint8_t* bytes, std::size_t length) override;
    void frameReceived(const CommandFrame& frame) override;

    void tick();
    void schedule(qint64 ms);
    void readEnded(Outcome outcome);
    // When the next read may start: a period after the last one, and not
    // before the last one's bytes are within the line's share.
    qint64 nextReadMs() const;

    Runner& runner_;
    ReadFactory read_;
    OneShot timer_;
    QPointer<Operation> running_;
    bool enabled_ = false;
    int period_;
    int reads_ = 0;
    qint64 lastStartMs_ = 0;
    qint64 lastReadBytes_ = 0;
};

}  // namespace talvane
