// The Matrix page: its controls, the route and ARC query chains on entry, the
// operator's commands with their resend and time-out, and replies that answer
// nothing, driven on the manual clock with the switch played by the test.
#include <QtTest>

#include <QAccessible>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

#include "app/controlids.h"
#include "app/panelsettings.h"
#include "controls/imagebutton.h"
#include "pages/matrixpage.h"
#include "ops/presets.h"
#include "protocol/replies.h"
#include "support/matrixview.h"
#include "support/panelfixture.h"
#include "support/waitfor.h"

Q_DECLARE_METATYPE(talvane::CommandFrame)

using namespace talvane;
using namespace talvane::matrix;
namespace mctl = talvane::matrix::ctl;

namespace {

QString hex(CommandFrame f) { return QString::fromStdString(toHex(f.seal().bytes)); }

// Delivers the queued click action.
void settle() { PanelFixture::deliverPosted(); }

constexpr int kCommandMs = 3000;  // an operator command's resend, and its time-out after that
constexpr int kChainMs = 7000;    // a query of the entry chains

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

// Take mode on, through its box in the header, as an operator sets it.
void takeMode(PanelFixture& p, bool on)
{
    auto* box = p.window->controlAs<QCheckBox>(talvane::ctl::TakeMode);
    if (box->isChecked() != on)
        act(box, QAccessibleActionInterface::toggleAction());
    settle();
}

// An input button as a screen reader toggles it.
void toggle(CMatrixDlg& m, int output, int input)
{
    act(m.control(mctl::Input[output - 1][input - 1]), QAccessibleActionInterface::toggleAction());
    settle();
}

// The outputs whose input button a screen reader hears as preselected, "B4 D6".
QString preselectedHeard(CMatrixDlg& m)
{
    QStringList out;
    for (int o = 1; o <= kOutputs; ++o)
        for (int i = 1; i <= kInputs; ++i) {
            QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(m.control(mctl::Input[o - 1][i - 1]));
            if (iface->text(QAccessible::Description).endsWith(QStringLiteral(", preselected")))
                out << QStringLiteral("%1%2").arg(outputLetter(o)).arg(i);
        }
    return out.join(u' ');
}

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

// The page after entry, with both chains answered (routes 1..8, ARC as given).
CMatrixDlg& enterAnswered(PanelFixture& p, std::array<bool, kOutputs> arc = {})
{
    QueryAnswers sw{p, {1, 2, 3, 4, 5, 6, 7, 8}, arc};
    CMatrixDlg& m = enterMatrix(p);
    sw.pump();
    p.sent.clear();
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
    void arcAcknowledgements_data();
    void arcAcknowledgements();
    void repliesThatAnswerNothingChangeNothing();
    void takeSendsEachPreselectionOnceTheLastWasAcknowledged();
    void takeStopsWhereTheSwitchFallsSilent();
    void locksOfThePanelAlone();
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
    row("lock of B", 1312, "Lock output B", "OUTPUT B", dluRect(148, 90, 19, 15));
    row("lock of H", 1318, "Lock output H", "OUTPUT H", dluRect(315, 223, 19, 15));
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
    // Outputs B and E answer inputs the page cannot show (9 and 0), output D
    // an ARC state that is neither on nor off: their display stays as it was
    // and the chain goes on.
    const std::array<int, kOutputs> routes{3, 9, 1, 8, 0, 7, 4, 8};
    const std::array<bool, kOutputs> arc{false, true, false, false, true, false, false, false};
    QStringList queries;
    for (int o = 1; o <= kOutputs; ++o)
        queries << hex(build::routeQuery(o));
    for (int o = 1; o <= kOutputs; ++o)
        queries << hex(build::arcQuery(o));
    CMatrixDlg& m = enterMatrix(p);
    for (int o = 1; o <= kOutputs; ++o)
        p.receive(reply::routeQuery(o, routes[o - 1]));
    QCOMPARE(p.sentHex(), queries.mid(0, 9));
    // The operator's clicks wait until both chains are done: one between
    // the route and the ARC chain is refused and sends nothing.
    click(m, mctl::Input[0][0]);
    QCOMPARE(p.sent.size(), std::size_t(9));
    QVERIFY(!p.window->ready());
    for (int o = 1; o <= kOutputs; ++o) {
        CommandFrame answer = reply::arcQuery(o, arc[o - 1]);
        if (o == 4)
            answer[pos::P1] = 0;  // neither on nor off
        p.receive(answer);
    }
    const QStringList expected{"IN3 Input 3 OFF", "Input 1 ON",      "IN1 Input 1 OFF", "IN8 Input 8 ?",
                               "Input 1 ON",      "IN7 Input 7 OFF", "IN4 Input 4 OFF", "IN8 Input 8 OFF"};
    for (int o = 1; o <= kOutputs; ++o)
        QCOMPARE(shown(m, o), expected[o - 1]);
    QCOMPARE(p.sentHex(), queries);
    QVERIFY(p.window->ready());
    p.clock.advance(20000);
    QVERIFY(p.messageTexts().isEmpty());  // no false "Time out!"
    QCOMPARE(p.sent.size(), std::size_t(16));
}

void TestMatrixPage::workedExampleRoutesInput4ToOutputB()
{
    PanelFixture p;
    CMatrixDlg& m = enterAnswered(p);
    click(m, mctl::Input[1][3]);
    QCOMPARE(p.sentHex(), QStringList{QStringLiteral("A5 5B 02 03 04 00 02 00 00 00 00 00 F5")});
    QCOMPARE(shown(m, 2), QStringLiteral("IN2 Input 2 OFF"));
    QVERIFY(!p.window->ready());
    p.receive(reply::routeSetAck(2));
    QCOMPARE(shown(m, 2), QStringLiteral("IN4 Input 4 OFF"));
    QCOMPARE(m.currentInput(2), 4);
    QVERIFY(p.window->ready());
    // Clicking the checked input again sends the same route and keeps it checked.
    click(m, mctl::Input[1][3]);
    QCOMPARE(p.sentHex().last(), QStringLiteral("A5 5B 02 03 04 00 02 00 00 00 00 00 F5"));
    QCOMPARE(shown(m, 2), QStringLiteral("IN4 Input 4 OFF"));
    p.clock.advance(2 * kCommandMs);
    QCOMPARE(p.messageTexts(), QStringList{text::TimeOut});
    QCOMPARE(shown(m, 2), QStringLiteral("IN4 Input 4 OFF"));
}

void TestMatrixPage::commandsResendOnceThenTimeOut_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<CommandFrame>("frame");
    QTest::newRow("IN5 of C") << mctl::Input[2][4] << build::routeSet(5, 3);
    QTest::newRow("previous of A at 3") << mctl::Previous[0] << build::routeSet(2, 1);
    QTest::newRow("next of H at 8") << mctl::Next[7] << build::routeSet(1, 8);
    QTest::newRow("ON of A") << mctl::ArcOn[0] << build::arcSet(1, true);
    QTest::newRow("OFF of F") << mctl::ArcOff[5] << build::arcSet(6, false);
}

