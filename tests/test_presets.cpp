// Routing presets and following against the simulated switch, without a
// window: what a recall sends and in which order, where a silent switch stops
// it, what the presets file holds and when it is left alone, and when the
// follower reads. Time runs on the manual clock.
#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include "engine/session.h"
#include "ops/follow.h"
#include "ops/limits.h"
#include "ops/presets.h"
#include "ops/routing.h"
#include "ops/runner.h"
#include "ops/status.h"
#include "protocol/commands.h"
#include "protocol/frame.h"
#include "support/files.h"
#include "support/framehex.h"
#include "support/simsession.h"

using namespace talvane;

namespace {

struct Bench : SimSessionBench {
    // Moves the clock on in steps, letting every reply arrive in between.
    void pass(qint64 ms)
    {
        for (qint64 t = 0; t < ms; t += 10) {
            SimLink::settle();
            clock.advance(10);
        }
        SimLink::settle();
    }

    // The switch's routing as a preset holds it.
    Routing switchRouting()
    {
        Routing r;
        for (std::size_t k = 0; k < r.inputs.size(); ++k) {
            r.inputs[k] = link.model().route[k];
            r.arc[k] = bool(link.model().arc[k]);
        }
        return r;
    }
    // Every command written, as hex.
    QStringList written() const
    {
        QStringList out;
        for (const auto& w : link.written)
            out << QString::fromStdString(toHex(w.data(), w.size()));
        return out;
    }
};

Routing routing(std::array<int, kPortCount> inputs, std::array<bool, kPortCount> arc)
{
    Routing r;
    r.inputs = inputs;
    for (std::size_t k = 0; k < arc.size(); ++k)
        r.arc[k] = arc[k];
    return r;
}

}  // namespace

class TestPresets : public QObject {
    Q_OBJECT
private slots:
    void recallSendsOnlyTheDifferences();
    void storeKeepsWhatItDoesNotKnow();
    void damagedFileIsLeftAlone_data();
    void damagedFileIsLeftAlone();
    void followerReadsWithinItsShare();
    void followerStartsNoReadWhileTheLineIsBusy();
    void followerWaitsLongerAfterAReadThatCostMore();
};

void TestPresets::recallSendsOnlyTheDifferences()
{
    Bench b;
    b.link.model().route = {1, 2, 3, 4, 5, 6, 7, 8};
    b.link.model().arc = {false, false, false, false, false, false, false, false};
    const Routing known = b.switchRouting();
    const Routing target = routing({1, 5, 3, 4, 5, 6, 2, 8}, {false, false, true, false, false, false, true, false});

    PresetRecall recall(b.session, target, known);
    QCOMPARE(recall.commandCount(), 4);
    QStringList acks;
    connect(&recall, &PresetRecall::routed, [&](int i, int o) { acks << QStringLiteral("route %1>%2").arg(i).arg(o); });
    connect(&recall, &PresetRecall::arcReported, [&](int o, bool on) { acks << QStringLiteral("arc %1 %2").arg(o).arg(on); });
    // One command at a time: the first goes out alone, the next only once it is acknowledged.
    recall.start();
    QCOMPARE(int(b.link.written.size()), 1);
    QCOMPARE(b.run(recall), Outcome::Done);

    QCOMPARE(b.written(), (QStringList{hexOf(build::routeSet(5, 2)), hexOf(build::arcSet(3, true)),
                                       hexOf(build::routeSet(2, 7)), hexOf(build::arcSet(7, true))}));
    QCOMPARE(acks, (QStringList{"route 5>2", "arc 3 1", "route 2>7", "arc 7 1"}));
    QVERIFY(b.switchRouting() == target);
    QCOMPARE(recall.stoppedAt(), 0);

    // Recalling what the switch already holds sends nothing.
    PresetRecall again(b.session, target, b.switchRouting());
    QCOMPARE(b.run(again), Outcome::Done);
    QCOMPARE(int(b.link.written.size()), 4);
}

