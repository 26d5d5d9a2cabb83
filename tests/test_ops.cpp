// The operations against the simulated switch, in-process and without a
// window: what the switch holds afterwards, what the operation reported, and
// how it ends when the switch does not answer. Time runs on the manual clock.
#include <QtTest>

#include "engine/session.h"
#include "ops/limits.h"
#include "ops/routing.h"
#include "ops/runner.h"
#include "protocol/commands.h"
#include "protocol/replies.h"
#include "support/simlink.h"

using namespace talvane;

namespace {

// A session on the simulated switch, on the manual clock.
struct Bench {
    ManualClock clock;
    struct ClockScope {
        explicit ClockScope(Clock* c) { setAppClock(c); }
        ~ClockScope() { setAppClock(nullptr); }
    } scope{&clock};
    SimLink link;
    Session session{&clock};

    Bench() { session.setLink(&link); }

    // Runs `op` to its end (advancing the clock when it waits), at most `ms`.
    Outcome run(Operation& op, qint64 ms = 60000)
    {
        op.start();
        for (qint64 t = 0; t < ms && op.running(); t += 10) {
            SimLink::settle();
            if (op.running())
                clock.advance(10);
        }
        SimLink::settle();
        return op.outcome();
    }
};

}  // namespace

class TestOps : public QObject {
    Q_OBJECT
private slots:
    void routeAndArcReachTheSwitch();
    void matrixReadReportsTheSwitch();
    void silentSwitchTimesOutAfterOneResend_data();
    void silentSwitchTimesOutAfterOneResend();
    void runnerHoldsAndStopsBackground();
};

void TestOps::routeAndArcReachTheSwitch()
{
    Bench b;
    QList<QPair<int, int>> routed;
    RouteSet route(b.session, 4, 2);
    connect(&route, &RouteSet::routed, [&](int i, int o) { routed << qMakePair(i, o); });
    QCOMPARE(b.run(route), Outcome::Done);
    QCOMPARE(b.link.model().route[1], 4);
    QCOMPARE(routed, (QList<QPair<int, int>>{{4, 2}}));

    QList<QPair<int, bool>> arc;
    ArcSet on(b.session, 3, true);
    connect(&on, &ArcSet::arcReported, [&](int o, bool s) { arc << qMakePair(o, s); });
    QCOMPARE(b.run(on), Outcome::Done);
    QVERIFY(b.link.model().arc[2]);
    QCOMPARE(arc, (QList<QPair<int, bool>>{{3, true}}));
    QCOMPARE(int(b.link.written.size()), 2);
}

void TestOps::matrixReadReportsTheSwitch()
{
    Bench b;
    b.link.model().route = {3, 5, 1, 8, 2, 7, 4, 8};
    b.link.model().arc = {false, true, false, false, true, false, false, true};
    std::array<int, kPortCount> routes{};
    std::array<int, kPortCount> arcs{};
    MatrixRead read(b.session, limits::ChainQuery);
    connect(&read, &MatrixRead::routeReported, [&](int o, int i) { routes[o - 1] = i; });
    connect(&read, &MatrixRead::arcReported, [&](int o, bool on) { arcs[o - 1] = on ? 1 : 2; });
    QCOMPARE(b.run(read), Outcome::Done);
    QCOMPARE(routes, b.link.model().route);
    for (int o = 0; o < kPortCount; ++o)
        QCOMPARE(arcs[o], b.link.model().arc[o] ? 1 : 2);
    QCOMPARE(b.link.count(cmd::RouteQuery), 8);
    QCOMPARE(b.link.count(cmd::ArcQuery), 8);
    QCOMPARE(int(b.session.counters().unsolicited), 0);
}

void TestOps::silentSwitchTimesOutAfterOneResend_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<int>("sends");
    QTest::addColumn<qint64>("endsAt");
    QTest::newRow("route") << "route" << 2 << qint64(6000);
    QTest::newRow("ARC") << "arc" << 2 << qint64(6000);
    QTest::newRow("matrix read: its first query only") << "read" << 1 << qint64(7000);
}

void TestOps::silentSwitchTimesOutAfterOneResend()
{
    QFETCH(QString, op);
    QFETCH(int, sends);
    QFETCH(qint64, endsAt);
    Bench b;
    b.link.device.faults().silentAll = true;
    std::unique_ptr<Operation> o;
    if (op == "route")
        o = std::make_unique<RouteSet>(b.session, 1, 1);
    else if (op == "arc")
        o = std::make_unique<ArcSet>(b.session, 1, false);
    else
        o = std::make_unique<MatrixRead>(b.session, limits::ChainQuery);
    qint64 endedAt = -1;
    connect(o.get(), &Operation::finished, [&] { endedAt = b.clock.nowMs(); });
    QCOMPARE(b.run(*o), Outcome::TimedOut);
    QCOMPARE(endedAt, endsAt);
    QCOMPARE(int(b.link.written.size()), sends);
    QVERIFY(b.session.idle());
}

void TestOps::runnerHoldsAndStopsBackground()
{
    Bench b;
    Runner runner(b.session);
    // A background read in flight; the operator's command takes hold.
    auto* read = new MatrixRead(b.session, limits::ChainQuery);
    int reported = 0;
    connect(read, &MatrixRead::routeReported, [&] { ++reported; });
    runner.runBackground(read);
    QCOMPARE(runner.backgroundCount(), 1);
    QVERIFY(runner.hold());
    QVERIFY(!runner.hold());  // a second operator's operation is refused
    RouteSet route(b.session, 2, 2);
    route.start();
    QCOMPARE(int(b.link.written.size()), 1);  // the route waits for the read's exchange in flight
    QCOMPARE(b.run(route), Outcome::Done);
    // The read's answer in flight was taken; nothing of it followed.
    QCOMPARE(reported, 1);
    QCOMPARE(b.link.count(cmd::RouteQuery), 1);
    QCOMPARE(runner.backgroundCount(), 0);
    runner.release();
    QVERIFY(runner.hold());
}

QTEST_GUILESS_MAIN(TestOps)
#include "test_ops.moc"
