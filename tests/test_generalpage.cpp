// The General page: the port status, power, beeper, reset and reboot, the COM
// port list and the connection, driven on the manual clock with the switch
// played by the test.
#include <QtTest>

#include <optional>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QAccessible>

#include "app/controlids.h"
#include "app/generalpage.h"
#include "protocol/commands.h"
#include "protocol/replies.h"
#include "support/panelfixture.h"

Q_DECLARE_METATYPE(talvane::CommandFrame)

using namespace talvane;

namespace {

QString hex(CommandFrame f) { return QString::fromStdString(toHex(f.seal().bytes)); }

QString label(PanelFixture& p, int id) { return p.window->controlAs<QLabel>(id)->text(); }
QCheckBox* box(PanelFixture& p, int id) { return p.window->controlAs<QCheckBox>(id); }
void click(PanelFixture& p, int id) { p.window->controlAs<QAbstractButton>(id)->click(); }
// A check box's action runs once its click has returned.
void clickBox(PanelFixture& p, int id)
{
    box(p, id)->click();
    p.deliverPosted();
}

// A busy-popup answer that plays the switch: each frame the panel writes is
// answered by `respond` (which may return nothing), and the clock runs until
// the popup closes.
struct SwitchScript {
    PanelFixture& p;
    std::function<std::vector<CommandFrame>(const CommandFrame&)> respond;
    std::size_t answered = 0;

    void pump()
    {
        while (answered < p.sent.size()) {
            const auto& w = p.sent[answered++];
            if (w.size() != kCommandFrameSize)
                continue;
            for (const CommandFrame& r : respond(CommandFrame::fromBytes(w.data())))
                p.receive(r);
        }
    }
    ScriptedModal::Answer busyAnswer()
    {
        return [this](QDialog&) {
            for (int i = 0; i < 2000 && Popups::instance().busyShown(); ++i) {
                pump();
                p.clock.advance(10);
            }
            pump();
        };
    }
};

void setPorts(PanelFixture& p, const QStringList& friendlyNames)
{
    p.window->generalPage().setEnumerator([friendlyNames](std::vector<SerialPortRecord>& out, QString&) {
        out.clear();
        for (const QString& n : friendlyNames) {
            SerialPortRecord r;
            r.friendlyName = n;
            r.devicePath = QStringLiteral("/dev/fake-") + n;
            out.push_back(r);
        }
        return true;
    });
    p.window->generalPage().refreshPortList();
}

QStringList entries(PanelFixture& p)
{
    QStringList out;
    auto* list = p.window->controlAs<QComboBox>(ctl::PortList);
    for (int i = 0; i < list->count(); ++i)
        out << list->itemText(i);
    return out;
}

}  // namespace

class TestGeneralPage : public QObject {
    Q_OBJECT
private slots:
    void fullStatusRun();
    void statusReplyForInput3();
    void lostStatusQueryTimesOutKeepingEarlierLabels();
    void strayRepliesChangeNothing_data();
    void strayRepliesChangeNothing();
    void powerStateReplies_data();
    void powerStateReplies();
    void powerOnReplyStopsItsTimers();
    void powerOnResendsOnceThenTimesOutAfterTwoSeconds();
    void powerOnIsRedrawnWhileItsPopupIsOpen();
    void powerOffAsksFirst_data();
    void powerOffAsksFirst();
    void beeperFollowsOnlyReplies();
    void beepReplies_data();
    void beepReplies();
    void checkBoxToggleActionRunsTheSameAction();
    void rebootShowsResultThenCloses();
    void factoryResetChecksBeepAndShowsResult();
    void extendedFactoryResetChain();
    void extendedFactoryResetCancelled();
    void logClearEndsAStuckExchange();
    void disconnectLeavesStaleValuesUntilRepliesRefreshThem();

    void portNumberParsing_data();
    void portNumberParsing();
    void portListSortedWithFirstSelected();
    void selectedPortSurvivesChanges();
    void portListTooltipsNameTheDevice();
    void portListKeepsItsEntriesOnEnumerationError();
    void portListTooltipSaysWhyPortsAreHidden();
    void connectWithEmptyListFails();
};