void TestPresets::storeKeepsWhatItDoesNotKnow()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("sub/presets.json"));
    QDir().mkpath(dir.filePath(QStringLiteral("sub")));
    writeAll(path, R"({"version": 1, "note": "kept", "switches": {"port:COM3": {"colour": "red", "presets": [
        {"name": "Break", "extra": 7, "inputs": {"A":1,"B":2,"C":3,"D":4,"E":5,"F":6,"G":7,"H":8},
         "arc": {"A":true,"B":false,"C":false,"D":false,"E":false,"F":false,"G":false,"H":false}}]}}})");
    PresetStore store(path);
    QVERIFY(store.load());
    QCOMPARE(store.presets(QStringLiteral("port:COM3")).size(), 1);
    QVERIFY(store.presets(QStringLiteral("port:COM3"))[0].routing
            == routing({1, 2, 3, 4, 5, 6, 7, 8}, {true, false, false, false, false, false, false, false}));
    QVERIFY(store.presets(QStringLiteral("host:10.0.0.9")).isEmpty());

    const Routing service = routing({3, 3, 3, 3, 1, 1, 1, 1}, {false, false, false, false, true, true, true, true});
    QVERIFY(store.put(QStringLiteral("port:COM3"), {QStringLiteral("  Service "), service}));
    QVERIFY(store.put(QStringLiteral("port:COM3"), {QStringLiteral("Break"), service}));  // replaces
    QVERIFY(!store.put(QStringLiteral("port:COM3"), {QStringLiteral("Half"), Routing{}}));  // not complete
    QVERIFY(store.save());

    PresetStore reread(path);
    QVERIFY(reread.load());
    const QList<Preset> list = reread.presets(QStringLiteral("port:COM3"));
    QCOMPARE(list.size(), 2);
    QCOMPARE(list[0].name, QStringLiteral("Break"));
    QVERIFY(list[0].routing == service);
    QCOMPARE(list[1].name, QStringLiteral("Service"));
    const QJsonObject root = QJsonDocument::fromJson(readAll(path)).object();
    QCOMPARE(root.value("note").toString(), QStringLiteral("kept"));
    const QJsonObject device = root.value("switches").toObject().value("port:COM3").toObject();
    QCOMPARE(device.value("colour").toString(), QStringLiteral("red"));
    QCOMPARE(device.value("presets").toArray()[0].toObject().value("extra").toInt(), 7);

    QVERIFY(reread.remove(QStringLiteral("port:COM3"), QStringLiteral("Break")));
    QVERIFY(!reread.remove(QStringLiteral("port:COM3"), QStringLiteral("Break")));
    QVERIFY(reread.save());
    PresetStore third(path);
    QVERIFY(third.load());
    QCOMPARE(third.presets(QStringLiteral("port:COM3")).size(), 1);
}

// What the file holds beyond JSON itself; the shared reader's own refusals
// (not JSON, not an object) are the labels store's rows.
void TestPresets::damagedFileIsLeftAlone_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("why");
    const QByteArray arc = R"("arc": {"A":true,"B":false,"C":false,"D":false,"E":false,"F":false,"G":false,"H":false})";
    QTest::newRow("version unknown") << QByteArray(R"({"version": 2, "switches": {}})") << "unknown version";
    QTest::newRow("switches a list") << QByteArray(R"({"version": 1, "switches": []})") << "not an object";
    QTest::newRow("presets an object") << QByteArray(R"({"version": 1, "switches": {"k": {"presets": {}}}})")
                                       << "not a list";
    QTest::newRow("input out of range")
        << QByteArray(R"({"version": 1, "switches": {"k": {"presets": [{"name": "X", "inputs": {"A":9,"B":1,"C":1,"D":1,"E":1,"F":1,"G":1,"H":1}, )"
                      + arc + "}]}}}")
        << "not valid";
    QTest::newRow("input missing")
        << QByteArray(R"({"version": 1, "switches": {"k": {"presets": [{"name": "X", "inputs": {"A":1}, )" + arc + "}]}}}")
        << "not valid";
    QTest::newRow("name with a newline")
        << QByteArray(R"({"version": 1, "switches": {"k": {"presets": [{"name": "X\nY", "inputs": {"A":1,"B":1,"C":1,"D":1,"E":1,"F":1,"G":1,"H":1}, )"
                      + arc + "}]}}}")
        << "not valid";
}

void TestPresets::damagedFileIsLeftAlone()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, why);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("presets.json"));
    writeAll(path, content);
    PresetStore store(path);
    QVERIFY(!store.load());
    QVERIFY(store.damaged());
    QVERIFY2(store.error().contains(why), qPrintable(store.error()));
    const Routing r = routing({1, 1, 1, 1, 1, 1, 1, 1}, {false, false, false, false, false, false, false, false});
    QVERIFY(!store.put(QStringLiteral("k"), {QStringLiteral("New"), r}));
    QVERIFY(!store.remove(QStringLiteral("k"), QStringLiteral("X")));
    QVERIFY(!store.save());
    QCOMPARE(readAll(path), content);

    // A missing file is no damage: it is written at the first save.
    PresetStore fresh(dir.filePath(QStringLiteral("new/presets.json")));
    QVERIFY(fresh.load());
    QVERIFY(fresh.put(QStringLiteral("k"), {QStringLiteral("New"), r}));
    QVERIFY(fresh.save());
    QVERIFY(QFileInfo::exists(fresh.path()));
}

