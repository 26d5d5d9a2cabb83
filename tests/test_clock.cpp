// Window timers on the manual clock, and the manual clock set beside the real one.
#include <QtTest>

#include <QEventLoop>

#include "core/clock.h"
#include "core/timerhost.h"

using namespace talvane;

namespace {

// Records "<id>@<time>" for every firing.
struct Recorder {
    Clock& clock;
    QStringList fired;
    std::function<void(int)> extra;
    TimerHost host{[this](int id) {
                       fired << QStringLiteral("%1@%2").arg(id).arg(clock.nowMs());
                       if (extra)
                           extra(id);
                   },
                   &clock};
    explicit Recorder(Clock& c)
        : clock(c)
    {
    }
};

class PostedProbe : public QObject {
public:
    int handled = 0;
    bool event(QEvent* e) override
    {
        if (e->type() == QEvent::User) {
            ++handled;
            return true;
        }
        return QObject::event(e);
    }
};

}  // namespace

class TestClock : public QObject {
    Q_OBJECT
private slots:
    void firesInTimeOrder();
    void rearmRestartsTheInterval();
    void handlerStopsATimerDueAtTheSameInstant();
    void handlerArmsATimerThatFiresInTheSameAdvance();
    void retryPairPattern();
    void stopInOwnHandlerEndsRepetition();
    void postedEventsDeliveredBetweenFirings();
    void nestedAdvanceNeverMovesTimeBack();
    void hostDestructionStopsItsTimers();
    void systemClockAgreesWithManualClock();
    void microsecondsAndPreciseWaits();
    void systemClockStartsAgainWhatWasStopped();
};

void TestClock::firesInTimeOrder()
{
    ManualClock clock;
    Recorder r(clock);
    r.host.arm(2, 300);
    r.host.arm(1, 200);
    clock.advance(650);
    QCOMPARE(r.fired, QStringList({"1@200", "2@300", "1@400", "2@600", "1@600"}));
    QCOMPARE(clock.nowMs(), qint64(650));
}

void TestClock::rearmRestartsTheInterval()
{
    ManualClock clock;
    Recorder r(clock);
    r.host.arm(7, 3000);
    clock.advance(2000);
    r.host.arm(7, 3000);  // re-arming a running timer starts it again
    clock.advance(2999);
    QVERIFY(r.fired.isEmpty());
    clock.advance(1);
    QCOMPARE(r.fired, QStringList({"7@5000"}));
    QVERIFY(r.host.isArmed(7));
    QCOMPARE(r.host.intervalOf(7), 3000);
}

void TestClock::handlerStopsATimerDueAtTheSameInstant()
{
    ManualClock clock;
    Recorder r(clock);
    r.extra = [&](int id) {
        if (id == 1)
            r.host.stop(2);
    };
    r.host.arm(1, 100);
    r.host.arm(2, 100);
    clock.advance(100);
    QCOMPARE(r.fired, QStringList({"1@100"}));
    QVERIFY(!r.host.isArmed(2));
}

void TestClock::handlerArmsATimerThatFiresInTheSameAdvance()
{
    ManualClock clock;
    Recorder r(clock);
    r.extra = [&](int id) {
        r.host.stop(id);
        if (id == 1)
            r.host.arm(5, 50);
    };
    r.host.arm(1, 100);
    clock.advance(1000);
    QCOMPARE(r.fired, QStringList({"1@100", "5@150"}));
}

void TestClock::retryPairPattern()
{
    // The common rule: E resends and arms E+1; E+1 reports the timeout.
    ManualClock clock;
    Recorder r(clock);
    r.extra = [&](int id) {
        r.host.stop(id);
        if (id == 2000)
            r.host.arm(2001, 3000);
    };
    r.host.arm(2000, 3000);
    clock.advance(10000);
    QCOMPARE(r.fired, QStringList({"2000@3000", "2001@6000"}));
    QCOMPARE(clock.runningCount(), 0);
}

void TestClock::stopInOwnHandlerEndsRepetition()
{
    ManualClock clock;
    Recorder r(clock);
    int count = 0;
    r.extra = [&](int id) {
        if (++count == 3)
            r.host.stop(id);
    };
    r.host.arm(9, 300);
    clock.advance(5000);
    QCOMPARE(r.fired, QStringList({"9@300", "9@600", "9@900"}));
}