void TestGeneralPage::fullStatusRun()
{
    PanelFixture p;
    // Inputs 2 and 7 and output C have nothing attached.
    SwitchScript sw{p, [](const CommandFrame& f) -> std::vector<CommandFrame> {
                        const CommandId id = commandIdOf(f);
                        const int port = f[pos::P1];
                        const bool connected = id == cmd::InputStatusQuery ? (port != 2 && port != 7) : port != 3;
                        return {reply::portStatus(id, port, connected)};
                    }};
    p.modal->queue(sw.busyAnswer());
    for (int i = 0; i < 16; ++i)
        p.window->controlAs<QLabel>(ctl::StatusInput1 + i)->setText(QStringLiteral("old"));
    click(p, ctl::Status);

    QStringList expected;
    for (int n = 1; n <= 8; ++n)
        expected << GeneralPage::inputStatusText(n, n != 2 && n != 7);
    for (int n = 1; n <= 8; ++n)
        expected << GeneralPage::outputStatusText(n, n != 3);
    QStringList got;
    for (int i = 0; i < 16; ++i)
        got << label(p, ctl::StatusInput1 + i);
    QCOMPARE(got, expected);
    QCOMPARE(label(p, 1028), QStringLiteral("HDMI IN3: Connect"));
    QCOMPARE(label(p, 1036), QStringLiteral("HDMI OUTC: Disconnect"));
    QCOMPARE(label(p, 1041), QStringLiteral("HDMI OUTH: Connect"));
    // Screen readers read the status through the label's name.
    QCOMPARE(p.window->control(1036)->accessibleName(), QStringLiteral("HDMI OUTC: Disconnect"));
    QCOMPARE(p.sent.size(), std::size_t(16));
    QCOMPARE(p.sentHex().at(1), QStringLiteral("A5 5B 01 05 01 00 00 00 00 00 00 00 F9"));
    QVERIFY(!Popups::instance().busyShown());
    QVERIFY(!p.modal->records().first().forced);  // the last answer closed it, not the test driver
    QCOMPARE(p.modal->records().first().textAtOpen, text::GettingStatus);
    QVERIFY(p.window->ready());
    QCOMPARE(p.clock.runningCount(), 1);  // only the port list refresh
}

void TestGeneralPage::strayRepliesChangeNothing_data()
{
    QTest::addColumn<CommandFrame>("stray");
    // A route acknowledgement once took the extended factory reset's next
    // step: it routed outputs B to H to input 1 and set every EDID.
    QTest::newRow("route acknowledgement for output A") << reply::routeSetAck(1);
    QTest::newRow("ARC off acknowledgement for output 2") << reply::arcSetAck(2, false);
    QTest::newRow("ARC answer for output 4") << reply::arcQuery(4, true);
    QTest::newRow("EDID preset for all, as the reset's") << reply::edidResult(build::edidFactoryPreset(), true);
    QTest::newRow("the reset's beeper marker") << reply::beepSetAck(true, true);
    QTest::newRow("a late status answer for output F") << reply::portStatus(cmd::OutputStatusQuery, 6, false);
    QTest::newRow("power on") << reply::powerSetAck(true);
}

void TestGeneralPage::strayRepliesChangeNothing()
{
    // Each while the status run waits for output H, and again with nothing
    // outstanding: nothing is sent, shown or ended by it.
    QFETCH(CommandFrame, stray);
    PanelFixture p;
    SwitchScript sw{p, [](const CommandFrame& f) -> std::vector<CommandFrame> {
                        const CommandId id = commandIdOf(f);
                        const int port = f[pos::P1];
                        if (id == cmd::OutputStatusQuery && port == kPortCount)
                            return {};  // output H goes unanswered
                        return {reply::portStatus(id, port, true)};
                    }};
    QStringList labels;
    p.modal->queue([&](QDialog&) {
        sw.pump();
        QCOMPARE(p.lastSent(), hex(build::outputStatusQuery(kPortCount)));
        for (int i = 0; i < ctl::StatusLabelCount; ++i)
            labels << label(p, ctl::StatusInput1 + i);
        p.clock.advance(1000);
        p.receive(stray);
        QVERIFY(Popups::instance().busyShown());
        p.clock.advance(2000);  // output H's query is sent once more
        p.clock.advance(3000);  // and then times out
    });
    click(p, ctl::Status);
    QCOMPARE(p.messageTexts(), QStringList{text::TimeOut});
    QCOMPARE(p.sentHex().count(hex(build::outputStatusQuery(kPortCount))), 2);
    QCOMPARE(p.sent.size(), std::size_t(17));
    for (int i = 0; i < ctl::StatusLabelCount; ++i)
        QCOMPARE(label(p, ctl::StatusInput1 + i), labels[i]);
    QVERIFY(p.window->ready());

    const bool powerBefore = box(p, ctl::PowerOn)->isChecked();
    const bool beepBefore = box(p, ctl::EnableBeep)->isChecked();
    p.sent.clear();
    p.receive(stray);
    p.clock.advance(20000);
    QVERIFY(p.sent.empty());
    QCOMPARE(p.messageTexts().size(), 1);
    QCOMPARE(box(p, ctl::PowerOn)->isChecked(), powerBefore);
    QCOMPARE(box(p, ctl::EnableBeep)->isChecked(), beepBefore);
    QVERIFY(p.window->ready());
    QCOMPARE(int(p.window->session().counters().unsolicited), 2);
}

