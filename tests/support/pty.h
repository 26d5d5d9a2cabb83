// Test helpers for the serial link: a pseudo-terminal pair whose slave side
// plays the serial device and whose master side plays the switch, and waits
// that end on a condition or a generous deadline, never after a fixed time.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QString>
#include <QTimer>

#include <thread>

namespace talvane::test {

class PtyPair {
public:
    PtyPair();  // opens a master; isOpen() tells whether that worked
    ~PtyPair() { closeMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool isOpen() const { return master_ >= 0; }
    int master() const { return master_; }
    QString slavePath() const { return slavePath_; }

    // Writes everything to the master (the bytes arrive at the slave); false
    // when the slave was closed or took nothing for 5 s.
    bool write(const QByteArray& bytes);
    // Reads from the master until `count` bytes arrived or the deadline passed.
    QByteArray read(int count, int timeoutMs = 5000);
    // What the master can read now, without waiting.
    QByteArray readAvailable();
    // True when no one has the slave open (the port closed it).
    bool slaveClosed() const;
    // Hangs up the line as seen from the slave.
    void closeMaster();

private:
    int master_ = -1;
    QString slavePath_;
};

// Processes events until `done()` holds; false when `timeoutMs` passed first.
template <class Pred>
bool processEventsUntil(Pred done, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    QTimer wake;  // wakes the event loop for conditions that no event signals
    wake.start(5);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

// Waits WITHOUT processing events, for conditions set by another thread.
template <class Pred>
bool spinUntil(Pred done, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done() && !deadline.hasExpired())
        std::this_thread::yield();
    return done();
}

}  // namespace talvane::test