void TestMatrixPage::commandsResendOnceThenTimeOut()
{
    QFETCH(int, id);
    QFETCH(CommandFrame, frame);
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
    p.clock.advance(kCommandMs - 1);
    QCOMPARE(p.sent.size(), std::size_t(1));
    p.clock.advance(1);
    QCOMPARE(p.sentHex(), QStringList(2, hex(frame)));
    p.clock.advance(kCommandMs - 1);
    QVERIFY(p.messageTexts().isEmpty());
    QVERIFY(!p.window->ready());
    p.clock.advance(1);
    QCOMPARE(p.messageTexts(), QStringList{text::TimeOut});
    QVERIFY(p.window->ready());
    QCOMPARE(p.sent.size(), std::size_t(2));
    for (int o = 1; o <= kOutputs; ++o)
        QCOMPARE(shown(m, o), before[o - 1]);
}

void TestMatrixPage::stepButtonsWrapAndKeepTheirStoredValue()
{
    PanelFixture p;
    CMatrixDlg& m = enterAnswered(p);
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
        p.clock.advance(2 * kCommandMs);
        QVERIFY(p.window->ready());
    }
    QCOMPARE(p.messageTexts().size(), 6);
    // An acknowledged step stores the input it routed.
    click(m, mctl::Next[7]);
    p.receive(reply::routeSetAck(8));
    QCOMPARE(m.currentInput(8), 1);
    QCOMPARE(shown(m, 8), QStringLiteral("IN1 Input 1 OFF"));
}