void TestGeneralPage::statusReplyForInput3()
{
    // A reply for input 3 with position 6 = 1 shows it disconnected and the
    // run goes on with output C.
    PanelFixture p;
    p.modal->queue([&](QDialog&) {
        for (int port = 1; port <= 2; ++port) {
            p.receive(reply::portStatus(cmd::InputStatusQuery, port, true));
            p.receive(reply::portStatus(cmd::OutputStatusQuery, port, true));
        }
        p.receive(reply::portStatus(cmd::InputStatusQuery, 3, false));
        Popups::instance().closeBusy();
    });
    click(p, ctl::Status);
    QCOMPARE(label(p, 1028), QStringLiteral("HDMI IN3: Disconnect"));
    QCOMPARE(p.lastSent(), hex(build::outputStatusQuery(3)));
    QVERIFY(!p.window->ready());
}

void TestGeneralPage::lostStatusQueryTimesOutKeepingEarlierLabels()
{
    PanelFixture p;
    // The switch answers everything up to output B, then input 3 goes unanswered.
    SwitchScript sw{p, [](const CommandFrame& f) -> std::vector<CommandFrame> {
                        if (commandIdOf(f) == cmd::InputStatusQuery && f[pos::P1] == 3)
                            return {};
                        return {reply::portStatus(commandIdOf(f), f[pos::P1], true)};
                    }};
    p.modal->queue(sw.busyAnswer());
    click(p, ctl::Status);
    QCOMPARE(label(p, 1027), QStringLiteral("HDMI IN2: Connect"));
    QCOMPARE(label(p, 1035), QStringLiteral("HDMI OUTB: Connect"));
    QVERIFY(label(p, 1028).isEmpty());
    QVERIFY(label(p, 1041).isEmpty());
    QCOMPARE(p.window->control(1028)->accessibleName(), QStringLiteral("HDMI IN3 status"));
    QCOMPARE(p.window->control(1041)->accessibleName(), QStringLiteral("HDMI OUTH status"));
    const QStringList sent = p.sentHex();
    QCOMPARE(sent.count(hex(build::inputStatusQuery(3))), 2);  // sent twice
    QCOMPARE(sent.size(), 4 + 2);
    QCOMPARE(p.messageTexts(), QStringList{text::TimeOut});
    QVERIFY(p.window->ready());
}



void TestGeneralPage::powerStateReplies_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("checked");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QStringList>("sent");  // after the power query
    QTest::newRow("on") << int(kStateOn) << true << QStringList{} << QStringList{hex(build::beepStateQuery())};
    QTest::newRow("off") << int(kStateOff) << false << QStringList{text::PowerOff} << QStringList{};
    // A state that is neither: no answer; the entry query times out.
    QTest::newRow("unknown") << 0x33 << true << QStringList{text::TimeOut} << QStringList{};
}

void TestGeneralPage::powerStateReplies()
{
    // Entering the General page asks for the power state.
    QFETCH(int, state);
    QFETCH(bool, checked);
    QFETCH(QStringList, messages);
    QFETCH(QStringList, sent);
    PanelFixture p;
    {
        QSignalBlocker b(box(p, ctl::PowerOn));
        box(p, ctl::PowerOn)->setChecked(true);
    }
    p.window->generalPage().enter(p.window->presenter().acquire());
    QCOMPARE(p.sentHex(), QStringList{hex(build::powerStateQuery())});
    p.sent.clear();
    p.receive(reply::powerState(std::uint8_t(state)));
    p.clock.advance(7000);
    QCOMPARE(box(p, ctl::PowerOn)->isChecked(), checked);
    QCOMPARE(p.messageTexts(), messages);
    QCOMPARE(p.sentHex(), sent);
    QVERIFY(p.window->ready());
    if (state == kStateOn) {
        // The beeper's state follows the reply to the beeper query.
        {
            QSignalBlocker b(box(p, ctl::EnableBeep));
            box(p, ctl::EnableBeep)->setChecked(false);
        }
        p.window->generalPage().enter(p.window->presenter().acquire());
        p.receive(reply::powerState(kStateOn));
        p.receive(reply::beepState(true));
        QVERIFY(box(p, ctl::EnableBeep)->isChecked());
    }
}

