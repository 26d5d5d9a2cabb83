// How the window runs the operator's operations and shows their ends: the
// check before one starts, "Time out!" and the hold kept until the box is
// closed, boxes whose loops keep the line going, and the Send and Receive
// logs that echo the traffic. On the manual clock, the switch played by the test.
#include <QtTest>

#include <QPlainTextEdit>

#include "app/controlids.h"
#include "ops/limits.h"
#include "ops/power.h"
#include "protocol/commands.h"
#include "protocol/replies.h"
#include "support/panelfixture.h"

using namespace talvane;

namespace {

QString logText(PanelFixture& p, int id) { return p.logText(id); }

std::vector<std::uint8_t> bytes(const CommandFrame& f) { return {f.bytes.begin(), f.bytes.end()}; }

// An exchange with the answer `id`, on the window's session.
void exchange(PanelFixture& p, std::vector<std::uint8_t> b, CommandId id = cmd::PowerStateQuery, Timing t = limits::Quiet)
{
    p.window->session().start(Request{std::move(b), [id](const CommandFrame& f) { return commandIdOf(f) == id; }, t}, {},
                              {});
}

}  // namespace

class TestPresenter : public QObject {
    Q_OBJECT
private slots:
    void acquireRefusesWithTheLinkClosed_data();
    void acquireRefusesWithTheLinkClosed();
    void secondAcquireWhileHeldIsSilent();
    void timeOutReleasesOnceTheBoxIsClosed();
    void secondTimeOutWhileTheBoxIsOpenReleasesAtOnce();
    void boxStaysOpenWhileTheLineGoesOn();
    void sendLogLinesAndDataFrame();
    void logsEmptyAfterEverySixtiethFrame();
    void receiveLogShowsFramesWithABadChecksum();
};

void TestPresenter::acquireRefusesWithTheLinkClosed_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("text");
    QTest::newRow("COM mode") << int(LinkMode::Com) << text::OpenComFailed;
    QTest::newRow("TCP mode") << int(LinkMode::Tcp) << text::ConnectFailed;
}

void TestPresenter::acquireRefusesWithTheLinkClosed()
{
    QFETCH(int, mode);
    QFETCH(QString, text);
    PanelFixture p(false);
    p.window->setLinkMode(LinkMode(mode));
    QVERIFY(!p.window->presenter().acquire());
    QCOMPARE(p.messageTexts(), QStringList{text});
    QVERIFY(p.window->ready());
    QVERIFY(p.sent.empty());
}

void TestPresenter::secondAcquireWhileHeldIsSilent()
{
    PanelFixture p;
    {
        Hold held = p.window->presenter().acquire();
        QVERIFY(held);
        QVERIFY(!p.window->ready());
        QVERIFY(!p.window->presenter().acquire());
        QVERIFY(p.modal->records().isEmpty());
        Hold moved = std::move(held);
        QVERIFY(!held && moved);
        QVERIFY(!p.window->ready());
    }  // the hold's last owner let it go
    QVERIFY(p.window->ready());
    QVERIFY(p.window->presenter().acquire());
}

void TestPresenter::timeOutReleasesOnceTheBoxIsClosed()
{
    PanelFixture p;
    Hold hold = p.window->presenter().acquire();
    QVERIFY(hold);
    bool readyWhileOpen = true;
    p.modal->queue([&](QDialog& box) {
        readyWhileOpen = p.window->ready();
        box.done(Popups::Ok);
    });
    Outcome ended = Outcome::Done;
    p.window->presenter().run(std::move(hold), new Reboot(p.window->session()), [&](Outcome o, Hold held) {
        ended = o;
        p.window->presenter().timeOut(std::move(held));
    });
    p.clock.advance(limits::Command.firstMs + limits::Command.retryMs);
    QCOMPARE(ended, Outcome::TimedOut);
    QCOMPARE(p.messageTexts(), QStringList{text::TimeOut});
    QVERIFY(!readyWhileOpen);  // released only after the box has been closed
    QVERIFY(p.window->ready());
    QCOMPARE(p.sentHex(), QStringList(2, "A5 5B 08 0D 00 00 00 00 00 00 00 00 EB"));
}

void TestPresenter::secondTimeOutWhileTheBoxIsOpenReleasesAtOnce()
{
    PanelFixture p;
    bool heldWhileOpen = false;
    bool readyAfterSecond = false;
    p.modal->queue([&](QDialog& box) {
        heldWhileOpen = !p.window->presenter().acquire();
        // Another operation of the operator's times out while "Time out!" is up.
        p.window->runner().forceRelease();
        Hold second = p.window->presenter().acquire();
        QVERIFY(second);
        p.window->presenter().timeOut(std::move(second));  // no second box: released at once
        readyAfterSecond = p.window->ready();
        // The first hold no longer holds: ending it later frees nothing of another's.
        QVERIFY(p.window->presenter().acquire());
        QVERIFY(p.window->ready());
        box.done(Popups::Ok);
    });
    p.window->presenter().timeOut(p.window->presenter().acquire());
    QCOMPARE(p.modal->count(ScriptedModal::Kind::Message), 1);
    QVERIFY(heldWhileOpen);
    QVERIFY(readyAfterSecond);
    QVERIFY(p.window->ready());
}

