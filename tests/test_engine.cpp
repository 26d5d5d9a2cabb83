// The request engine inside the main window: one command at a time, the send
// routine and its logs, the reply dispatcher, and the timer table's resend and
// timeout rules, all on the manual clock.
#include <QtTest>

#include <QPlainTextEdit>

#include "app/controlids.h"
#include "protocol/commands.h"
#include "protocol/replies.h"
#include "support/panelfixture.h"

using namespace talvane;

namespace {

struct CountingHandler : ReplyHandler {
    QStringList frames;
    void handleReply(const CommandFrame& f) override { frames << QString::fromStdString(toHex(f.bytes)); }
};

QString logText(PanelFixture& p, int id) { return p.window->controlAs<QPlainTextEdit>(id)->toPlainText(); }

}  // namespace

class TestEngine : public QObject {
    Q_OBJECT
private slots:
    void acquireRefusesWithTheLinkClosed_data();
    void acquireRefusesWithTheLinkClosed();
    void secondAcquireWhileOutstandingIsSilent();
    void unansweredCommandIsResentOnceThenTimesOut_data();
    void unansweredCommandIsResentOnceThenTimesOut();
    void answerStopsThePair();
    void secondTimeOutWhileBoxOpenSetsReadyAtOnce();
    void badChecksumReachesOnlyTheReceiveLog();
    void replyGoesToTheCurrentPageOnly();
    void sendLogLinesAndDataFrame();
    void logsEmptyAfterEverySixtiethFrame();
    void sendMessageIsPosted();
    void sendMessageActionCodes_data();
    void sendMessageActionCodes();
    void stopPageEntryTimerWhenNotArmedHasNoEffect();
    void resultTimers_data();
    void resultTimers();
    void powerOnCloseQueriesTheBeeper();
    void boxStaysOpenWhileTimersAndRepliesRun();
};

void TestEngine::acquireRefusesWithTheLinkClosed_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("text");
    QTest::newRow("COM mode") << int(LinkMode::Com) << text::OpenComFailed;
    QTest::newRow("TCP mode") << int(LinkMode::Tcp) << text::ConnectFailed;
}

void TestEngine::acquireRefusesWithTheLinkClosed()
{
    QFETCH(int, mode);
    QFETCH(QString, text);
    PanelFixture p(false);
    p.engine().setLinkMode(LinkMode(mode));
    QVERIFY(!p.engine().acquire());
    QCOMPARE(p.messageTexts(), QStringList{text});
    QVERIFY(p.engine().isReady());
    QVERIFY(p.sent.empty());
}

void TestEngine::secondAcquireWhileOutstandingIsSilent()
{
    PanelFixture p;
    QVERIFY(p.engine().acquire());
    QCOMPARE(p.engine().ready(), 0);
    QVERIFY(!p.engine().acquire());
    QVERIFY(p.modal->records().isEmpty());
}

void TestEngine::unansweredCommandIsResentOnceThenTimesOut_data()
{
    QTest::addColumn<int>("timer");
    QTest::addColumn<int>("firstTimeout");
    QTest::addColumn<int>("secondTimeout");
    QTest::newRow("status chain 2000") << 2000 << 3000 << 3000;
    QTest::newRow("status output G 2114") << 2114 << 3000 << 3000;
    QTest::newRow("extended reset 5024") << 5024 << 3000 << 3000;
    QTest::newRow("factory reset 7043") << mtimer::FactoryReset << 5000 << 3000;
    QTest::newRow("reboot 7047") << mtimer::Reboot << 3000 << 3000;
    QTest::newRow("power on 7052") << mtimer::PowerOn << 3000 << 2000;
}