void TestGeneralPage::powerOnReplyStopsItsTimers()
{
    PanelFixture p;
    SwitchScript sw{p, [](const CommandFrame& f) -> std::vector<CommandFrame> {
                        if (commandIdOf(f) == cmd::PowerSet)
                            return {reply::powerSetAck(true)};
                        return {};
                    }};
    QString shown;
    p.modal->queue([&](QDialog& d) {
        sw.busyAnswer()(d);
        shown = p.modal->records().last().textAtOpen;
    });
    clickBox(p, ctl::PowerOn);
    QVERIFY(box(p, ctl::PowerOn)->isChecked());
    QCOMPARE(p.sentHex().first(), hex(build::powerSet(true)));
    // No resend, no "Time out!"; the result and then the beeper query.
    QCOMPARE(p.sentHex(), QStringList({hex(build::powerSet(true)), hex(build::beepStateQuery())}));
    QVERIFY(p.messageTexts().isEmpty());
    QCOMPARE(p.modal->records().last().shownAtClose, text::InitializingSuccessfully);
    QVERIFY(p.window->ready());
}

void TestGeneralPage::powerOnResendsOnceThenTimesOutAfterTwoSeconds()
{
    PanelFixture p;
    qint64 timeoutAt = -1;
    p.modal->queue([&](QDialog&) {
        p.modal->queue([&](QDialog& m) {
            timeoutAt = p.clock.nowMs();
            m.done(Popups::Ok);
        });
        while (Popups::instance().busyShown() && p.clock.nowMs() < 20000)
            p.clock.advance(100);
    });
    clickBox(p, ctl::PowerOn);
    QCOMPARE(timeoutAt, qint64(3000 + 2000));
    QCOMPARE(p.sentHex(), QStringList(2, hex(build::powerSet(true))));
    QVERIFY(!box(p, ctl::PowerOn)->isChecked());
}

void TestGeneralPage::powerOnIsRedrawnWhileItsPopupIsOpen()
{
    // The operator must see Power On checked beside "Initializing
    // successfully!", not only after the popup has gone.
    PanelFixture p;
    p.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(p.window.get()));
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override
        {
            paints += e->type() == QEvent::Paint;
            return false;
        }
    } counter;
    QCheckBox* power = box(p, ctl::PowerOn);
    power->installEventFilter(&counter);
    bool clickReturned = false;
    bool checkedAndPainted = false;
    p.modal->queue([&](QDialog&) {
        QVERIFY(clickReturned);
        const int before = counter.paints;
        p.receive(reply::powerSetAck(true));
        p.clock.advance(general::PowerOnResultMs);
        QCOMPARE(Popups::instance().busyText(), text::InitializingSuccessfully);
        QCoreApplication::processEvents();
        checkedAndPainted = power->isChecked() && counter.paints > before;
        p.clock.advance(general::PowerOnCloseMs);
    });
    power->click();
    clickReturned = true;
    p.deliverPosted();
    QCOMPARE(p.modal->count(ScriptedModal::Kind::Busy), 1);
    QVERIFY(checkedAndPainted);
}

void TestGeneralPage::powerOffAsksFirst_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<QStringList>("sent");
    QTest::newRow("Ok") << int(Popups::Ok) << QStringList{hex(build::powerSet(false))};
    QTest::newRow("Cancel") << int(Popups::Cancel) << QStringList{};
}

void TestGeneralPage::powerOffAsksFirst()
{
    QFETCH(int, answer);
    QFETCH(QStringList, sent);
    PanelFixture p;
    {
        QSignalBlocker b(box(p, ctl::PowerOn));
        box(p, ctl::PowerOn)->setChecked(true);
    }
    bool question = true;
    p.modal->queue([&](QDialog& d) {
        question = Popups::instance().questionMode();
        d.done(answer);
    });
    clickBox(p, ctl::PowerOn);
    QCOMPARE(p.messageTexts(), QStringList{text::AskPowerOff});
    QVERIFY(!question);  // the information layout, Ok only
    QCOMPARE(p.sentHex(), sent);
    QVERIFY(box(p, ctl::PowerOn)->isChecked());  // only a reply unchecks it
    QVERIFY(p.window->ready());
    p.clock.advance(20000);  // power off is not resent, and its silence shows nothing
    QCOMPARE(p.sentHex(), sent);
    QCOMPARE(p.messageTexts(), QStringList{text::AskPowerOff});

    // Even with "No longer remind" set by the reset question, power off asks.
    Popups::instance().setNoLongerRemind(true);
    p.modal->queue(ScriptedModal::click(1099));
    clickBox(p, ctl::PowerOn);
    QCOMPARE(p.messageTexts().size(), 2);
    Popups::instance().setNoLongerRemind(false);
}

