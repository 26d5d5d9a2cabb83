// The Matrix page: its controls, the route and ARC query chains on entry, the
// operator's commands with their resend and timeout, and the reply table,
// driven on the manual clock with the switch played by the test.
#include <QtTest>

#include <QAccessible>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

#include "app/controlids.h"
#include "controls/imagebutton.h"
#include "pages/matrixpage.h"
#include "protocol/replies.h"
#include "support/matrixview.h"
#include "support/panelfixture.h"

Q_DECLARE_METATYPE(talvane::CommandFrame)

using namespace talvane;
using namespace talvane::matrix;
namespace mctl = talvane::matrix::ctl;

namespace {

QString hex(CommandFrame f) { return QString::fromStdString(toHex(f.seal().bytes)); }

// Delivers the queued click action, then the send message it posted.
void settle()
{
    PanelFixture::deliverPosted();
    PanelFixture::deliverPosted();
}

// Runs the clock, then sends what its timers posted.
void advance(PanelFixture& p, int ms)
{
    p.clock.advance(ms);
    p.deliverPosted();
}

CMatrixDlg& enterMatrix(PanelFixture& p)
{
    p.window->pressAt(p.window->control(talvane::ctl::TabMatrix)->geometry().center());
    return *qobject_cast<CMatrixDlg*>(p.window->pageWindow(Page::Matrix));
}

void click(CMatrixDlg& m, int id)
{
    m.controlAs<QAbstractButton>(id)->click();
    settle();
}

QString shown(CMatrixDlg& m, int o) { return shownOnMatrix(m, o); }

// Plays a switch that answers the page's queries from its routing and ARC state.
struct QueryAnswers {
    PanelFixture& p;
    std::array<int, kOutputs> route{};
    std::array<bool, kOutputs> arc{};
    std::size_t answered = 0;
    void pump()
    {
        while (answered < p.sent.size()) {
            const CommandFrame c = CommandFrame::fromBytes(p.sent[answered++].data());
            if (commandIdOf(c) == cmd::RouteQuery)
                p.receive(reply::routeQuery(c[pos::P1], route[c[pos::P1] - 1]));
            else if (commandIdOf(c) == cmd::ArcQuery)
                p.receive(reply::arcQuery(c[pos::P3], arc[c[pos::P3] - 1]));
        }
    }
};

// The page after entry, with the route chain answered (routes 1..8, ARC
// off) and the ARC chain waiting for its answer for output A.
CMatrixDlg& enterRouted(PanelFixture& p)
{
    CMatrixDlg& m = enterMatrix(p);
    for (int o = 1; o <= kOutputs; ++o)
        p.receive(reply::routeQuery(o, o));
    return m;
}

}  // namespace

class TestMatrixPage : public QObject {
    Q_OBJECT
private slots:
    void templateControls_data();
    void templateControls();
    void entryChainsShowTheSwitchState();
    void workedExampleRoutesInput4ToOutputB();
    void commandsResendOnceThenTimeOut_data();
    void commandsResendOnceThenTimeOut();
    void stepButtonsWrapAndKeepTheirStoredValue();
    void arcAcknowledgements();
    void retryDuringTheArcChainSendsTheBuffer();
    void lateRouteAckDuringTheRouteChain();
};

void TestMatrixPage::templateControls_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QRect>("rect");
    auto row = [](const char* tag, int id, const char* name, const char* output, QRect r) {
        QTest::newRow(tag) << id << QString::fromLatin1(name) << QString::fromLatin1(output) << r;
    };
    row("IN3 of B", 1109, "IN3", "OUTPUT B", dluRect(129, 56, 19, 15));
    row("IN5 of C", 1145, "IN5", "OUTPUT C", dluRect(175, 73, 19, 15));
    row("IN8 of H", 1188, "IN8", "OUTPUT H", dluRect(315, 206, 19, 15));
    row("previous of D", 1135, "Previous input", "OUTPUT D", dluRect(277, 90, 19, 15));
    row("next of E", 1193, "Next input", "OUTPUT E", dluRect(44, 223, 19, 15));
    row("ON of F", 1198, "ON", "OUTPUT F", dluRect(110, 246, 24, 15));
    row("OFF of C", 1140, "OFF", "OUTPUT C", dluRect(221, 114, 24, 15));
    // The picture shows its 80 x 80 bitmap whole, from the template's corner.
    row("picture of G", 1155, "Input 1", "OUTPUT G", QRect(dluRect(190, 145, 0, 0).topLeft(), QSize(80, 80)));
}