void TestEngine::unansweredCommandIsResentOnceThenTimesOut()
{
    QFETCH(int, timer);
    QFETCH(int, firstTimeout);
    QFETCH(int, secondTimeout);
    PanelFixture p;
    QVERIFY(p.engine().acquire());
    p.engine().sendCommand(build::reboot());
    p.engine().timers().arm(timer, firstTimeout);

    p.clock.advance(firstTimeout - 1);
    QCOMPARE(p.sent.size(), std::size_t(1));
    p.clock.advance(1);
    QCOMPARE(p.sentHex(), QStringList(2, "A5 5B 08 0D 00 00 00 00 00 00 00 00 EB"));
    QVERIFY(p.engine().timers().isArmed(timer + 1));

    int readyWhileOpen = -1;
    p.modal->queue([&](QDialog& box) {
        readyWhileOpen = p.engine().ready();
        box.done(Popups::Ok);
    });
    p.clock.advance(secondTimeout - 1);
    QVERIFY(p.modal->records().isEmpty());
    p.clock.advance(1);
    QCOMPARE(p.messageTexts(), QStringList{text::TimeOut});
    QCOMPARE(readyWhileOpen, 0);  // ready only after the box has been closed
    QVERIFY(p.engine().isReady());
    QCOMPARE(p.sent.size(), std::size_t(2));
    QCOMPARE(p.clock.runningCount(), 1);  // only the port list refresh is left
}

void TestEngine::answerStopsThePair()
{
    PanelFixture p;
    CountingHandler handler;
    p.engine().setReplyHandler(Page::General, &handler);
    QVERIFY(p.engine().acquire());
    p.engine().sendCommand(build::factoryReset());
    p.engine().timers().arm(mtimer::FactoryReset, mtime::FactoryReset);
    p.clock.advance(mtime::FactoryReset);  // resent, 7044 armed
    p.receive(reply::ack(cmd::FactoryReset));
    QCOMPARE(handler.frames.size(), 1);
    // The handler of the page decides: here the test stops the pair as a page would.
    p.engine().timers().stop(mtimer::FactoryReset + 1);
    p.clock.advance(10000);
    QVERIFY(p.modal->records().isEmpty());
}

void TestEngine::secondTimeOutWhileBoxOpenSetsReadyAtOnce()
{
    PanelFixture p;
    QVERIFY(p.engine().acquire());
    p.engine().sendCommand(build::powerStateQuery());
    p.engine().timers().arm(mtimer::PageEntry, mtime::PageEntry);
    int readyAfterSecond = -1;
    p.modal->queue([&](QDialog& box) {
        // While "Time out!" is up, another pair runs out.
        p.engine().clearReady();
        p.engine().timers().arm(2101, 3000);
        p.clock.advance(3000);
        readyAfterSecond = p.engine().ready();
        box.done(Popups::Ok);
    });
    p.clock.advance(mtime::PageEntry);
    QCOMPARE(p.modal->count(ScriptedModal::Kind::Message), 1);
    QCOMPARE(readyAfterSecond, 1);
    QVERIFY(p.engine().isReady());
}

void TestEngine::badChecksumReachesOnlyTheReceiveLog()
{
    PanelFixture p;
    CountingHandler handler;
    p.engine().setReplyHandler(Page::General, &handler);
    QVERIFY(p.engine().acquire());
    p.engine().sendCommand(build::reboot());
    p.engine().timers().arm(mtimer::Reboot, mtime::Reboot);

    CommandFrame bad = reply::ack(cmd::Reboot);
    bad.seal();
    bad[pos::Checksum] ^= 0x01;
    p.receive(bad, false);
    QCOMPARE(logText(p, ctl::ReceiveLog), QStringLiteral("A5 5B 08 0D 00 00 00 00 00 00 00 00 EA \n"));
    QVERIFY(handler.frames.isEmpty());
    // The retry and the timeout still happen.
    p.clock.advance(mtime::Reboot + mtime::Retry);
    QCOMPARE(p.sent.size(), std::size_t(2));
    QCOMPARE(p.messageTexts(), QStringList{text::TimeOut});
}

void TestEngine::replyGoesToTheCurrentPageOnly()
{
    PanelFixture p;
    CountingHandler general, matrix;
    p.engine().setReplyHandler(Page::General, &general);
    p.engine().setReplyHandler(Page::Matrix, &matrix);
    p.receive(reply::routeSetAck(2));
    p.engine().setCurrentPage(Page::Matrix);
    p.receive(reply::routeSetAck(3));
    QCOMPARE(general.frames.size(), 1);
    QCOMPARE(matrix.frames.size(), 1);
    p.engine().setCurrentPage(Page::Upgrade);  // no handler registered: dropped
    p.receive(reply::routeSetAck(4));
    QCOMPARE(general.frames.size() + matrix.frames.size(), 2);
    QCOMPARE(logText(p, ctl::ReceiveLog).count(QLatin1Char('\n')), 3);
}