void TestPresenter::boxStaysOpenWhileTheLineGoesOn()
{
    // A box runs its own loop: a resend goes out and an answer comes in while it is up.
    PanelFixture p;
    int answered = 0;
    p.window->session().start(
        Request{bytes(build::reboot()), [](const CommandFrame& f) { return commandIdOf(f) == cmd::Reboot; }, limits::Command},
        [&](const CommandFrame&) { ++answered; }, {});
    std::size_t sentWhileOpen = 0;
    p.modal->queue([&](QDialog& box) {
        p.clock.advance(limits::Command.firstMs);
        sentWhileOpen = p.sent.size();
        p.receive(reply::ack(cmd::Reboot));
        box.done(Popups::Ok);
    });
    Popups::instance().showMessage(text::TimeOut);
    QCOMPARE(sentWhileOpen, std::size_t(2));
    QCOMPARE(answered, 1);
}

void TestPresenter::sendLogLinesAndDataFrame()
{
    PanelFixture p;
    // A 13-byte frame is one line.
    exchange(p, bytes(build::powerStateQuery()));
    QCOMPARE(logText(p, ctl::SendLog), QStringLiteral("A5 5B 08 0C 00 00 00 00 00 00 00 00 EC \n"));
    p.receive(reply::powerState(kStateOn));

    // The 256-byte raw block goes out as it is: no checksum written into it.
    exchange(p, std::vector<std::uint8_t>(kRawEdidBlockSize, 0x11));
    QCOMPARE(p.sent.back().size(), kRawEdidBlockSize);
    QCOMPARE(int(p.sent.back().back()), 0x11);
    p.window->session().abandon();

    p.window->logView().clear();
    // With the line counter at 0, a DataFrame is 79 full lines, its last 2
    // bytes, then two breaks; its checksum is written.
    DataFrame block;
    exchange(p, std::vector<std::uint8_t>(block.bytes.begin(), block.bytes.end()));
    const QStringList lines = logText(p, ctl::SendLog).split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 79 + 1 + 2);
    for (int i = 0; i < 79; ++i)
        QCOMPARE(lines[i].size(), 13 * 3);
    QCOMPARE(lines[79].size(), 2 * 3);
    QVERIFY(lines[80].isEmpty() && lines[81].isEmpty());
    QVERIFY(lines[0].startsWith(QStringLiteral("FE EF 00 00 ")));
    std::copy(p.sent.back().begin(), p.sent.back().end(), block.bytes.begin());
    QVERIFY(block.checksumValid());
    p.window->session().abandon();

    // The counter carries over between frames: a frame after 5 odd bytes wraps.
    p.window->logView().clear();
    const std::uint8_t five[5] = {1, 2, 3, 4, 5};
    p.window->logView().frameSent(five, 5);
    exchange(p, bytes(build::powerStateQuery()));
    QCOMPARE(logText(p, ctl::SendLog), QStringLiteral("01 02 03 04 05 A5 5B 08 0C 00 00 00 00 \n00 00 00 00 EC "));
}

void TestPresenter::logsEmptyAfterEverySixtiethFrame()
{
    PanelFixture p;
    auto round = [&] {
        exchange(p, bytes(build::powerStateQuery()));
        p.receive(reply::powerState(kStateOn));
    };
    for (int i = 0; i < 59; ++i)
        round();
    QCOMPARE(logText(p, ctl::SendLog).count(QLatin1Char('\n')), 59);
    QCOMPARE(logText(p, ctl::ReceiveLog).count(QLatin1Char('\n')), 59);
    round();
    QVERIFY(logText(p, ctl::SendLog).isEmpty());
    QVERIFY(logText(p, ctl::ReceiveLog).isEmpty());
    exchange(p, bytes(build::powerStateQuery()));
    QCOMPARE(logText(p, ctl::SendLog).count(QLatin1Char('\n')), 1);
}

void TestPresenter::receiveLogShowsFramesWithABadChecksum()
{
    PanelFixture p;
    CommandFrame bad = reply::ack(cmd::Reboot);
    bad.seal();
    bad[pos::Checksum] ^= 0x01;
    p.receive(bad, false);
    QCOMPARE(logText(p, ctl::ReceiveLog), QStringLiteral("A5 5B 08 0D 00 00 00 00 00 00 00 00 EA \n"));
    QVERIFY(p.sent.empty());
}

QTEST_MAIN(TestPresenter)
#include "test_presenter.moc"
