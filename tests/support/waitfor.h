// Processing events until a condition holds, for tests that run real
// processes, sockets or pseudo-terminals.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <functional>

namespace talvane {

// Processes events until `cond` holds; false at the deadline (a safety net
// against a hang, not a measure of speed). The loop wakes at least every
// 50 ms, so a condition no event reports is still seen.
inline bool waitFor(const std::function<bool()>& cond, int deadlineMs = 60000)
{
    QElapsedTimer elapsed;
    elapsed.start();
    // Precise: a coarse timer may fire a little early, and the loop would
    // then wait for an event that never comes.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!cond()) {
        const qint64 left = deadlineMs - elapsed.elapsed();
        if (left <= 0)
            return false;
        wake.start(int(std::min<qint64>(left, 50)));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

}  // namespace talvane