void TestEngine::sendLogLinesAndDataFrame()
{
    PanelFixture p;
    // A 13-byte frame is one line.
    p.engine().sendCommand(build::powerStateQuery());
    QCOMPARE(logText(p, ctl::SendLog), QStringLiteral("A5 5B 08 0C 00 00 00 00 00 00 00 00 EC \n"));

    // A 256-byte raw block carries the line count over and ends with two breaks.
    p.engine().edidBuffer().fill(0x11);
    p.engine().onSendMessage(action::SendRawEdid);
    QCOMPARE(p.sent.back().size(), std::size_t(256));
    QCOMPARE(int(p.sent.back().back()), 0x11);  // no checksum written into a raw block

    p.window->logView().clear();
    // With the counter at 0, a DataFrame is 79 full lines, its last 2 bytes, then two breaks.
    p.engine().onSendMessage(action::SendDataFrame);
    const QStringList lines = logText(p, ctl::SendLog).split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 79 + 1 + 2);
    for (int i = 0; i < 79; ++i)
        QCOMPARE(lines[i].size(), 13 * 3);
    QCOMPARE(lines[79].size(), 2 * 3);
    QVERIFY(lines[80].isEmpty() && lines[81].isEmpty());
    QVERIFY(lines[0].startsWith(QStringLiteral("FE EF 00 00 ")));
    QVERIFY(p.engine().dataFrame().checksumValid());

    // The counter carries over between calls: a frame after 5 odd bytes wraps.
    p.window->logView().clear();
    std::uint8_t five[5] = {1, 2, 3, 4, 5};
    p.engine().send(five, 5);
    p.engine().sendCommand(build::powerStateQuery());
    QCOMPARE(logText(p, ctl::SendLog),
             QStringLiteral("01 02 03 04 05 A5 5B 08 0C 00 00 00 00 \n00 00 00 00 EC "));
}

void TestEngine::logsEmptyAfterEverySixtiethFrame()
{
    PanelFixture p;
    CountingHandler handler;
    p.engine().setReplyHandler(Page::General, &handler);
    for (int i = 0; i < 59; ++i) {
        p.engine().sendCommand(build::powerStateQuery());
        p.receive(reply::powerState(kStateOn));
    }
    QCOMPARE(logText(p, ctl::SendLog).count(QLatin1Char('\n')), 59);
    QCOMPARE(logText(p, ctl::ReceiveLog).count(QLatin1Char('\n')), 59);
    p.engine().sendCommand(build::powerStateQuery());
    p.receive(reply::powerState(kStateOn));
    QVERIFY(logText(p, ctl::SendLog).isEmpty());
    QVERIFY(logText(p, ctl::ReceiveLog).isEmpty());
    p.engine().sendCommand(build::powerStateQuery());
    QCOMPARE(logText(p, ctl::SendLog).count(QLatin1Char('\n')), 1);
}

void TestEngine::sendMessageIsPosted()
{
    PanelFixture p;
    p.engine().loadCommand(build::routeSet(4, 2));
    p.engine().postSend(action::SendMatrix);
    QVERIFY(p.sent.empty());  // handled only after the poster returns
    PanelFixture::deliverPosted();
    QCOMPARE(p.sentHex(), QStringList{"A5 5B 02 03 04 00 02 00 00 00 00 00 F5"});
}

void TestEngine::sendMessageActionCodes_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("length");
    QTest::newRow("EDID page") << action::SendEdidPage << 13;
    QTest::newRow("raw EDID block") << action::SendRawEdid << 256;
    QTest::newRow("routing page") << action::SendMatrix << 13;
    QTest::newRow("upgrade page") << action::SendUpgrade << 13;
    QTest::newRow("data frame") << action::SendDataFrame << 1029;
    QTest::newRow("stop page-entry timer") << action::StopPageEntryTimer << 0;
    QTest::newRow("unknown code") << 7 << 0;
}

