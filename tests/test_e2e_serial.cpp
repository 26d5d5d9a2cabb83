// The panel against the simulated switch over a real serial line (a
// pseudo-terminal): connect from the port list, status, reboot, power, beeper,
// factory resets, a command that gets no answer, and a line that hangs up.
// Time-dependent steps run on the manual clock; the bytes travel for real, and
// the test waits for them by processing events, never by sleeping.
#include <QtTest>

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/controlids.h"
#include "app/generalpage.h"
#include "link/serialport.h"
#include "ops/limits.h"
#include "protocol/commands.h"
#include "sim/simulator.h"
#include "support/framehex.h"
#include "support/simbench.h"

using namespace talvane;

namespace {

}  // namespace

class TestE2ESerial : public QObject {
    Q_OBJECT
private slots:
    void connectGreetsAndReadsPowerAndBeeper();
    void statusMatchesTheSwitch();
    void rebootShowsItsResult();
    void powerOffAndOn();
    void beeperFollowsTheSwitch();
    void factoryReset();
    void extendedFactoryResetChain();
    void unansweredCommandResentOnceThenTimesOut();
    void hangUpReturnsToConnect();
};

void TestE2ESerial::connectGreetsAndReadsPowerAndBeeper()
{
    SimBench b;
    b.model().beep = false;
    QVERIFY(b.connect());
    QCOMPARE(b.window().control(ctl::Connect)->property("text").toString(), QStringLiteral("Disconnect"));
    QVERIFY(!b.window().control(ctl::PortList)->isEnabled());
    QVERIFY(!b.window().generalPage().portWatcher().isActive());
    QVERIFY(waitFor([&] { return b.received().size() >= 2; }));
    QVERIFY(waitFor([&] { return b.box(ctl::PowerOn)->isChecked(); }));
    QCOMPARE(b.received().mid(0, 2), QStringList({hexOf(build::powerStateQuery()), hexOf(build::beepStateQuery())}));
    QVERIFY(waitFor([&] { return b.window().controlAs<QPlainTextEdit>(ctl::ReceiveLog)->toPlainText().count('\n') >= 2; }));
    QVERIFY(!b.box(ctl::EnableBeep)->isChecked());
    QVERIFY(b.window().ready());
}

void TestE2ESerial::statusMatchesTheSwitch()
{
    SimBench b;
    b.model().source = {true, false, true, false, true, false, false, true};
    b.model().display = {false, true, false, false, false, false, true, true};
    QVERIFY(b.connect());
    QVERIFY(waitFor([&] { return b.window().ready() && b.received().size() >= 2; }));
    b.panel->modal->queue([&](QDialog&) { QVERIFY(waitFor([] { return !Popups::instance().busyShown(); })); });
    b.window().controlAs<QPushButton>(ctl::Status)->click();
    for (int n = 1; n <= 8; ++n) {
        QCOMPARE(b.label(ctl::StatusInput1 + n - 1), GeneralPage::inputStatusText(n, b.model().source[n - 1]));
        QCOMPARE(b.label(ctl::StatusOutputA + n - 1), GeneralPage::outputStatusText(n, b.model().display[n - 1]));
    }
    QVERIFY(b.window().ready());
    QVERIFY(b.panel->messageTexts().isEmpty());
}

void TestE2ESerial::rebootShowsItsResult()
{
    SimBench b;
    QVERIFY(b.connect());
    QVERIFY(waitFor([&] { return b.window().ready() && b.received().size() >= 2; }));
    QStringList seen;
    QVERIFY(waitFor([&] { return b.window().session().idle(); }));
    const int answered = b.answers();
    b.panel->modal->queue([&, answered](QDialog&) {
        QVERIFY(waitFor([&] { return b.answers() > answered; }));
        seen << Popups::instance().busyText();
        b.panel->clock.advance(general::RebootResultMs);
        seen << Popups::instance().busyText();
        b.panel->clock.advance(general::RebootCloseMs);
    });
    b.window().controlAs<QPushButton>(ctl::Reboot)->click();
    QCOMPARE(seen, QStringList({text::Rebooting, text::RebootSuccessfully}));
    QVERIFY(!Popups::instance().busyShown());
    QVERIFY(b.window().ready());
    QCOMPARE(b.received().last(), hexOf(build::reboot()));
}