void TestMatrixPage::templateControls()
{
    QFETCH(int, id);
    QFETCH(QString, name);
    QFETCH(QString, output);
    QFETCH(QRect, rect);
    PanelFixture p(false);
    CMatrixDlg& m = enterMatrix(p);
    QWidget* w = m.control(id);
    QVERIFY(w);
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
    QCOMPARE(a->text(QAccessible::Name), name);
    QCOMPARE(a->text(QAccessible::Description), output);
    QCOMPARE(w->geometry(), rect);
    QVERIFY(m.outputGroup(output.back().unicode() - 'A' + 1)->geometry().contains(w->geometry()));
    if (auto* step = qobject_cast<CImageButton*>(w)) {
        QVERIFY(!step->isFlat());
        QCOMPARE(step->iconInSize(), QSize(16, 16));
        QCOMPARE(step->currentIcon(), CImageButton::IconShown::In);
    }
    if (name.startsWith(QLatin1String("IN")))
        QVERIFY(qobject_cast<QPushButton*>(w)->isCheckable());
    QCOMPARE(m.outputGroup(5)->title(), QStringLiteral("OUTPUT E"));
    QCOMPARE(m.outputGroup(5)->geometry(), dluRect(3, 135, 82, 130));
}

void TestMatrixPage::entryChainsShowTheSwitchState()
{
    PanelFixture p;
    // Outputs B and E answer inputs the page cannot show (9 and 0): their
    // display stays as it was and the chain goes on.
    QueryAnswers sw{p, {3, 9, 1, 8, 0, 7, 4, 8}, {false, true, false, false, true, false, false, false}};
    CMatrixDlg& m = enterMatrix(p);
    sw.pump();
    const QStringList expected{"IN3 Input 3 OFF", "Input 1 ON",      "IN1 Input 1 OFF", "IN8 Input 8 OFF",
                               "Input 1 ON",      "IN7 Input 7 OFF", "IN4 Input 4 OFF", "IN8 Input 8 OFF"};
    for (int o = 1; o <= kOutputs; ++o)
        QCOMPARE(shown(m, o), expected[o - 1]);
    QStringList queries;
    for (int o = 1; o <= kOutputs; ++o)
        queries << hex(build::routeQuery(o));
    for (int o = 1; o <= kOutputs; ++o)
        queries << hex(build::arcQuery(o));
    QCOMPARE(p.sentHex(), queries);
    QVERIFY(p.engine().isReady());
    QVERIFY(!p.engine().timers().isArmed(mtimer::PageEntry));
    p.clock.advance(20000);
    QVERIFY(p.messageTexts().isEmpty());  // no false "Time out!"
    QCOMPARE(p.sent.size(), std::size_t(16));
}

void TestMatrixPage::workedExampleRoutesInput4ToOutputB()
{
    PanelFixture p;
    CMatrixDlg& m = enterRouted(p);
    p.receive(reply::arcQuery(1, false));
    p.sent.clear();
    // The ARC chain still runs: the program is ready for the operator.
    click(m, mctl::Input[1][3]);
    QCOMPARE(p.sentHex(), QStringList{QStringLiteral("A5 5B 02 03 04 00 02 00 00 00 00 00 F5")});
    QVERIFY(m.timers().isArmed(6026));
    QCOMPARE(shown(m, 2), QStringLiteral("IN2 Input 2 ?"));
    p.receive(reply::routeSetAck(2));
    QCOMPARE(shown(m, 2), QStringLiteral("IN4 Input 4 ?"));
    QCOMPARE(m.currentInput(2), 4);
    QVERIFY(!m.timers().isArmed(6026));
    QVERIFY(p.engine().isReady());
    // Clicking the checked input again sends the same route and keeps it checked.
    click(m, mctl::Input[1][3]);
    QCOMPARE(p.sentHex().last(), QStringLiteral("A5 5B 02 03 04 00 02 00 00 00 00 00 F5"));
    QCOMPARE(shown(m, 2), QStringLiteral("IN4 Input 4 ?"));
}