void TestGeneralPage::beeperFollowsOnlyReplies()
{
    PanelFixture p;
    clickBox(p, ctl::EnableBeep);
    QVERIFY(!box(p, ctl::EnableBeep)->isChecked());
    QCOMPARE(p.sentHex(), QStringList{hex(build::beepSet(true))});
    QVERIFY(p.window->ready());  // the operator may go on at once
    p.receive(reply::beepSetAck(true, false));
    QVERIFY(box(p, ctl::EnableBeep)->isChecked());
    clickBox(p, ctl::EnableBeep);
    QVERIFY(box(p, ctl::EnableBeep)->isChecked());
    QCOMPARE(p.lastSent(), hex(build::beepSet(false)));
    // Unanswered: not resent, nothing shown.
    p.clock.advance(20000);
    QCOMPARE(p.sent.size(), std::size_t(2));
    QVERIFY(p.messageTexts().isEmpty());
    QVERIFY(box(p, ctl::EnableBeep)->isChecked());
}

void TestGeneralPage::beepReplies_data()
{
    QTest::addColumn<bool>("set");  // the answer to Enable Beep, else to the beeper query
    QTest::addColumn<CommandFrame>("reply");
    QTest::addColumn<bool>("before");
    QTest::addColumn<bool>("after");
    CommandFrame notZero = reply::beepSetAck(false, false);
    notZero[pos::P1] = 1;
    QTest::newRow("set DD checks") << true << reply::beepSetAck(true, false) << false << true;
    QTest::newRow("set 00 unchecks") << true << reply::beepSetAck(false, false) << true << false;
    QTest::newRow("set with pos 4 not 0 changes nothing") << true << notZero << true << true;
    QTest::newRow("state 0 checks") << false << reply::beepState(true) << false << true;
    QTest::newRow("state 1 unchecks") << false << reply::beepState(false) << true << false;
}

void TestGeneralPage::beepReplies()
{
    QFETCH(bool, set);
    QFETCH(CommandFrame, reply);
    QFETCH(bool, before);
    QFETCH(bool, after);
    PanelFixture p;
    {
        QSignalBlocker b(box(p, ctl::EnableBeep));
        box(p, ctl::EnableBeep)->setChecked(before);
    }
    if (set) {
        clickBox(p, ctl::EnableBeep);
    } else {
        // The greeting of a new link: power, then the beeper.
        p.window->connection().greet();
        p.receive(reply::powerState(kStateOn));
    }
    const std::size_t sent = p.sent.size();
    p.receive(reply);
    QCOMPARE(box(p, ctl::EnableBeep)->isChecked(), after);
    QCOMPARE(p.sent.size(), sent);
}

void TestGeneralPage::checkBoxToggleActionRunsTheSameAction()
{
    PanelFixture p;
    // An accessibility Toggle action toggles without a click.
    box(p, ctl::EnableBeep)->toggle();
    p.deliverPosted();
    QVERIFY(!box(p, ctl::EnableBeep)->isChecked());
    QCOMPARE(p.sentHex(), QStringList{hex(build::beepSet(true))});
}

void TestGeneralPage::rebootShowsResultThenCloses()
{
    PanelFixture p;
    qint64 resultAt = -1, closedAt = -1;
    p.modal->queue([&](QDialog&) {
        p.clock.advance(500);
        p.receive(reply::ack(cmd::Reboot));
        while (Popups::instance().busyShown() && p.clock.nowMs() < 20000) {
            p.clock.advance(10);
            if (resultAt < 0 && Popups::instance().busyText() == text::RebootSuccessfully)
                resultAt = p.clock.nowMs();
        }
        closedAt = p.clock.nowMs();
    });
    click(p, ctl::Reboot);
    QCOMPARE(p.modal->records().first().textAtOpen, text::Rebooting);
    QCOMPARE(resultAt, qint64(500 + 5000));
    QCOMPARE(closedAt, qint64(500 + 5000 + 1000));
    QCOMPARE(p.sentHex(), QStringList{hex(build::reboot())});
    QVERIFY(box(p, ctl::PowerOn)->isChecked());
    QVERIFY(p.window->ready());
}