void TestMatrixPage::arcAcknowledgements_data()
{
    QTest::addColumn<CommandFrame>("ack");
    QTest::addColumn<QString>("shownC");  // what output C then shows
    QTest::addColumn<bool>("answered");   // false: it times out as if nothing came
    QTest::newRow("ON, names output C") << reply::arcSetAck(3, true) << "IN3 Input 3 ON" << true;
    // Known by its group: the code is not looked at.
    CommandFrame otherCode = reply::arcSetAck(3, true);
    otherCode[pos::Code] = cmd::ArcQuery.code;
    QTest::newRow("ON, code of the query") << otherCode << "IN3 Input 3 ON" << true;
    QTest::newRow("OFF, while ON awaited") << reply::arcSetAck(3, false) << "IN3 Input 3 OFF" << false;
    QTest::newRow("ON, no output named") << reply::arcSetAck(0, true) << "IN3 Input 3 OFF" << false;
    CommandFrame refused = reply::arcSetAck(3, true);
    refused[pos::P1] = 1;
    QTest::newRow("ON, non-zero status") << refused << "IN3 Input 3 OFF" << false;
}

void TestMatrixPage::arcAcknowledgements()
{
    QFETCH(CommandFrame, ack);
    QFETCH(QString, shownC);
    QFETCH(bool, answered);
    PanelFixture p;
    CMatrixDlg& m = enterAnswered(p);
    click(m, mctl::ArcOn[0]);  // ON of output A
    p.receive(ack);
    QCOMPARE(shown(m, 3), shownC);
    QCOMPARE(shown(m, 1), QStringLiteral("IN1 Input 1 OFF"));
    QCOMPARE(p.window->ready(), answered);
    p.clock.advance(2 * kCommandMs);
    QCOMPARE(p.messageTexts(), answered ? QStringList() : QStringList{text::TimeOut});
    QCOMPARE(p.sent.size(), std::size_t(answered ? 1 : 2));
}

void TestMatrixPage::repliesThatAnswerNothingChangeNothing()
{
    PanelFixture p;
    const QList<CommandFrame> strays{reply::routeSetAck(1), reply::arcSetAck(2, true), reply::arcSetAck(3, false),
                                     reply::arcQuery(4, true), reply::routeQuery(5, 7)};
    // During the route chain: the chain goes on from its own answers only.
    CMatrixDlg& m = enterMatrix(p);
    p.receive(reply::routeQuery(1, 5));
    for (const CommandFrame& f : strays)
        p.receive(f);
    QCOMPARE(p.sentHex(), QStringList({hex(build::routeQuery(1)), hex(build::routeQuery(2))}));
    QCOMPARE(shown(m, 1), QStringLiteral("IN5 Input 5 ?"));
    for (int o = 2; o <= kOutputs; ++o)
        QCOMPARE(shown(m, o), QStringLiteral("Input 1 ?"));
    p.receive(reply::routeQuery(2, 6));
    QCOMPARE(shown(m, 2), QStringLiteral("IN6 Input 6 ?"));
    QCOMPARE(p.lastSent(), hex(build::routeQuery(3)));
    p.clock.advance(kChainMs);
    QCOMPARE(p.messageTexts(), QStringList{text::TimeOut});

    // With nothing outstanding: nothing is sent, shown or reported.
    p.sent.clear();
    for (const CommandFrame& f : strays)
        p.receive(f);
    p.clock.advance(20000);
    QVERIFY(p.sent.empty());
    QCOMPARE(shown(m, 1), QStringLiteral("IN5 Input 5 ?"));
    QCOMPARE(p.messageTexts().size(), 1);
    QVERIFY(p.window->ready());
}


