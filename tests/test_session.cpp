// The session's rules, on the manual clock with a link the test plays: one
// outstanding exchange, resend the same bytes as the timing allows and then
// fail with a time-out, exchanges waiting their turn, and replies that answer
// nothing outstanding changing nothing.
#include <QtTest>

#include "engine/session.h"
#include "protocol/commands.h"
#include "protocol/replies.h"
#include "support/capturelink.h"

using namespace talvane;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const CommandFrame& f) { return Bytes(f.bytes.begin(), f.bytes.end()); }
QByteArray wire(CommandFrame f, bool seal = true)
{
    if (seal)
        f.seal();
    return QByteArray(reinterpret_cast<const char*>(f.data()), qsizetype(f.size()));
}
std::function<bool(const CommandFrame&)> answeredBy(CommandId id)
{
    return [id](const CommandFrame& r) { return commandIdOf(r) == id; };
}

struct Recorder : SessionObserver {
    QStringList sent, received;
    void frameSent(const std::uint8_t* b, std::size_t n) override { sent << QString::fromStdString(toHex(b, n)); }
    void frameReceived(const CommandFrame& f) override { received << QString::fromStdString(toHex(f.bytes)); }
};

struct Bench {
    ManualClock clock;
    std::vector<Bytes> written;
    CaptureLink link{written};
    Session session{&clock};
    Recorder log;
    QStringList events;  // what the handlers saw, in order
    QList<qint64> writtenAt;

    Bench()
    {
        session.setLink(&link);
        session.addObserver(&log);
    }
    // Starts an exchange whose handlers note "<name> answered" / "<name> ended".
    Session::Id start(const QString& name, Request r)
    {
        return session.start(
            std::move(r), [this, name](const CommandFrame&) { events << name + " answered"; },
            [this, name] { events << name + " ended"; });
    }
    void reply(const CommandFrame& f, bool seal = true) { emit link.received(wire(f, seal)); }
    // Clock times of the writes so far, one step at a time.
    QList<qint64> runAndNoteWrites(qint64 ms)
    {
        QList<qint64> at;
        std::size_t seen = written.size();
        for (qint64 t = 0; t < ms; ++t) {
            clock.advance(1);
            for (; seen < written.size(); ++seen)
                at << clock.nowMs();
        }
        return at;
    }
};

Request command(const CommandFrame& f, Timing t, CommandId answer)
{
    return Request{bytesOf(f), answeredBy(answer), t};
}

}  // namespace

class TestSession : public QObject {
    Q_OBJECT
private slots:
    void resendsThenTimesOut_data();
    void resendsThenTimesOut();
    void answerEndsTheExchangeOnce();
    void unansweredRepliesChangeNothing_data();
    void unansweredRepliesChangeNothing();
    void exchangesWaitTheirTurn();
    void pacedWriteHoldsTheLine();
    void cancelQueuedAndOutstanding();
    void checksumsOnTheWire();
    void newLinkStartsAFreshAssembler();
    void halfReplyThenSilenceCostsNothingMore();
};

void TestSession::resendsThenTimesOut_data()
{
    QTest::addColumn<int>("firstMs");
    QTest::addColumn<int>("retryMs");
    QTest::addColumn<int>("resends");
    QTest::addColumn<int>("giveUpMs");
    QTest::addColumn<QList<qint64>>("writes");  // clock times of the writes after the first
    QTest::addColumn<qint64>("endsAt");
    QTest::newRow("once after 3 s, time-out 3 s later") << 3000 << 3000 << 1 << 0 << QList<qint64>{3000} << qint64(6000);
    QTest::newRow("power on: 3 s, then 2 s") << 3000 << 2000 << 1 << 0 << QList<qint64>{3000} << qint64(5000);
    QTest::newRow("chain query: no resend") << 7000 << 0 << 0 << 0 << QList<qint64>{} << qint64(7000);
    QList<qint64> every300;
    for (qint64 t = 3000; t < 10000; t += 300)
        every300 << t;
    QTest::newRow("transfer request: every 300 ms from 3 s, given up at 10 s")
        << 3000 << 300 << 1000 << 10000 << every300 << qint64(10000);
    QTest::newRow("reboot poll: five more, 6 s apart")
        << 6000 << 6000 << 5 << 0 << QList<qint64>{6000, 12000, 18000, 24000, 30000} << qint64(36000);
}

void TestSession::resendsThenTimesOut()
{
    QFETCH(int, firstMs);
    QFETCH(int, retryMs);
    QFETCH(int, resends);
    QFETCH(int, giveUpMs);
    QFETCH(QList<qint64>, writes);
    QFETCH(qint64, endsAt);
    Bench b;
    qint64 endedAt = -1;
    b.session.start(command(build::reboot(), Timing{firstMs, retryMs, resends, giveUpMs}, cmd::Reboot), {},
                    [&] { endedAt = b.clock.nowMs(); });
    QCOMPARE(b.written.size(), std::size_t(1));
    QCOMPARE(b.runAndNoteWrites(endsAt + 5000), writes);
    QCOMPARE(endedAt, endsAt);
    // Every write is the same bytes, checksum included.
    for (const Bytes& w : b.written)
        QCOMPARE(w, bytesOf(CommandFrame(build::reboot()).seal()));
    QCOMPARE(int(b.session.counters().resends), writes.size());
    QCOMPARE(int(b.session.counters().timeouts), 1);
    QVERIFY(b.session.idle());
    QCOMPARE(b.clock.runningCount(), 0);
}