void TestGeneralPage::factoryResetChecksBeepAndShowsResult()
{
    PanelFixture p;
    SwitchScript sw{p, [](const CommandFrame& f) -> std::vector<CommandFrame> {
                        if (commandIdOf(f) == cmd::FactoryReset)
                            return {reply::ack(cmd::FactoryReset)};
                        return {};
                    }};
    p.modal->queue(sw.busyAnswer());
    click(p, ctl::FactoryReset);
    QVERIFY(box(p, ctl::EnableBeep)->isChecked());
    QCOMPARE(p.modal->records().first().textAtOpen, text::Setting);
    QCOMPARE(p.modal->records().first().shownAtClose, text::SetSuccessfully);
    QCOMPARE(p.sentHex(), QStringList{hex(build::factoryReset())});
    QVERIFY(p.window->ready());
}

void TestGeneralPage::extendedFactoryResetChain()
{
    PanelFixture p;
    SwitchScript sw{p, [](const CommandFrame& f) -> std::vector<CommandFrame> {
                        const CommandId id = commandIdOf(f);
                        if (id == cmd::RouteSet)
                            return {reply::routeSetAck(f[pos::P3])};
                        if (id == cmd::EdidSetAll)
                            return {reply::edidResult(f, true)};
                        if (id == cmd::BeepSet)
                            return {reply::beepSetAck(true, f[pos::P7] == kFactoryResetMarker)};
                        return {};
                    }};
    p.modal->queue(ScriptedModal::click(1058));  // Ok on the question
    std::optional<bool> readyAtResult;
    p.modal->queue([&](QDialog&) {
        for (int i = 0; i < 2000 && Popups::instance().busyShown(); ++i) {
            sw.pump();
            p.clock.advance(10);
            if (Popups::instance().busyText() == text::SetSuccessfully && !readyAtResult)
                readyAtResult = p.window->ready();
        }
    });
    click(p, ctl::ExtFactoryReset);
    // The page is free again as soon as the result shows, and the popup
    // closes by itself.
    QVERIFY(readyAtResult.value_or(false));
    QVERIFY(!p.modal->records().at(1).forced);

    QStringList expected{hex(build::routeSet(3, 1))};
    for (int o = 2; o <= 8; ++o)
        expected << hex(build::routeSet(1, o));
    expected << hex(build::edidFactoryPreset()) << hex(build::beepSetFactoryMarker());
    QCOMPARE(p.sentHex(), expected);
    QCOMPARE(p.modal->records().at(0).textAtOpen, text::AskFactoryReset);
    QVERIFY(p.modal->records().at(0).question);
    QCOMPARE(p.modal->records().at(1).shownAtClose, text::SetSuccessfully);
    QVERIFY(box(p, ctl::EnableBeep)->isChecked());
    QVERIFY(p.window->ready());
    QCOMPARE(p.clock.runningCount(), 1);
}

void TestGeneralPage::extendedFactoryResetCancelled()
{
    PanelFixture p;
    p.modal->queue(ScriptedModal::click(1099));  // Cancel
    click(p, ctl::ExtFactoryReset);
    QVERIFY(p.sent.empty());
    QVERIFY(p.window->ready());
    // With "No longer remind" set the reset starts without a question.
    Popups::instance().setNoLongerRemind(true);
    p.modal->queue([&](QDialog&) { Popups::instance().closeBusy(); });
    click(p, ctl::ExtFactoryReset);
    Popups::instance().setNoLongerRemind(false);
    QCOMPARE(p.sentHex(), QStringList{hex(build::routeSet(3, 1))});
    QCOMPARE(p.modal->count(ScriptedModal::Kind::Message), 1);
    QVERIFY(!p.window->ready());  // under way
    p.clock.advance(3000);
    QCOMPARE(p.sentHex(), QStringList(2, hex(build::routeSet(3, 1))));
}



void TestGeneralPage::logClearEndsAStuckExchange()
{
    PanelFixture p;
    const Hold stuck = p.window->runner().hold();  // held, as by an operation that never ends
    QVERIFY(stuck);
    p.receive(reply::portStatus(cmd::InputStatusQuery, 1, true));  // a stray, logged
    QVERIFY(!p.logText(ctl::ReceiveLog).isEmpty());
    p.receive(reply::portStatus(cmd::InputStatusQuery, 2, true));  // still on its way to the log
    click(p, ctl::ClearLogs);
    QVERIFY(p.window->ready());
    QVERIFY(p.logText(ctl::ReceiveLog).isEmpty());
}