void TestMatrixPage::takeSendsEachPreselectionOnceTheLastWasAcknowledged()
{
    PanelFixture p;
    takeMode(p, true);
    CMatrixDlg& m = enterAnswered(p);
    QVERIFY(m.takeMode());
    auto* take = m.controlAs<QPushButton>(mctl::Take);
    QCOMPARE(take->accessibleName(), QStringLiteral("Take preselected routes"));
    QVERIFY(!take->isEnabled());  // nothing preselected yet

    // Three clicks (one changed before it is taken, one step button) send nothing.
    toggle(m, 2, 3);
    toggle(m, 2, 4);
    toggle(m, 4, 6);
    click(m, mctl::Previous[6]);  // G at 7: IN6
    QVERIFY(p.sent.empty());
    QCOMPARE(preselectedHeard(m), QStringLiteral("B4 D6 G6"));
    QCOMPARE(shown(m, 2), QStringLiteral("IN2 Input 2 OFF"));  // the confirmed route still shows
    // A click on the confirmed input drops the output's preselection.
    toggle(m, 8, 3);
    toggle(m, 8, 8);
    QCOMPARE(preselectedHeard(m), QStringLiteral("B4 D6 G6"));
    QVERIFY(p.sent.empty());

    // Take: one RouteSet, the next only once it is acknowledged.
    act(take, QAccessibleActionInterface::pressAction());
    QVERIFY(waitFor([&] { return !p.sent.empty(); }));
    const QStringList expected{hex(build::routeSet(4, 2)), hex(build::routeSet(6, 4)), hex(build::routeSet(6, 7))};
    for (int k = 0; k < expected.size(); ++k) {
        QCOMPARE(p.sentHex(), expected.mid(0, k + 1));
        p.clock.advance(kCommandMs - 1);  // nothing more goes out while it waits
        QCOMPARE(p.sent.size(), std::size_t(k + 1));
        p.receive(reply::routeSetAck(k == 0 ? 2 : k == 1 ? 4 : 7));
    }
    QCOMPARE(p.sentHex(), expected);
    QVERIFY(p.window->ready());
    QVERIFY(p.messageTexts().isEmpty());
    QCOMPARE(shown(m, 2), QStringLiteral("IN4 Input 4 OFF"));
    QCOMPARE(shown(m, 4), QStringLiteral("IN6 Input 6 OFF"));
    QCOMPARE(shown(m, 7), QStringLiteral("IN6 Input 6 OFF"));
    QCOMPARE(preselectedHeard(m), QString());
    QVERIFY(!take->isEnabled());

    // Remembered: the next start is in take mode too.
    QVERIFY(PanelSettings(p.settingsPath()).takeMode());
}

void TestMatrixPage::takeStopsWhereTheSwitchFallsSilent()
{
    PanelFixture p;
    CMatrixDlg& m = enterAnswered(p);
    takeMode(p, true);
    toggle(m, 1, 5);
    toggle(m, 3, 7);
    toggle(m, 5, 1);
    click(m, mctl::Take);
    QCOMPARE(p.sentHex(), QStringList{hex(build::routeSet(5, 1))});
    p.receive(reply::routeSetAck(1));
    // C's route goes unanswered, its resend too: the take stops there.
    QCOMPARE(p.lastSent(), hex(build::routeSet(7, 3)));
    p.clock.advance(2 * kCommandMs);
    QCOMPARE(p.messageTexts(), QStringList{QStringLiteral("Take stopped at output C: Time out!")});
    QCOMPARE(p.sentHex(), (QStringList{hex(build::routeSet(5, 1)), hex(build::routeSet(7, 3)), hex(build::routeSet(7, 3))}));
    QVERIFY(p.window->ready());
    QCOMPARE(shown(m, 1), QStringLiteral("IN5 Input 5 OFF"));
    QCOMPARE(shown(m, 3), QStringLiteral("IN3 Input 3 OFF"));
    // What was not sent, and what went unanswered, stays preselected for another take.
    QCOMPARE(preselectedHeard(m), QStringLiteral("C7 E1"));

    // Clear drops them, and sends nothing.
    p.sent.clear();
    click(m, mctl::ClearTake);
    QCOMPARE(preselectedHeard(m), QString());
    // Out of take mode a click routes at once again.
    toggle(m, 6, 2);
    takeMode(p, false);
    toggle(m, 6, 2);
    QCOMPARE(p.sentHex(), QStringList{hex(build::routeSet(2, 6))});
    QCOMPARE(preselectedHeard(m), QString());
}