void TestMatrixPage::commandsResendOnceThenTimeOut_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<CommandFrame>("frame");
    QTest::addColumn<int>("firstTimer");
    QTest::newRow("IN5 of C") << mctl::Input[2][4] << build::routeSet(5, 3) << 6048;
    QTest::newRow("previous of A at 3") << mctl::Previous[0] << build::routeSet(2, 1) << 6016;
    QTest::newRow("next of H at 8") << mctl::Next[7] << build::routeSet(1, 8) << 6158;
    QTest::newRow("ON of A") << mctl::ArcOn[0] << build::arcSet(1, true) << 7000;
    QTest::newRow("OFF of F") << mctl::ArcOff[5] << build::arcSet(6, false) << 7022;
}

void TestMatrixPage::commandsResendOnceThenTimeOut()
{
    QFETCH(int, id);
    QFETCH(CommandFrame, frame);
    QFETCH(int, firstTimer);
    PanelFixture p;
    QueryAnswers sw{p, {3, 2, 3, 4, 5, 6, 7, 8}, {true, true, true, true, true, false, true, true}};
    CMatrixDlg& m = enterMatrix(p);
    sw.pump();
    QStringList before;
    for (int o = 1; o <= kOutputs; ++o)
        before << shown(m, o);
    p.sent.clear();
    click(m, id);
    QCOMPARE(p.sentHex(), QStringList{hex(frame)});
    QVERIFY(m.timers().isArmed(firstTimer));
    advance(p, timeout::Command);
    QCOMPARE(p.sentHex(), QStringList(2, hex(frame)));
    QVERIFY(m.timers().isArmed(firstTimer + 1));
    advance(p, timeout::Command - 1);
    QVERIFY(p.messageTexts().isEmpty());
    advance(p, 1);
    QCOMPARE(p.messageTexts(), QStringList{text::TimeOut});
    QVERIFY(p.engine().isReady());
    QCOMPARE(p.sent.size(), std::size_t(2));
    for (int o = 1; o <= kOutputs; ++o)
        QCOMPARE(shown(m, o), before[o - 1]);
}

void TestMatrixPage::stepButtonsWrapAndKeepTheirStoredValue()
{
    PanelFixture p;
    QueryAnswers sw{p, {1, 2, 3, 4, 5, 6, 7, 8}, {}};
    CMatrixDlg& m = enterMatrix(p);
    sw.pump();
    struct Step {
        int id;
        int output;
        int sentInput;
        int stored;
    };
    // Unanswered steps: each ends with "Time out!" and leaves 0 or 9 stored.
    const Step steps[] = {{mctl::Previous[0], 1, 8, 9}, {mctl::Previous[0], 1, 8, 9}, {mctl::Next[0], 1, 1, 0},
                          {mctl::Next[7], 8, 1, 0},     {mctl::Previous[7], 8, 8, 9}, {mctl::Next[7], 8, 1, 0}};
    for (const Step& s : steps) {
        click(m, s.id);
        QCOMPARE(p.lastSent(), hex(build::routeSet(s.sentInput, s.output)));
        QCOMPARE(m.currentInput(s.output), s.stored);
        advance(p, timeout::Command);
        advance(p, timeout::Command);
        QVERIFY(p.engine().isReady());
    }
    QCOMPARE(p.messageTexts().size(), 6);
    // An acknowledged step stores the input it routed.
    click(m, mctl::Next[7]);
    p.receive(reply::routeSetAck(8));
    QCOMPARE(m.currentInput(8), 1);
    QCOMPARE(shown(m, 8), QStringLiteral("IN1 Input 1 OFF"));
}