void TestGeneralPage::disconnectLeavesStaleValuesUntilRepliesRefreshThem()
{
    PanelFixture p;
    QCOMPARE(p.window->linkStatus(), QStringLiteral("Not connected"));
    auto* bar = p.window->findChild<QStatusBar*>();
    QVERIFY(bar);
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(bar);
    QVERIFY(a && a->role() == QAccessible::StatusBar);
    QVERIFY(a->text(QAccessible::Name).endsWith(QStringLiteral("Not connected")));

    // What a Status run and the greeting reported.
    p.modal->queue([&](QDialog&) {
        p.receive(reply::portStatus(cmd::InputStatusQuery, 1, true));
        Popups::instance().closeBusy();
    });
    click(p, ctl::Status);
    p.clock.advance(6000);
    p.window->connection().greet();
    p.receive(reply::powerState(kStateOn));
    p.receive(reply::beepState(true));
    click(p, ctl::Connect);  // the link is open: Disconnect
    QCOMPARE(p.window->linkStatus(), QStringLiteral("Not connected"));
    QCOMPARE(label(p, ctl::StatusInput1), QStringLiteral("HDMI IN1: Connect"));  // still shown
    const QColor grey = p.window->palette().color(QPalette::Disabled, QPalette::WindowText);
    for (int id : {ctl::StatusInput1, ctl::StatusOutputA + 7, ctl::PowerOn, ctl::EnableBeep}) {
        QVERIFY(p.window->generalPage().isStale(id));
        QCOMPARE(p.window->control(id)->palette().color(QPalette::Active, QPalette::WindowText), grey);
        QVERIFY(p.window->control(id)->isEnabled());
        QVERIFY(!p.window->control(id)->accessibleDescription().isEmpty());
    }
    // A report refreshes what it reports, and only that: the greeting of
    // the next link refreshes power and beeper, not the status lines.
    p.capture.open = true;
    p.window->connection().greet();
    p.receive(reply::powerState(kStateOn));
    QVERIFY(!p.window->generalPage().isStale(ctl::PowerOn));
    QVERIFY(p.window->generalPage().isStale(ctl::EnableBeep));
    p.receive(reply::beepState(false));
    QVERIFY(!p.window->generalPage().isStale(ctl::EnableBeep));
    QVERIFY(p.window->control(ctl::EnableBeep)->palette().color(QPalette::Active, QPalette::WindowText) != grey);
    QVERIFY(p.window->generalPage().isStale(ctl::StatusInput1));
}

void TestGeneralPage::portNumberParsing_data()
{
    QTest::addColumn<QString>("friendly");
    QTest::addColumn<int>("port");
    QTest::newRow("one digit") << "USB Serial Port (COM7)" << 7;
    QTest::newRow("three digits") << "Communications Port (COM123)" << 123;
    QTest::newRow("four digits give 0") << "Port (COM1234)" << 0;
    QTest::newRow("non-digit counts 0") << "Port (COM1a)" << 10;
    QTest::newRow("above 255 wraps") << "Port (COM300)" << 44;
    QTest::newRow("empty number") << "Port (COM)" << 0;
    QTest::newRow("first (COM wins") << "A (COM5) (COM6)" << 5;
    QTest::newRow("no (COM") << "Port COM5" << -1;
}

void TestGeneralPage::portNumberParsing()
{
    QFETCH(QString, friendly);
    QFETCH(int, port);
    QCOMPARE(portNumberInFriendlyName(friendly), port);
}

void TestGeneralPage::portListSortedWithFirstSelected()
{
    PanelFixture p(false);
    setPorts(p, {"A (COM3)", "B (COM1)", "C (COM12)"});
    QCOMPARE(entries(p), QStringList({"COM1", "COM3", "COM12"}));
    QCOMPARE(p.window->controlAs<QComboBox>(ctl::PortList)->currentText(), QStringLiteral("COM1"));
}