void TestSession::answerEndsTheExchangeOnce()
{
    Bench b;
    b.start("reboot", command(build::reboot(), Timing{3000, 3000, 1}, cmd::Reboot));
    b.clock.advance(3000);  // resent
    b.reply(reply::ack(cmd::Reboot));
    QCOMPARE(b.events, QStringList{"reboot answered"});
    // The answer to the first send, late: answers nothing now.
    b.reply(reply::ack(cmd::Reboot));
    b.clock.advance(10000);
    QCOMPARE(b.events, QStringList{"reboot answered"});
    QCOMPARE(b.written.size(), std::size_t(2));
    QCOMPARE(int(b.session.counters().unsolicited), 1);
    QCOMPARE(b.clock.runningCount(), 0);
}

void TestSession::unansweredRepliesChangeNothing_data()
{
    QTest::addColumn<bool>("outstanding");  // an exchange waits for another reply
    QTest::newRow("nothing outstanding") << false;
    QTest::newRow("another reply awaited") << true;
}

void TestSession::unansweredRepliesChangeNothing()
{
    QFETCH(bool, outstanding);
    Bench b;
    QList<CommandFrame> unsolicited;
    QObject::connect(&b.session, &Session::unsolicited, [&](const CommandFrame& f) { unsolicited << f; });
    if (outstanding)
        b.start("power", command(build::powerStateQuery(), Timing{3000, 3000, 1}, cmd::PowerStateQuery));
    const std::size_t writes = b.written.size();
    // A route acknowledgement that nobody asked for, and one with a wrong checksum.
    b.reply(reply::routeSetAck(2));
    CommandFrame bad = reply::routeSetAck(3).seal();
    bad[pos::Checksum] ^= 0x01;
    b.reply(bad, false);
    QCOMPARE(b.written.size(), writes);
    QVERIFY(b.events.isEmpty());
    QCOMPARE(unsolicited.size(), 1);
    QCOMPARE(int(b.session.counters().badChecksums), 1);
    QCOMPARE(b.log.received.size(), 2);  // the log sees both
    // The awaited reply still ends the exchange.
    if (outstanding) {
        b.reply(reply::powerState(kStateOn));
        QCOMPARE(b.events, QStringList{"power answered"});
    }
    QVERIFY(b.session.idle());
}

void TestSession::exchangesWaitTheirTurn()
{
    Bench b;
    b.start("first", command(build::routeQuery(1), Timing{7000}, cmd::RouteQuery));
    b.start("second", command(build::arcQuery(1), Timing{7000}, cmd::ArcQuery));
    QCOMPARE(b.written.size(), std::size_t(1));
    // The second's answer before its turn is not its answer.
    b.reply(reply::arcQuery(1, true));
    QVERIFY(b.events.isEmpty());
    b.reply(reply::routeQuery(1, 3));
    // The next goes out at once, before the first answer's handler has run.
    QCOMPARE(b.written.size(), std::size_t(2));
    QCOMPARE(b.events, QStringList{"first answered"});
    b.reply(reply::arcQuery(1, true));
    QCOMPARE(b.events, QStringList({"first answered", "second answered"}));
    // A handler that starts the next exchange sends it at once.
    b.session.start(command(build::routeQuery(2), Timing{7000}, cmd::RouteQuery), [&](const CommandFrame&) {
        b.session.start(command(build::routeQuery(3), Timing{7000}, cmd::RouteQuery), {}, {});
    }, {});
    b.reply(reply::routeQuery(2, 2));
    QCOMPARE(b.written.size(), std::size_t(4));
    QCOMPARE(b.written.back(), bytesOf(build::routeQuery(3).seal()));
}

void TestSession::pacedWriteHoldsTheLine()
{
    Bench b;
    b.start("header", Request{bytesOf(build::edidBlockHeader(false)), {}, Timing{100}});
    Bytes block(kRawEdidBlockSize, 0x5A);
    b.start("block", Request{block, answeredBy(cmd::EdidUploadTarget), Timing{7000}});
    b.clock.advance(99);
    QCOMPARE(b.written.size(), std::size_t(1));
    // A reply during the pause answers nothing.
    b.reply(reply::edidAccept(cmd::EdidUploadTarget));
    b.clock.advance(1);
    QCOMPARE(b.events, QStringList{"header ended"});
    QCOMPARE(b.written.size(), std::size_t(2));
    QCOMPARE(b.written.back(), block);  // the raw block as it is: no checksum written into it
    QCOMPARE(int(b.session.counters().timeouts), 0);
}