void TestClock::postedEventsDeliveredBetweenFirings()
{
    int argc = 0;
    QCoreApplication app(argc, nullptr);
    ManualClock clock;
    Recorder r(clock);
    PostedProbe probe;
    QList<int> seenAtFiring;
    r.extra = [&](int) {
        seenAtFiring << probe.handled;
        QCoreApplication::postEvent(&probe, new QEvent(QEvent::User));
    };
    r.host.arm(1, 10);
    clock.advance(30);
    QCOMPARE(seenAtFiring, QList<int>({0, 1, 2}));
    QCOMPARE(probe.handled, 3);
}

void TestClock::nestedAdvanceNeverMovesTimeBack()
{
    ManualClock clock;
    Recorder r(clock);
    r.extra = [&](int id) {
        if (id == 1) {
            r.host.stop(1);
            clock.advance(500);  // as a modal box driven by a test would
        }
    };
    r.host.arm(1, 100);
    r.host.arm(2, 200);
    clock.advance(300);
    QCOMPARE(r.fired, QStringList({"1@100", "2@200", "2@400", "2@600"}));
    QCOMPARE(clock.nowMs(), qint64(600));
}

void TestClock::hostDestructionStopsItsTimers()
{
    ManualClock clock;
    {
        Recorder r(clock);
        r.host.arm(1, 10);
        r.host.arm(2, 20);
        QCOMPARE(clock.runningCount(), 2);
    }
    QCOMPARE(clock.runningCount(), 0);
    clock.advance(100);  // nothing left to call into a destroyed host
}

void TestClock::systemClockAgreesWithManualClock()
{
    int argc = 0;
    QCoreApplication app(argc, nullptr);
    auto scenario = [](Clock& clock, QEventLoop* loop) {
        QStringList order;
        int fired = 0;
        TimerHost* hostPtr = nullptr;
        TimerHost host(
            [&](int id) {
                order << QString::number(id);
                if (id == 3)
                    hostPtr->stop(3);
                if (++fired == 5) {
                    hostPtr->stopAll();
                    if (loop)
                        loop->quit();
                }
            },
            &clock);
        hostPtr = &host;
        host.arm(1, 20);
        host.arm(2, 50);
        host.arm(3, 30);
        if (loop)
            loop->exec();
        else
            static_cast<ManualClock&>(clock).advance(1000);
        return order;
    };
    ManualClock manual;
    const QStringList expected = scenario(manual, nullptr);
    QCOMPARE(expected, QStringList({"1", "3", "1", "2", "1"}));

    SystemClock system;
    QEventLoop loop;
    QTimer guard;  // ends the loop should the timers never fire
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(10000);
    QCOMPARE(scenario(system, &loop), expected);
}

void TestClock::microsecondsAndPreciseWaits()
{
    ManualClock manual;
    manual.advance(5);
    QCOMPARE(manual.nowUs(), qint64(5000));
    QVERIFY(!manual.waitUntilUs(5500));  // a manual clock moves only when told
    QCOMPARE(manual.nowUs(), qint64(5000));

    SystemClock system;
    const qint64 before = system.nowUs();
    const qint64 target = before + 1500;
    QVERIFY(system.waitUntilUs(target));
    const qint64 after = system.nowUs();
    QVERIFY(after >= target);
    QVERIFY(system.nowMs() >= target / 1000);
    QVERIFY(system.nowMs() <= system.nowUs() / 1000);
    QVERIFY(system.waitUntilUs(after - 10));  // a moment already past returns at once
}

// A handler that stops its own timer and starts others: each new one calls
// only its own handler, though it may be the Qt timer just stopped, and a
// stopped one never fires again.
void TestClock::systemClockStartsAgainWhatWasStopped()
{
    int argc = 0;
    QCoreApplication app(argc, nullptr);
    SystemClock clock;
    QEventLoop loop;
    QStringList order;
    QList<int> handles;
    std::function<void(int)> start = [&](int step) {
        auto handle = std::make_shared<int>(0);
        *handle = clock.startTimer(0, [&, step, handle] {
            order << QString::number(step);
            clock.stopTimer(*handle);
            // Still here after its own timer was stopped.
            if (step < 4)
                start(step + 1);
            else
                loop.quit();
        });
        handles << *handle;
    };
    start(1);
    QTimer guard;  // ends the loop should the timers never fire
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(10000);
    loop.exec();
    for (int turn = 0; turn < 5; ++turn)
        QCoreApplication::processEvents();
    QCOMPARE(order, QStringList({"1", "2", "3", "4"}));
    for (int h : handles)
        QVERIFY(!clock.isRunning(h));
}

QTEST_APPLESS_MAIN(TestClock)
#include "test_clock.moc"