void TestEngine::sendMessageActionCodes()
{
    QFETCH(int, code);
    QFETCH(int, length);
    PanelFixture p;
    QCOMPARE(p.engine().onSendMessage(code), qintptr(1));
    if (length == 0) {
        QVERIFY(p.sent.empty());
    } else {
        QCOMPARE(int(p.sent.at(0).size()), length);
    }
}

void TestEngine::stopPageEntryTimerWhenNotArmedHasNoEffect()
{
    PanelFixture p;
    p.engine().timers().arm(mtimer::Reboot, mtime::Reboot);
    p.engine().postSend(action::StopPageEntryTimer);
    PanelFixture::deliverPosted();
    QVERIFY(!p.engine().timers().isArmed(mtimer::PageEntry));
    QVERIFY(p.engine().timers().isArmed(mtimer::Reboot));

    p.engine().timers().arm(mtimer::PageEntry, mtime::PageEntry);
    p.engine().postSend(action::StopPageEntryTimer);
    PanelFixture::deliverPosted();
    QVERIFY(!p.engine().timers().isArmed(mtimer::PageEntry));
}

void TestEngine::resultTimers_data()
{
    QTest::addColumn<int>("timer");
    QTest::addColumn<QString>("result");
    QTest::addColumn<int>("closeAfter");
    QTest::newRow("factory reset") << mtimer::FactoryResetResult << text::SetSuccessfully << mtime::FactoryResetClose;
    QTest::newRow("reboot") << mtimer::RebootResult << text::RebootSuccessfully << mtime::RebootClose;
    QTest::newRow("power on") << mtimer::PowerOnResult << text::InitializingSuccessfully << mtime::PowerOnClose;
    QTest::newRow("extended reset") << mtimer::ExtResetResult << text::SetSuccessfully << mtime::ExtResetClose;
}

void TestEngine::resultTimers()
{
    QFETCH(int, timer);
    QFETCH(QString, result);
    QFETCH(int, closeAfter);
    PanelFixture p;
    p.engine().clearReady();
    qint64 shownAt = -1;
    qint64 closedAt = -1;
    p.modal->queue([&](QDialog& box) {
        p.engine().timers().arm(timer, 100);
        while (Popups::instance().busyShown() && p.clock.nowMs() < 20000) {
            p.clock.advance(10);
            if (shownAt < 0 && Popups::instance().busyText() == result)
                shownAt = p.clock.nowMs();
        }
        closedAt = p.clock.nowMs();
        Q_UNUSED(box);
    });
    Popups::instance().showBusy(text::Setting);
    QCOMPARE(shownAt, qint64(100));
    QCOMPARE(closedAt, qint64(100 + closeAfter));
    QCOMPARE(p.modal->records().last().shownAtClose, result);  // the result stays until closing
    QVERIFY(p.engine().isReady());
}

void TestEngine::powerOnCloseQueriesTheBeeper()
{
    PanelFixture p;
    p.engine().timers().arm(mtimer::PowerOnClose, mtime::PowerOnClose);
    p.clock.advance(mtime::PowerOnClose);
    QCOMPARE(p.sentHex(), QStringList{"A5 5B 01 0B 00 00 00 00 00 00 00 00 F4"});
    QVERIFY(p.engine().isReady());
    QCOMPARE(p.clock.runningCount(), 1);  // the port list refresh; no timer guards the beeper query
}

void TestEngine::boxStaysOpenWhileTimersAndRepliesRun()
{
    PanelFixture p(false);
    CountingHandler handler;
    p.engine().setReplyHandler(Page::General, &handler);
    p.engine().timers().arm(mtimer::Reboot, mtime::Reboot);
    bool sawReply = false;
    std::size_t sentWhileOpen = 0;
    p.modal->queue([&](QDialog& box) {
        p.clock.advance(mtime::Reboot);  // the resend goes out while the box is up
        sentWhileOpen = p.sent.size();
        p.receive(reply::ack(cmd::Reboot));
        sawReply = !handler.frames.isEmpty();
        box.done(Popups::Ok);
    });
    QVERIFY(!p.engine().acquire());  // "Open COM failed!" stays up meanwhile
    QCOMPARE(sentWhileOpen, std::size_t(1));
    QVERIFY(sawReply);
}

QTEST_MAIN(TestEngine)
#include "test_engine.moc"
