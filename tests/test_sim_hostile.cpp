// The simulator program against hostile TCP peers on loopback: garbage, half
// frames, floods of data frame headers and of valid frames, a peer that never
// reads, hundreds of connect/drop rounds of each kind and hundreds of
// connections at once. After each, the simulator still runs, answers a fresh
// PowerStateQuery, and has never held much more memory than when it started.
// (How fast it answers is bench_sim_hostile's business.)
#include <QtTest>

#include <memory>

#include "support/hostilepeers.h"
#include "support/instrumented.h"

using namespace hostile;

namespace {

constexpr int kDeadlineMs = talvane::testing::realIoDeadline(10000);  // for real I/O
// Growth over the start, at most.
const long kMemoryBoundKb = (addressSanitized() ? 80 : 20) * 1024;
constexpr int kRounds = 300;
constexpr std::size_t kMiB = 1024 * 1024;

enum class Peer { Garbage, HalfFrames, DataHeaders, ValidFrames, FramesBehindHeaders, NotReading, Rounds, Crowd };

}  // namespace

Q_DECLARE_METATYPE(Peer)
Q_DECLARE_METATYPE(hostile::Round)

class TestSimHostile : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        sim_ = std::make_unique<SimProcess>(TALVANE_SIM_PROGRAM);
        QVERIFY2(sim_->started(), sim_->output().c_str());
        QVERIFY(askPower(sim_->port(), kDeadlineMs) >= 0);
        startKb_ = sim_->rssKb();
        QVERIFY(startKb_ > 0);
    }
    void cleanupTestCase() { sim_.reset(); }

    void peers_data()
    {
        QTest::addColumn<Peer>("peer");
        QTest::addColumn<Round>("round");
        const Round none = Round::TenQueriesThenClose;
        QTest::newRow("garbage") << Peer::Garbage << none;
        QTest::newRow("half frames") << Peer::HalfFrames << none;
        QTest::newRow("8 MiB of FE EF") << Peer::DataHeaders << none;
        QTest::newRow("4 MiB of valid frames") << Peer::ValidFrames << none;
        QTest::newRow("a frame behind 50 FE EF pairs") << Peer::FramesBehindHeaders << none;
        QTest::newRow("a flood never read") << Peer::NotReading << none;
        for (Round r : kAllRounds)
            QTest::newRow(qPrintable(QString("%1 rounds: %2").arg(kRounds).arg(roundName(r)))) << Peer::Rounds << r;
        QTest::newRow("connections at once") << Peer::Crowd << none;
    }

    void peers()
    {
        QFETCH(Peer, peer);
        QFETCH(Round, round);
        const int port = sim_->port();
        switch (peer) {
        case Peer::Garbage:
            QVERIFY(sendAndSettle(port, garbage(2 * kMiB, 7), kDeadlineMs));
            break;
        case Peer::HalfFrames: {
            // Every prefix of a query, then the whole query: one answer.
            Bytes halves;
            const Bytes q = powerQuery();
            for (std::size_t n = 1; n < q.size(); ++n)
                halves.insert(halves.end(), q.begin(), q.begin() + std::ptrdiff_t(n));
            QVERIFY(askPower(port, kDeadlineMs, halves) >= 0);
            break;
        }
        case Peer::DataHeaders:
            QVERIFY(sendAndSettle(port, dataHeaders(4 * kMiB), kDeadlineMs));
            break;
        case Peer::ValidFrames:
            QVERIFY(sendAndSettle(port, queries(4 * kMiB / powerQuery().size()), kDeadlineMs));
            break;
        case Peer::FramesBehindHeaders:
            QVERIFY(askPower(port, kDeadlineMs, dataHeaders(50)) >= 0);
            break;
        case Peer::NotReading: {
            // Cut off once its unread replies pass the cap, long before this limit.
            const std::size_t limit = 256 * kMiB;
            QVERIFY(floodWithoutReading(port, limit) < limit);
            break;
        }
        case Peer::Rounds:
            QVERIFY(dropRounds(port, round, kRounds));
            break;
        case Peer::Crowd:
            QCOMPARE(concurrentQueries(port, kRounds, kDeadlineMs), kRounds);
            break;
        }
        QVERIFY2(sim_->running(), "the simulator is gone");
        QVERIFY(askPower(port, kDeadlineMs) >= 0);
        const long grownKb = sim_->peakRssKb() - startKb_;
        QVERIFY2(grownKb <= kMemoryBoundKb, qPrintable(QString("resident memory grew by up to %1 KiB").arg(grownKb)));
    }

private:
    std::unique_ptr<SimProcess> sim_;
    long startKb_ = 0;
};

QTEST_GUILESS_MAIN(TestSimHostile)
#include "test_sim_hostile.moc"