void TestMatrixPage::arcAcknowledgements()
{
    PanelFixture p;
    CMatrixDlg& m = enterRouted(p);
    // An answer-shaped frame for output A with 0x0F at position 10 is an ARC-on
    // acknowledgement: it ends the exchange instead of going on with the chain.
    CommandFrame ambiguous = reply::arcQuery(1, true);
    ambiguous[pos::P1] = 0;
    ambiguous[pos::P7] = kStateOn;
    const std::size_t sent = p.sent.size();
    p.receive(ambiguous);
    QCOMPARE(p.sent.size(), sent);
    QCOMPARE(shown(m, 1), QStringLiteral("IN1 Input 1 ON"));
    advance(p, timeout::Chain);  // the chain's query for output A still times out
    QCOMPARE(p.messageTexts(), QStringList{text::TimeOut});

    // Three ARC commands waiting for their resend (the ready flag forced back
    // between them): an ARC-on acknowledgement ends both ARC-on ones.
    for (int id : {mctl::ArcOn[0], mctl::ArcOff[1], mctl::ArcOn[2]}) {
        click(m, id);
        p.engine().setReady();
    }
    p.engine().clearReady();
    p.receive(reply::arcSetAck(3, true));
    QVERIFY(!m.timers().isArmed(timer::arc(1, true)));
    QVERIFY(!m.timers().isArmed(timer::arc(3, true)));
    QVERIFY(m.timers().isArmed(timer::arc(2, false)));
    QCOMPARE(shown(m, 3), QStringLiteral("IN3 Input 3 ON"));
    QVERIFY(p.engine().isReady());

    // An acknowledgement for no output stops its kind's timers and changes nothing else.
    p.engine().clearReady();
    p.receive(reply::arcSetAck(0, false));
    QVERIFY(!m.timers().isArmed(timer::arc(2, false)));
    QCOMPARE(shown(m, 2), QStringLiteral("IN2 Input 2 ?"));
    QVERIFY(!p.engine().isReady());
}

void TestMatrixPage::retryDuringTheArcChainSendsTheBuffer()
{
    PanelFixture p;
    CMatrixDlg& m = enterRouted(p);
    click(m, mctl::Input[0][1]);  // IN2 of A while the ARC chain waits for output A
    // The chain's next step overwrites the command buffer; the retry sends it.
    p.receive(reply::arcQuery(1, true));
    QCOMPARE(p.lastSent(), hex(build::arcQuery(2)));
    advance(p, timeout::Command);
    QCOMPARE(p.sentHex().count(hex(build::arcQuery(2))), 2);
    // Frames the page does not know leave its timers running.
    CommandFrame refused = reply::routeSetAck(1);
    refused[pos::P1] = 1;
    for (const CommandFrame& f : {refused, reply::arcQuery(9, true), reply::portStatus(cmd::InputStatusQuery, 1, true)})
        p.receive(f);
    QVERIFY(m.timers().isArmed(timer::route(1, 2) + 1));
    // The acknowledgement then names no route it could show, but ends the exchange.
    p.receive(reply::routeSetAck(1));
    QCOMPARE(shown(m, 1), QStringLiteral("IN1 Input 1 ON"));
    QVERIFY(!m.timers().isArmed(timer::route(1, 2) + 1));
    QVERIFY(p.engine().isReady());
}

void TestMatrixPage::lateRouteAckDuringTheRouteChain()
{
    PanelFixture p;
    CMatrixDlg& m = enterMatrix(p);
    p.receive(reply::routeQuery(1, 5));
    // The buffer holds the query for output B: input 2, output 0.
    p.receive(reply::routeSetAck(2));
    QCOMPARE(shown(m, 2), QStringLiteral("Input 1 ?"));
    QVERIFY(p.engine().isReady());
    p.receive(reply::routeQuery(2, 6));
    QCOMPARE(shown(m, 2), QStringLiteral("IN6 Input 6 ?"));
    QCOMPARE(p.lastSent(), hex(build::routeQuery(3)));
}

QTEST_MAIN(TestMatrixPage)
#include "test_matrixpage.moc"