void TestGeneralPage::selectedPortSurvivesChanges()
{
    PanelFixture p(false);
    auto* list = p.window->controlAs<QComboBox>(ctl::PortList);
    setPorts(p, {"A (COM3)", "B (COM1)", "C (COM12)"});
    list->setCurrentIndex(1);  // COM3
    setPorts(p, {"A (COM3)", "B (COM1)", "C (COM12)", "D (COM5)"});
    QCOMPARE(entries(p), QStringList({"COM1", "COM3", "COM5", "COM12"}));
    QCOMPARE(list->currentText(), QStringLiteral("COM3"));
    setPorts(p, {"B (COM1)", "C (COM12)", "D (COM5)"});
    QCOMPARE(entries(p), QStringList({"COM1", "COM5", "COM12"}));
    QCOMPARE(list->currentIndex(), 0);
    setPorts(p, {});
    QCOMPARE(list->count(), 0);

    // Read again on each change the port watcher reports, and now and then
    // anyway, while the port is closed.
    int calls = 0;
    p.window->generalPage().setEnumerator([&](std::vector<SerialPortRecord>&, QString&) {
        ++calls;
        return true;
    });
    PortWatcher& watcher = p.window->generalPage().portWatcher();
    QVERIFY(watcher.isActive());
    emit watcher.changed();
    QCOMPARE(calls, 1);
    p.clock.advance(PortWatcher::kSafetyRefreshMs + PortWatcher::kSettleMs);
    QVERIFY(calls >= 2);
    const int before = calls;
    p.clock.advance(2 * PortWatcher::kSafetyRefreshMs);
    QCOMPARE(calls, before + 2);
}

void TestGeneralPage::portListTooltipsNameTheDevice()
{
    PanelFixture p(false);
    setPorts(p, {"USB Serial Port (COM33)"});
    auto* list = p.window->controlAs<QComboBox>(ctl::PortList);
    QCOMPARE(list->itemData(0, Qt::ToolTipRole).toString(),
             QStringLiteral("USB Serial Port (COM33)\n/dev/fake-USB Serial Port (COM33)"));
    // The same number on another device: the entry stays, its tooltip follows.
    setPorts(p, {"Other adapter (COM33)"});
    QCOMPARE(list->itemData(0, Qt::ToolTipRole).toString(),
             QStringLiteral("Other adapter (COM33)\n/dev/fake-Other adapter (COM33)"));
}

void TestGeneralPage::portListKeepsItsEntriesOnEnumerationError()
{
    PanelFixture p(false);
    setPorts(p, {"A (COM3)"});
    p.window->generalPage().setEnumerator([](std::vector<SerialPortRecord>& out, QString& error) {
        out.push_back(SerialPortRecord{});
        error = QStringLiteral("broken");
        return false;
    });
    p.window->generalPage().refreshPortList();
    QCOMPARE(entries(p), QStringList{"COM3"});
}

void TestGeneralPage::portListTooltipSaysWhyPortsAreHidden()
{
    PanelFixture p(false);
    auto* list = p.window->controlAs<QComboBox>(ctl::PortList);
    QString hint = permissionHint(2, {"dialout"});
    bool fail = false;
    p.window->generalPage().setEnumerator([&](std::vector<SerialPortRecord>& out, QString& error, QString& given) {
        out.clear();  // nothing listed: the hint is all the operator gets
        given = hint;
        error = fail ? QStringLiteral("broken") : QString();
        return !fail;
    });
    p.window->generalPage().refreshPortList();
    QCOMPARE(list->count(), 0);
    QCOMPARE(list->toolTip(), QStringLiteral("2 serial ports hidden: no permission. Add your user to the 'dialout' group: "
                                             "sudo usermod -aG dialout $USER, then log in again."));
    QCOMPARE(list->accessibleDescription(), list->toolTip());
    // A failed enumeration keeps it; the next good one without hidden ports clears it.
    fail = true;
    hint.clear();
    p.window->generalPage().refreshPortList();
    QVERIFY(!list->toolTip().isEmpty());
    fail = false;
    p.clock.advance(PortWatcher::kSafetyRefreshMs + PortWatcher::kSettleMs);  // the watcher's slow refresh
    QCOMPARE(list->toolTip(), QString());
}

void TestGeneralPage::connectWithEmptyListFails()
{
    PanelFixture p(false);
    setPorts(p, {});
    click(p, ctl::Connect);
    QCOMPARE(p.messageTexts(), QStringList{text::OpenComFailed});
    QVERIFY(!p.capture.isOpen());
    QCOMPARE(p.window->control(ctl::Connect)->property("text").toString(), QStringLiteral("Connect"));
}

QTEST_MAIN(TestGeneralPage)
#include "test_generalpage.moc"