// Without a hub the locks are the panel's own: a locked output refuses this
// panel's route, step and ARC clicks and a preselection, with the reason in
// the status line, and a recall leaves it as it is.
void TestMatrixPage::locksOfThePanelAlone()
{
    PanelFixture p;
    CMatrixDlg& m = enterAnswered(p);
    QStringList status;
    connect(&m, &CMatrixDlg::statusMessage, [&](const QString& t) { status << t; });
    auto* lock = m.controlAs<QPushButton>(mctl::Lock[1]);
    QVERIFY(!lock->isChecked());
    act(lock, QAccessibleActionInterface::toggleAction());
    settle();
    QVERIFY(lock->isChecked());
    QCOMPARE(m.outputGroup(2)->title(), QStringLiteral("OUTPUT B (locked)"));
    QVERIFY(m.outputGroup(2)->accessibleName().contains(QStringLiteral("locked by this panel")));

    const QString refused = QStringLiteral("Output B is locked in this panel: unlock it first");
    toggle(m, 2, 4);
    click(m, mctl::Next[1]);
    click(m, mctl::ArcOn[1]);
    QVERIFY(p.sent.empty());
    QCOMPARE(status, (QStringList{refused, refused, refused}));
    QCOMPARE(shown(m, 2), QStringLiteral("IN2 Input 2 OFF"));
    takeMode(p, true);
    toggle(m, 2, 4);
    QCOMPARE(preselectedHeard(m), QString());
    // A preselection made before the lock goes with it.
    toggle(m, 3, 5);
    QCOMPARE(preselectedHeard(m), QStringLiteral("C5"));
    click(m, mctl::Lock[2]);
    QCOMPARE(preselectedHeard(m), QString());
    click(m, mctl::Lock[2]);
    takeMode(p, false);

    // A recall changes every other output.
    Preset all5{QStringLiteral("All five"), {}};
    all5.routing.inputs.fill(5);
    all5.routing.arc.fill(false);
    {
        PresetStore store(p.presetsPath());
        QVERIFY(store.put(p.window->switchKey(), all5) && store.save());
    }
    m.reloadPresets();
    m.controlAs<QListWidget>(mctl::PresetList)->setCurrentRow(0);
    status.clear();
    click(m, mctl::RecallPreset);
    for (int o : {1, 3, 4, 6, 7, 8}) {
        QVERIFY(waitFor([&] { return !p.sent.empty(); }));
        QCOMPARE(p.sentHex(), QStringList{hex(build::routeSet(5, o))});
        p.sent.clear();
        p.receive(reply::routeSetAck(o));
    }
    QVERIFY(waitFor([&] { return p.window->ready(); }));
    QVERIFY(p.sent.empty());
    QCOMPARE(status, QStringList{QStringLiteral("The recall left locked outputs as they were: ") + refused});
    QCOMPARE(shown(m, 2), QStringLiteral("IN2 Input 2 OFF"));
    QCOMPARE(shown(m, 8), QStringLiteral("IN5 Input 5 OFF"));

    // Unlocked, the output is this panel's to change again.
    act(lock, QAccessibleActionInterface::toggleAction());
    settle();
    QVERIFY(!lock->isChecked());
    QCOMPARE(m.outputGroup(2)->title(), QStringLiteral("OUTPUT B"));
    toggle(m, 2, 4);
    QCOMPARE(p.sentHex(), QStringList{hex(build::routeSet(4, 2))});
}

QTEST_MAIN(TestMatrixPage)
#include "test_matrixpage.moc"