void TestE2ESerial::powerOffAndOn()
{
    SimBench b;
    QVERIFY(b.connect());
    QVERIFY(waitFor([&] { return b.box(ctl::PowerOn)->isChecked() && b.received().size() >= 2; }));

    b.panel->modal->queue(ScriptedModal::click(1058));  // Ok: power off
    b.clickBox(ctl::PowerOn);
    QVERIFY(waitFor([&] { return !b.box(ctl::PowerOn)->isChecked(); }));
    QVERIFY(!b.model().power);

    QString result;
    QVERIFY(waitFor([&] { return b.window().session().idle(); }));
    const int answered = b.answers();
    b.panel->modal->queue([&, answered](QDialog&) {
        QVERIFY(waitFor([&] { return b.answers() > answered; }));
        b.panel->clock.advance(general::PowerOnResultMs);
        result = Popups::instance().busyText();
        b.panel->clock.advance(general::PowerOnCloseMs);
    });
    b.clickBox(ctl::PowerOn);
    QCOMPARE(result, text::InitializingSuccessfully);
    QVERIFY(b.box(ctl::PowerOn)->isChecked());
    QVERIFY(b.model().power);
    // After the result the beeper is queried once more.
    QVERIFY(waitFor([&] { return b.received().last() == hexOf(build::beepStateQuery()); }));
}

void TestE2ESerial::beeperFollowsTheSwitch()
{
    SimBench b;
    QVERIFY(b.connect());
    QVERIFY(waitFor([&] { return b.box(ctl::EnableBeep)->isChecked() && b.window().ready(); }));
    b.clickBox(ctl::EnableBeep);  // disable
    QVERIFY(b.box(ctl::EnableBeep)->isChecked());  // until the switch answers
    QVERIFY(waitFor([&] { return !b.box(ctl::EnableBeep)->isChecked(); }));
    QVERIFY(!b.model().beep);
    b.clickBox(ctl::EnableBeep);
    QVERIFY(waitFor([&] { return b.box(ctl::EnableBeep)->isChecked(); }));
    QVERIFY(b.model().beep);
}

void TestE2ESerial::factoryReset()
{
    SimBench b;
    b.model().beep = false;
    b.model().route[0] = 5;
    QVERIFY(b.connect());
    QVERIFY(waitFor([&] { return b.window().ready() && b.received().size() >= 2; }));
    QString result;
    QVERIFY(waitFor([&] { return b.window().session().idle(); }));
    const int answered = b.answers();
    b.panel->modal->queue([&, answered](QDialog&) {
        QVERIFY(waitFor([&] { return b.answers() > answered; }));
        b.panel->clock.advance(general::FactoryResetResultMs);
        result = Popups::instance().busyText();
        b.panel->clock.advance(general::FactoryResetCloseMs);
    });
    b.window().controlAs<QPushButton>(ctl::FactoryReset)->click();
    QCOMPARE(result, text::SetSuccessfully);
    QVERIFY(b.box(ctl::EnableBeep)->isChecked());
    QVERIFY(b.model().beep);
    QCOMPARE(b.model().route[0], 1);
}

void TestE2ESerial::extendedFactoryResetChain()
{
    SimBench b;
    b.model().edidCode.fill(7);
    QVERIFY(b.connect());
    QVERIFY(waitFor([&] { return b.window().ready() && b.received().size() >= 2; }));
    QString result;
    b.panel->modal->queue(ScriptedModal::click(1058));  // Ok on the question
    QVERIFY(waitFor([&] { return b.window().session().idle(); }));
    const int answered = b.answers();
    b.panel->modal->queue([&, answered](QDialog&) {
        // Eight routes, the EDID preset and the beeper marker.
        QVERIFY(waitFor([&] { return b.answers() >= answered + 10; }));
        b.panel->clock.advance(general::ExtResetResultMs);
        result = Popups::instance().busyText();
        b.panel->clock.advance(general::ExtResetCloseMs);
    });
    b.window().controlAs<QPushButton>(ctl::ExtFactoryReset)->click();
    QCOMPARE(result, text::SetSuccessfully);
    QCOMPARE(b.model().route[0], 3);
    for (int o = 2; o <= 8; ++o)
        QCOMPARE(b.model().route[o - 1], 1);
    for (int code : b.model().edidCode)
        QCOMPARE(code, 0);
    QVERIFY(b.window().ready());
    QVERIFY(b.panel->messageTexts().contains(text::AskFactoryReset));
    QVERIFY(!b.panel->messageTexts().contains(text::TimeOut));
}