void TestPresets::followerReadsWithinItsShare()
{
    Bench b;
    Runner runner(b.session);
    Follower follower(runner);
    QList<QPair<int, int>> routes;
    follower.setRead([&]() -> Operation* {
        auto* read = new MatrixRead(b.session, Purpose::PageEntry);
        connect(read, &MatrixRead::routeReported, [&](int o, int i) { routes << qMakePair(o, i); });
        return read;
    });
    follower.setEnabled(true);
    b.pass(limits::FollowPeriodMs - 20);
    QVERIFY(b.link.written.empty());  // nothing before the first period
    // A route made at the switch itself shows with the next read.
    b.link.model().route[2] = 6;
    b.pass(1000);
    QCOMPARE(follower.reads(), 1);
    QVERIFY(routes.contains(qMakePair(3, 6)));

    // Over a minute: a read every period, and the line's share kept.
    const std::size_t before = b.link.written.size();
    b.pass(60000);
    QCOMPARE(follower.reads(), 1 + 60000 / limits::FollowPeriodMs);
    const qint64 bytes = qint64(b.link.written.size() - before) * 2 * qint64(kCommandFrameSize);
    QVERIFY2(bytes * 100 <= qint64(limits::LineBytesPerSecond) * 60 * limits::FollowLinePercent,
             qPrintable(QString::number(bytes)));

    follower.setEnabled(false);
    const std::size_t stopped = b.link.written.size();
    b.pass(3 * limits::FollowPeriodMs);
    QCOMPARE(b.link.written.size(), stopped);
}

// An exchange of something else on the line (not the operator's: the
// switch is not held) keeps the read back until the line is free.
void TestPresets::followerStartsNoReadWhileTheLineIsBusy()
{
    Bench b;
    Runner runner(b.session);
    Follower follower(runner);
    follower.setRead([&]() -> Operation* { return new MatrixRead(b.session, Purpose::PageEntry); });
    follower.setEnabled(true);
    b.pass(limits::FollowPeriodMs - 1000);
    // Unanswered, it waits for its answer until 7 s after it went out: past two ticks.
    b.link.device.faults().silentCommands.insert(sim::commandKey(cmd::PowerStateQuery));
    PowerStateRead other(b.session, Purpose::PageEntry);
    other.start();
    b.pass(limits::FollowPeriodMs + 1500);
    QVERIFY(other.running());
    QCOMPARE(follower.reads(), 0);
    QCOMPARE(b.written(), QStringList{hexOf(build::powerStateQuery())});
    // Free again: the next tick reads.
    b.pass(limits::FollowPeriodMs);
    QCOMPARE(other.outcome(), Outcome::TimedOut);
    QCOMPARE(follower.reads(), 1);
    QCOMPARE(b.link.count(cmd::RouteQuery), kPortCount);
}

// A read that costs more than usual (here the General page's status read:
// its first answer is lost and the query resent, and every answer comes four
// times, the last ones after the read has ended) keeps the next one back
// until its bytes are within the line's share.
void TestPresets::followerWaitsLongerAfterAReadThatCostMore()
{
    Bench b;
    b.link.device.faults().repeatReplies = 3;
    Runner runner(b.session);
    Follower follower(runner);
    QList<QPair<qint64, quint64>> starts;  // when each read started, and the frames on the line before it
    follower.setRead([&]() -> Operation* {
        b.link.device.faults().corruptNext = true;
        starts.append({b.clock.nowMs(), b.session.counters().sent + b.session.counters().received});
        return new PortStatusRead(b.session);
    });
    follower.setEnabled(true);
    b.pass(60000);
    QVERIFY(starts.size() >= 3);
    const qint64 hundredthsPerSecond = qint64(limits::LineBytesPerSecond) * limits::FollowLinePercent;
    for (int k = 0; k + 1 < starts.size(); ++k) {
        const qint64 bytes = qint64(starts[k + 1].second - starts[k].second) * qint64(kCommandFrameSize);
        const qint64 gapMs = starts[k + 1].first - starts[k].first;
        QVERIFY2(bytes * 1000 * 100 > hundredthsPerSecond * limits::FollowPeriodMs, qPrintable(QString::number(bytes)));
        QVERIFY2(bytes * 1000 * 100 <= hundredthsPerSecond * gapMs,
                 qPrintable(QStringLiteral("read %1: %2 bytes, the next %3 ms later").arg(k).arg(bytes).arg(gapMs)));
    }
}

QTEST_MAIN(TestPresets)
#include "test_presets.moc"
