// SIGINT and SIGTERM as a request to stop, seen on the event loop: the
// handler only writes the signal's number into a pipe, whose other end the
// event loop watches, so nothing but that runs inside the handler. While an
// object lives, the two signals no longer end the process; the handlers
// that were there before come back when it goes.
#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

namespace talvane {
namespace ctl {

class StopSignals : public QObject {
    Q_OBJECT
public:
    StopSignals();
    ~StopSignals() override;
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The signal that asked to stop (SIGINT, SIGTERM), or 0.
    int received() const { return received_; }

signals:
    void stopRequested(int signalNumber);

private:
    void drain();

    int pipe_[2] = {-1, -1};
    int received_ = 0;
    std::unique_ptr<QSocketNotifier> notifier_;
    struct Saved;
    std::unique_ptr<Saved> saved_;
};

}  // namespace ctl
}  // namespace talvane