void TestE2ESerial::unansweredCommandResentOnceThenTimesOut()
{
    SimBench b;
    b.sim->device().faults().silentCommands.insert(sim::commandKey(cmd::Reboot));
    QVERIFY(b.connect());
    QVERIFY(waitFor([&] { return b.window().ready() && b.received().size() >= 2; }));
    b.panel->modal->queue([&](QDialog&) {
        QVERIFY(waitFor([&] { return b.received().count(hexOf(build::reboot())) == 1; }));
        b.panel->clock.advance(limits::Command.firstMs);
        QVERIFY(waitFor([&] { return b.received().count(hexOf(build::reboot())) == 2; }));
        b.panel->clock.advance(limits::Command.retryMs);
    });
    b.window().controlAs<QPushButton>(ctl::Reboot)->click();
    QCOMPARE(b.panel->messageTexts(), QStringList{text::TimeOut});
    QVERIFY(b.window().ready());

    // With the switch answering again, the same command ends with its answer.
    b.sim->device().clearFaults();
    QVERIFY(waitFor([&] { return b.window().session().idle(); }));
    const int answered = b.answers();
    b.panel->modal->queue([&, answered](QDialog&) {
        QVERIFY(waitFor([&] { return b.answers() > answered; }));
        b.panel->clock.advance(general::RebootResultMs + general::RebootCloseMs);
    });
    b.window().controlAs<QPushButton>(ctl::Reboot)->click();
    QCOMPARE(b.received().count(hexOf(build::reboot())), 3);
    QCOMPARE(b.panel->messageTexts(), QStringList{text::TimeOut});
}

void TestE2ESerial::hangUpReturnsToConnect()
{
    SimBench b;
    QVERIFY(b.connect());
    QVERIFY(waitFor([&] { return b.window().ready() && b.received().size() >= 2; }));
    const int com = b.sim->serialCom();
    QVERIFY(waitFor([&] {
        return b.window().linkStatus().startsWith(
            QStringLiteral("Connected: COM%1 (Talvane switch simulator, /dev/pts/").arg(com));
    }));
    QVERIFY(!b.window().generalPage().isStale(ctl::PowerOn));
    QVERIFY(b.sim->hangUpSerial());
    QVERIFY(waitFor([&] { return !b.window().serialPort().isOpen(); }));
    // The operator is told, and the values shown are no longer live.
    QVERIFY2(QRegularExpression(QStringLiteral("^Link lost: COM%1 at \\d\\d:\\d\\d:\\d\\d$").arg(com))
                 .match(b.window().linkStatus())
                 .hasMatch(),
             qPrintable(b.window().linkStatus()));
    for (int id : {ctl::PowerOn, ctl::EnableBeep, ctl::StatusInput1, ctl::StatusOutputA + 7})
        QVERIFY(b.window().generalPage().isStale(id));
    QVERIFY(b.box(ctl::PowerOn)->isEnabled());
    QCOMPARE(b.window().control(ctl::Connect)->property("text").toString(), QStringLiteral("Connect"));
    QVERIFY(b.window().control(ctl::PortList)->isEnabled());
    QVERIFY(b.window().generalPage().portWatcher().isActive());
    // The list refreshes and the re-registered port can be connected again.
    b.panel->clock.advance(PortWatcher::kSettleMs);
    auto* list = b.window().controlAs<QComboBox>(ctl::PortList);
    QVERIFY(list->findText(QStringLiteral("COM%1").arg(b.sim->serialCom())) >= 0);
    list->setCurrentIndex(list->findText(QStringLiteral("COM%1").arg(b.sim->serialCom())));
    b.window().controlAs<QPushButton>(ctl::Connect)->click();
    QVERIFY(b.window().serialPort().isOpen());
    // Open, but "Connected" only once the switch has answered.
    QCOMPARE(b.window().linkStatus(), QStringLiteral("Port open: COM%1, no answer yet").arg(b.sim->serialCom()));
    QVERIFY(waitFor(
        [&] { return b.window().linkStatus().startsWith(QStringLiteral("Connected: COM%1").arg(b.sim->serialCom())); }));
    // The greeting's replies refresh Power On and Enable Beep; the status
    // lines wait for the next Status run.
    QVERIFY(waitFor([&] {
        return b.box(ctl::PowerOn)->isChecked() && !b.window().generalPage().isStale(ctl::PowerOn)
               && !b.window().generalPage().isStale(ctl::EnableBeep);
    }));
    QVERIFY(b.window().generalPage().isStale(ctl::StatusInput1));
}

QTEST_MAIN(TestE2ESerial)
#include "test_e2e_serial.moc"