void TestSession::cancelQueuedAndOutstanding()
{
    Bench b;
    const Session::Id first = b.start("first", command(build::routeQuery(1), Timing{3000, 3000, 1}, cmd::RouteQuery));
    const Session::Id second = b.start("second", command(build::routeQuery(2), Timing{3000, 3000, 1}, cmd::RouteQuery));
    b.start("third", command(build::arcQuery(1), Timing{3000, 3000, 1}, cmd::ArcQuery));
    b.session.cancel(second);
    b.session.cancel(first);  // the outstanding one: the next goes out now
    QCOMPARE(b.written.size(), std::size_t(2));
    QCOMPARE(b.written.back(), bytesOf(build::arcQuery(1).seal()));
    b.reply(reply::routeQuery(1, 1));  // the cancelled one's answer
    QCOMPARE(int(b.session.counters().unsolicited), 1);
    b.clock.advance(6000);
    QCOMPARE(b.events, QStringList{"third ended"});
}

void TestSession::checksumsOnTheWire()
{
    Bench b;
    b.start("query", Request{bytesOf(build::powerStateQuery()), {}, Timing{1}});
    DataFrame block;
    b.start("block", Request{Bytes(block.bytes.begin(), block.bytes.end()), {}, Timing{1}});
    b.clock.advance(1);
    QCOMPARE(b.log.sent.first(), QStringLiteral("A5 5B 08 0C 00 00 00 00 00 00 00 00 EC"));
    QCOMPARE(b.written[1].size(), kDataFrameSize);
    QVERIFY(verifyChecksum(b.written[0].data()));
    DataFrame sent;
    std::copy(b.written[1].begin(), b.written[1].end(), sent.bytes.begin());
    QVERIFY(sent.checksumValid());
}

void TestSession::newLinkStartsAFreshAssembler()
{
    Bench b;
    b.start("power", command(build::powerStateQuery(), Timing{3000}, cmd::PowerStateQuery));
    const QByteArray answer = wire(reply::powerState(kStateOn));
    emit b.link.received(answer.left(6));
    // The same link opened again (a new connection): the half frame is gone.
    emit b.link.opened(true, QString());
    emit b.link.received(answer.mid(6));
    QVERIFY(b.events.isEmpty());
    // Another link: what was under way on the first is abandoned.
    std::vector<Bytes> other;
    CaptureLink second(other);
    emit b.link.received(answer.left(6));
    b.session.setLink(&second);
    QCOMPARE(b.events, QStringList{"power ended"});
    b.start("again", command(build::powerStateQuery(), Timing{3000}, cmd::PowerStateQuery));
    QCOMPARE(other.size(), std::size_t(1));
    emit second.received(answer.mid(6));
    emit b.link.received(answer);  // the link no longer current is not heard
    QCOMPARE(b.events, QStringList{"power ended"});
    emit second.received(answer);
    QCOMPARE(b.events, QStringList({"power ended", "again answered"}));
    // Lost or closed, the link takes what was under way with it.
    b.start("lost", command(build::powerStateQuery(), Timing{3000}, cmd::PowerStateQuery));
    b.start("queued", command(build::beepStateQuery(), Timing{3000}, cmd::BeepStateQuery));
    emit second.lost(QString());
    QCOMPARE(b.events.mid(2), QStringList({"lost ended", "queued ended"}));
    b.start("closed", command(build::powerStateQuery(), Timing{3000}, cmd::PowerStateQuery));
    emit second.closed();
    QCOMPARE(b.events.last(), QStringLiteral("closed ended"));
    QVERIFY(b.session.idle());
    QCOMPARE(b.clock.runningCount(), 0);
}

QTEST_GUILESS_MAIN(TestSession)
void TestSession::halfReplyThenSilenceCostsNothingMore()
{
    // Half an answer, then nothing until the resend: the resend's answer is
    // taken whole, not eaten by the half frame before it.
    Bench b;
    b.start("power", command(build::powerStateQuery(), Timing{3000, 3000, 1}, cmd::PowerStateQuery));
    const QByteArray answer = wire(reply::powerState(kStateOn));
    b.reply(reply::powerState(kStateOn));
    b.start("beep", command(build::beepStateQuery(), Timing{3000, 3000, 1}, cmd::BeepStateQuery));
    emit b.link.received(answer.left(7));  // a stray half frame, then the line goes quiet
    b.clock.advance(3000);
    QCOMPARE(b.written.size(), std::size_t(3));  // the beep query resent
    b.reply(reply::beepState(false));
    QCOMPARE(b.events, QStringList({"power answered", "beep answered"}));
    QCOMPARE(b.log.received.size(), 2);
    // Within the silence limit the two halves still make one frame.
    b.start("power again", command(build::powerStateQuery(), Timing{3000, 3000, 1}, cmd::PowerStateQuery));
    emit b.link.received(answer.left(7));
    b.clock.advance(100);
    emit b.link.received(answer.mid(7));
    QCOMPARE(b.events.last(), QStringLiteral("power again answered"));
}

#include "test_session.moc"
