// Routing presets and following on the Matrix page, against the simulated
// switch over a real serial line (a pseudo-terminal): what a recall sends and
// what the page and the preset list show then, where a silent switch stops a
// recall, a damaged presets file, and a route made at the switch itself
// showing while "Follow changes" is on. Controls are worked as an operator or
// a screen reader would; time runs on the manual clock.
#include <QtTest>

#include <QAccessible>
#include <QGroupBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QListWidget>

#include "app/namesdialog.h"
#include "ops/limits.h"
#include "pages/edidpage.h"
#include "pages/matrixpage.h"
#include "protocol/commands.h"
#include "sim/switchdevice.h"
#include "support/framehex.h"
#include "support/matrixview.h"
#include "support/simbench.h"

using namespace talvane;
namespace ids = talvane::matrix::ctl;

namespace {

// The accessible names of the preset list's entries, as a screen reader
// hears them (an entry's accessible text, else its text).
QStringList presetNames(CMatrixDlg& m)
{
    auto* list = m.controlAs<QListWidget>(ids::PresetList);
    QStringList out;
    for (int k = 0; k < list->count(); ++k) {
        const QString name = list->item(k)->data(Qt::AccessibleTextRole).toString();
        out << (name.isEmpty() ? list->item(k)->text() : name);
    }
    return out;
}

struct MatrixBench : SimBench {
    CMatrixDlg* page = nullptr;

    // Connects and enters the Matrix page; its entry read has ended.
    bool enterMatrix()
    {
        if (!connect() || !waitFor([&] { return window().ready() && received().size() >= 2; }))
            return false;
        window().pressAt(window().control(ctl::TabMatrix)->geometry().center());
        page = qobject_cast<CMatrixDlg*>(window().pageWindow(Page::Matrix));
        if (!page || !waitFor([&] { return window().ready() && page->reported().complete(); }))
            return false;
        const Session::Counters& c = window().session().counters();
        sentOffset = received().size() - int(c.sent);
        receivedOffset = simSent() - int(c.received);
        return true;
    }
    // A button's press action clicks it a moment later, as a short press would.
    void press(int id)
    {
        auto* button = page->controlAs<QAbstractButton>(id);
        act(button, QAccessibleActionInterface::pressAction());
        QVERIFY(waitFor([&] { return !button->isDown(); }));
        QCoreApplication::sendPostedEvents();
    }
    void savePreset(const QString& name)
    {
        page->controlAs<QLineEdit>(ids::PresetName)->setText(name);
        press(ids::SavePreset);
        QCoreApplication::sendPostedEvents();
    }
    void select(int row) { page->controlAs<QListWidget>(ids::PresetList)->setCurrentRow(row); }
    // Frames the switch sent, as traced.
    int simSent()
    {
        QFile f(tracePath);
        int n = 0;
        if (f.open(QIODevice::ReadOnly))
            for (const QByteArray& line : f.readAll().split('\n'))
                n += line.startsWith("> ") ? 1 : 0;
        return n;
    }
    // Everything either side wrote has reached the other (counted from
    // when the page was entered, the greeting's frames set apart).
    int sentOffset = 0;
    int receivedOffset = 0;
    bool balanced()
    {
        const Session::Counters& c = window().session().counters();
        return received().size() - int(c.sent) == sentOffset && simSent() - int(c.received) == receivedOffset;
    }
    // Moves the manual clock on in steps; after each, what went out has arrived.
    void pass(qint64 ms, qint64 step = 100)
    {
        for (qint64 t = 0; t < ms; t += step) {
            panel->clock.advance(step);
            if (!waitFor([&] { return balanced(); }, 2000)) {
                const Session::Counters& c = window().session().counters();
                QFAIL(qPrintable(QStringLiteral("sim got %1 of %2, panel got %3 of %4").arg(received().size()).arg(c.sent).arg(c.received).arg(simSent())));
            }
        }
    }
    // Frames the switch received from `from` on.
    QStringList receivedFrom(int from) { return received().mid(from); }
};

}  // namespace

class TestE2EPresets : public QObject {
    Q_OBJECT
private slots:
    void saveRecallAndActiveMark();
    void recallStopsAtTheSilentOutput();
    void damagedFileIsReportedAndKept();
    void sixtyFifthPresetIsRefused();
    void followYieldsToAClickAndStaysQuietWhenUnanswered();
    void followReadsThePageShown_data();
    void followReadsThePageShown();
    void takeModeAgainstTheSwitch();
    void namesShowWhereTheOperatorLooks();
    void refusedNamesAndADamagedNamesFile();
};

void TestE2EPresets::saveRecallAndActiveMark()
{
    MatrixBench b;
    b.model().route = {3, 5, 1, 8, 2, 7, 4, 8};
    b.model().arc = {false, true, false, false, true, false, false, false};
    QVERIFY(b.enterMatrix());
    const auto preset = b.model().route;
    const auto presetArc = b.model().arc;

    // Typed, spaces and all (the page swallows Space elsewhere).
    auto* name = b.page->controlAs<QLineEdit>(ids::PresetName);
    QTest::keyClicks(name, QStringLiteral(" Sunday service"));
    QCOMPARE(name->text(), QStringLiteral(" Sunday service"));
    QTest::keyClick(name, Qt::Key_Return);  // Enter saves nothing and closes nothing
    QVERIFY(presetNames(*b.page).isEmpty());
    b.savePreset(QStringLiteral("  Service "));
    QCOMPARE(presetNames(*b.page), QStringList{"Service, active"});
    QVERIFY(b.panel->messageTexts().isEmpty());

    // Route by hand: input 6 to output A, ARC on for C. The mark goes.
    act(b.page->control(ids::Input[0][5]), QAccessibleActionInterface::toggleAction());
    QVERIFY(waitFor([&] { return b.window().ready() && b.model().route[0] == 6; }));
    act(b.page->control(ids::ArcOn[2]), QAccessibleActionInterface::toggleAction());
    QVERIFY(waitFor([&] { return b.window().ready() && b.model().arc[2]; }));
    QCOMPARE(presetNames(*b.page), QStringList{"Service"});

    // A second preset of this routing.
    b.savePreset(QStringLiteral("Break"));
    QCOMPARE(presetNames(*b.page), (QStringList{"Service", "Break, active"}));

    // Recall "Service": only the two differences go out, in output order.
    const int before = b.received().size();
    b.select(0);
    b.press(ids::RecallPreset);
    QVERIFY(waitFor([&] { return b.window().ready() && b.model().route == preset && b.model().arc == presetArc; }));
    QCOMPARE(b.receivedFrom(before), (QStringList{hexOf(build::routeSet(3, 1)), hexOf(build::arcSet(3, false))}));
    QCOMPARE(shownOnMatrix(*b.page, 1), QStringLiteral("IN3 Input 3 OFF"));
    QCOMPARE(shownOnMatrix(*b.page, 3), QStringLiteral("IN1 Input 1 OFF"));
    QCOMPARE(presetNames(*b.page), (QStringList{"Service, active", "Break"}));

    // Kept in the file for this switch: a new page on the same file lists both.
    CMatrixDlg other(b.window().presenter(), nullptr, b.panel->presetsPath(), [&] { return b.window().switchKey(); });
    QCOMPARE(presetNames(other), (QStringList{"Service", "Break"}));
    CMatrixDlg elsewhere(b.window().presenter(), nullptr, b.panel->presetsPath(), [] { return QStringLiteral("port:COM9"); });
    QVERIFY(presetNames(elsewhere).isEmpty());

    // Delete "Break".
    b.select(1);
    b.press(ids::DeletePreset);
    QCOMPARE(presetNames(*b.page), QStringList{"Service, active"});
    QVERIFY(b.panel->messageTexts().isEmpty());
}

void TestE2EPresets::recallStopsAtTheSilentOutput()
{
    MatrixBench b;
    b.model().route = {2, 3, 4, 5, 1, 1, 1, 1};
    b.model().arc = {false, false, true, false, false, false, false, false};
    QVERIFY(b.enterMatrix());
    b.savePreset(QStringLiteral("Presentation"));
    b.model().route = {1, 1, 1, 1, 1, 1, 1, 1};
    b.model().arc = {false, false, false, false, false, false, false, false};
    b.window().pressAt(b.window().control(ctl::TabMatrix)->geometry().center());
    QVERIFY(waitFor([&] { return b.window().ready() && shownOnMatrix(*b.page, 4) == QStringLiteral("IN1 Input 1 OFF"); }));

    // The switch takes routes but never answers an ARC setting: A and B are
    // set, C's route too, and the recall stops at C's ARC.
    b.sim->device().faults().silentCommands.insert(sim::commandKey(cmd::ArcSet));
    const int before = b.received().size();
    b.select(0);
    b.press(ids::RecallPreset);
    QVERIFY(waitFor([&] { return b.received().size() >= before + 4; }));
    b.pass(limits::Command.firstMs + limits::Command.retryMs);
    QVERIFY(waitFor([&] { return b.window().ready(); }));
    QCOMPARE(b.panel->messageTexts(), QStringList{"Recall stopped at output C: Time out!"});
    QCOMPARE(b.receivedFrom(before), (QStringList{hexOf(build::routeSet(2, 1)), hexOf(build::routeSet(3, 2)),
                                                  hexOf(build::routeSet(4, 3)), hexOf(build::arcSet(3, true)),
                                                  hexOf(build::arcSet(3, true))}));
    QCOMPARE(b.model().route[3], 1);  // D was never sent
    QCOMPARE(shownOnMatrix(*b.page, 3), QStringLiteral("IN4 Input 4 OFF"));
    QCOMPARE(shownOnMatrix(*b.page, 4), QStringLiteral("IN1 Input 1 OFF"));
    QCOMPARE(presetNames(*b.page), QStringList{"Presentation"});
}

void TestE2EPresets::damagedFileIsReportedAndKept()
{
    MatrixBench b;
    const QByteArray damaged = "{\"version\": 1, \"switches\": [\"not\", \"an object\"]}";
    {
        QFile f(b.panel->presetsPath());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(damaged);
    }
    QVERIFY(b.enterMatrix());
    QVERIFY(waitFor([&] { return !b.panel->messageTexts().isEmpty(); }));
    // Entering the page again reports nothing new.
    b.window().pressAt(b.window().control(ctl::TabMatrix)->geometry().center());
    QVERIFY(waitFor([&] { return b.window().ready(); }));
    QCoreApplication::sendPostedEvents();
    QCOMPARE(b.panel->messageTexts().size(), 1);
    QVERIFY(b.panel->messageTexts()[0].contains(QStringLiteral("damaged")));
    QVERIFY(b.panel->messageTexts()[0].contains(b.panel->presetsPath()));

    // A save says why nothing is saved, and the file stays as it was.
    b.savePreset(QStringLiteral("Service"));
    QCOMPARE(b.panel->messageTexts().size(), 2);
    QVERIFY(presetNames(*b.page).isEmpty());
    QFile f(b.panel->presetsPath());
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), damaged);
}

// A switch keeps at most PresetStore::kMaxPresets presets: one more is
// refused with the reason and the file stays as it was; a preset of a name
// already kept is still replaced.
void TestE2EPresets::sixtyFifthPresetIsRefused()
{
    MatrixBench b;
    QVERIFY(b.enterMatrix());
    {
        PresetStore full(b.panel->presetsPath());
        QVERIFY(full.load());
        for (int k = 1; k <= PresetStore::kMaxPresets; ++k)
            QVERIFY(full.put(b.window().switchKey(), {QStringLiteral("Preset %1").arg(k), b.page->reported()}));
        QVERIFY(full.save());
    }
    QByteArray before;
    {
        QFile f(b.panel->presetsPath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        before = f.readAll();
    }

    b.savePreset(QStringLiteral("One more"));
    QCOMPARE(b.panel->messageTexts(),
             QStringList{QString::fromUtf8(matrix::presetText::TooManyPresets).arg(PresetStore::kMaxPresets)});
    QCOMPARE(presetNames(*b.page).size(), PresetStore::kMaxPresets);
    QVERIFY(!presetNames(*b.page).contains(QStringLiteral("One more")));
    QFile f(b.panel->presetsPath());
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), before);
    f.close();

    b.savePreset(QStringLiteral("Preset 7"));
    QCOMPARE(b.panel->messageTexts().size(), 1);
    QCOMPARE(presetNames(*b.page).size(), PresetStore::kMaxPresets);
}

void TestE2EPresets::followYieldsToAClickAndStaysQuietWhenUnanswered()
{
    MatrixBench b;
    QVERIFY(b.enterMatrix());
    b.box(ctl::FollowChanges)->setChecked(true);
    // Replies take a while: the read is under way when the operator clicks.
    b.sim->device().faults().delayMs = 200;
    const int before = b.received().size();
    b.panel->clock.advance(limits::FollowPeriodMs);
    QVERIFY(waitFor([&] { return b.received().size() > before; }));
    QCOMPARE(b.receivedFrom(before), QStringList{hexOf(build::routeQuery(1))});
    act(b.page->control(ids::Input[1][4]), QAccessibleActionInterface::toggleAction());
    // The route goes out at once, and the read does not go on.
    QVERIFY(waitFor([&] { return b.received().size() > before + 1; }));
    QCOMPARE(b.receivedFrom(before), (QStringList{hexOf(build::routeQuery(1)), hexOf(build::routeSet(5, 2))}));
    b.pass(1000);
    QVERIFY(waitFor([&] { return b.window().ready() && shownOnMatrix(*b.page, 2).startsWith("IN5 "); }));
    QCOMPARE(b.receivedFrom(before).size(), 2);

    // A switch gone silent: a read's time-out shows in the status line, no box.
    b.sim->device().faults().silentAll = true;
    b.pass(limits::FollowPeriodMs + limits::ChainQuery.firstMs, 500);
    QVERIFY(b.panel->messageTexts().isEmpty());
    QVERIFY2(b.window().linkStatus().startsWith(QStringLiteral("No answer from COM%1 at ").arg(b.sim->serialCom())),
             qPrintable(b.window().linkStatus()));
    QVERIFY(b.window().ready());
    // It answers again: the status line is as it was.
    b.sim->device().faults().silentAll = false;
    b.pass(limits::FollowPeriodMs + limits::ChainQuery.firstMs + 4000);
    QVERIFY2(b.window().linkStatus().startsWith(QStringLiteral("Connected: COM%1").arg(b.sim->serialCom())),
             qPrintable(b.window().linkStatus()));
}

void TestE2EPresets::followReadsThePageShown_data()
{
    QTest::addColumn<int>("page");
    QTest::newRow("Matrix: routing and ARC") << int(Page::Matrix);
    QTest::newRow("General: sources and displays") << int(Page::General);
    QTest::newRow("EDID: the codes") << int(Page::Edid);
}

void TestE2EPresets::followReadsThePageShown()
{
    QFETCH(int, page);
    MatrixBench b;
    QVERIFY(b.enterMatrix());
    const int tab = page == int(Page::Matrix) ? ctl::TabMatrix : page == int(Page::General) ? ctl::TabGeneral : ctl::TabEdid;
    b.window().pressAt(b.window().control(tab)->geometry().center());
    QVERIFY(waitFor([&] { return b.window().ready(); }));
    b.pass(100);
    QVERIFY(!b.box(ctl::FollowChanges)->isChecked());  // off until the operator turns it on
    act(b.box(ctl::FollowChanges), QAccessibleActionInterface::toggleAction());

    // Changed at the switch: input 7 to output C and ARC on for H, a source
    // on input 3, a display on output E, input 5's EDID copied from output C.
    b.model().route[2] = 7;
    b.model().arc[7] = true;
    b.model().source[2] = true;
    b.model().display[4] = true;
    b.model().edidCode[4] = 17;
    auto shown = [&] {
        if (page == int(Page::Matrix))
            return shownOnMatrix(*b.page, 3).startsWith(QStringLiteral("IN7 Input 7 "))
                   && shownOnMatrix(*b.page, 8) == QStringLiteral("IN8 Input 8 ON");
        if (page == int(Page::General))
            return b.label(ctl::StatusInput1 + 2) == GeneralPage::inputStatusText(3, true)
                   && b.label(ctl::StatusOutputA + 4) == GeneralPage::outputStatusText(5, true);
        auto* edid = qobject_cast<CEDIDDlg*>(b.window().pageWindow(Page::Edid));
        return edid->controlAs<QLabel>(edid::ctl::Line[4])->text() == QStringLiteral("COPY TX C");
    };
    QVERIFY(!shown());
    // Within 6 s of turning it on.
    b.pass(limits::FollowPeriodMs + 1000, 500);
    QVERIFY(shown());
    QVERIFY(b.panel->messageTexts().isEmpty());
    // Remembered: a panel started later follows from the start.
    CTalvaneDlg later(nullptr, b.panel->settingsPath());
    QVERIFY(later.controlAs<QCheckBox>(ctl::FollowChanges)->isChecked());
    QVERIFY(later.follower().enabled());
}

void TestE2EPresets::takeModeAgainstTheSwitch()
{
    MatrixBench b;
    QVERIFY(b.enterMatrix());
    b.clickBox(ctl::TakeMode);
    const int before = b.received().size();
    // Three clicks send nothing.
    for (const auto& [output, input] : {std::pair{1, 4}, {3, 8}, {6, 2}})
        act(b.page->control(ids::Input[output - 1][input - 1]), QAccessibleActionInterface::toggleAction());
    QCoreApplication::sendPostedEvents();  // a click's action runs once the click has returned
    QCOMPARE((QList<int>{b.page->preselected(1), b.page->preselected(3), b.page->preselected(6)}), (QList<int>{4, 8, 2}));
    b.pass(1000);
    QCOMPARE(b.receivedFrom(before), QStringList());
    QCOMPARE(b.model().route[0], 1);

    // Take: exactly three RouteSets, each once the switch had answered the one before.
    b.press(ids::Take);
    QVERIFY(waitFor([&] { return b.window().ready() && b.model().route[5] == 2; }));
    const QStringList routes{hexOf(build::routeSet(4, 1)), hexOf(build::routeSet(8, 3)), hexOf(build::routeSet(2, 6))};
    QCOMPARE(b.receivedFrom(before), routes);
    QFile trace(b.tracePath);
    QVERIFY(trace.open(QIODevice::ReadOnly));
    QStringList order;  // what crossed the line from the first route on: "<" to the switch, ">" from it
    for (const QByteArray& line : trace.readAll().split('\n'))
        if (!order.isEmpty() || line == "< " + routes[0].toLatin1())
            if (!line.isEmpty())
                order << QString::fromLatin1(line.left(1));
    QCOMPARE(order, (QStringList{"<", ">", "<", ">", "<", ">"}));
    QCOMPARE(b.model().route[0], 4);
    QCOMPARE(b.model().route[2], 8);
    QCOMPARE(shownOnMatrix(*b.page, 6), QStringLiteral("IN2 Input 2 OFF"));
}

void TestE2EPresets::namesShowWhereTheOperatorLooks()
{
    MatrixBench b;
    b.model().source[2] = true;
    QVERIFY(b.enterMatrix());
    b.panel->modal->queue([](QDialog& d) {
        auto& names = static_cast<NamesDialog&>(d);
        QCOMPARE(names.inputField(3)->accessibleName(), QStringLiteral("Input 3 name"));
        QCOMPARE(names.outputField(2)->accessibleName(), QStringLiteral("Output B name"));
        names.inputField(3)->setText(QStringLiteral("  Stage camera "));
        names.outputField(2)->setText(QStringLiteral("Projector"));
        names.accept();
    });
    auto* button = b.window().controlAs<QPushButton>(ctl::Names);
    QCOMPARE(button->accessibleName(), QStringLiteral("Names..."));
    act(button, QAccessibleActionInterface::pressAction());
    QVERIFY(waitFor([&] { return b.panel->modal->records().size() == 1; }));
    QVERIFY(b.panel->messageTexts().isEmpty());

    QCOMPARE(b.page->outputGroup(2)->title(), QStringLiteral("OUTPUT B \u00B7 Projector"));
    QCOMPARE(b.page->outputGroup(1)->title(), QStringLiteral("OUTPUT A"));
    for (int o = 1; o <= matrix::kOutputs; ++o) {
        auto* in3 = b.page->control(ids::Input[o - 1][2]);
        QCOMPARE(in3->toolTip(), QStringLiteral("IN3: Stage camera"));
        QCOMPARE(in3->accessibleDescription(), QStringLiteral("IN3: Stage camera"));
        QCOMPARE(b.page->control(ids::Input[o - 1][0])->accessibleDescription(), CMatrixDlg::outputCaption(o));
    }
    // Kept in the shared names file, for this switch.
    QFile file(b.panel->labelsPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject names = QJsonDocument::fromJson(file.readAll())
                                  .object()["switches"].toObject()[b.window().switchKey()].toObject();
    QCOMPARE(names["inputs"].toObject()["3"].toString(), QStringLiteral("Stage camera"));
    QCOMPARE(names["outputs"].toObject()["B"].toString(), QStringLiteral("Projector"));

    // The General page's status lines say the names.
    b.window().pressAt(b.window().control(ctl::TabGeneral)->geometry().center());
    QVERIFY(waitFor([&] { return b.window().ready(); }));
    // The busy popup stays until the read has ended.
    b.panel->modal->queue([&](QDialog&) { QVERIFY(waitFor([] { return !Popups::instance().busyShown(); })); });
    b.window().controlAs<QPushButton>(ctl::Status)->click();
    QVERIFY(waitFor([&] { return b.window().ready() && !b.label(ctl::StatusOutputA + 7).isEmpty(); }));
    QCOMPARE(b.window().control(ctl::StatusInput1 + 2)->accessibleName(),
             GeneralPage::inputStatusText(3, true) + QStringLiteral(" \u00B7 Stage camera"));
    QCOMPARE(b.window().control(ctl::StatusOutputA + 1)->accessibleName(),
             GeneralPage::outputStatusText(2, b.model().display[1]) + QStringLiteral(" \u00B7 Projector"));
    QCOMPARE(b.label(ctl::StatusInput1), GeneralPage::inputStatusText(1, b.model().source[0]));
    // The name shows on the line itself, not only to a screen reader.
    QVERIFY(b.label(ctl::StatusInput1 + 2).contains(QStringLiteral("Stage camera")));
}

void TestE2EPresets::refusedNamesAndADamagedNamesFile()
{
    MatrixBench b;
    QVERIFY(b.enterMatrix());
    // A name too long keeps the dialog open and says why; Cancel saves nothing.
    QString problem;
    bool stayedOpen = false;
    b.panel->modal->queue([&](QDialog& d) {
        auto& names = static_cast<NamesDialog&>(d);
        names.outputField(1)->setText(QString(LabelStore::kMaxLength + 1, QLatin1Char('x')));
        names.accept();
        stayedOpen = d.result() != QDialog::Accepted;
        problem = names.problem();
        d.reject();
    });
    b.window().namesClicked();
    QVERIFY(stayedOpen);
    QVERIFY2(problem.startsWith(QStringLiteral("OUTPUT A: ")), qPrintable(problem));
    QVERIFY(!QFileInfo::exists(b.panel->labelsPath()));
    QCOMPARE(b.page->outputGroup(1)->title(), QStringLiteral("OUTPUT A"));

    // A damaged names file: said once on entering a page, again when
    // Names... is asked for, and left as it is.
    const QByteArray damaged = "{\"version\": 7}";
    {
        QFile f(b.panel->labelsPath());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(damaged);
    }
    for (int k = 0; k < 2; ++k) {
        b.window().pressAt(b.window().control(ctl::TabMatrix)->geometry().center());
        QVERIFY(waitFor([&] { return b.window().ready(); }));
        QCoreApplication::sendPostedEvents();
    }
    QCOMPARE(b.panel->messageTexts().size(), 1);
    b.window().namesClicked();
    QCOMPARE(b.panel->messageTexts().size(), 2);
    QVERIFY(b.panel->messageTexts()[1].startsWith(QStringLiteral("The names file is damaged")));
    QFile f(b.panel->labelsPath());
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), damaged);
}

QTEST_MAIN(TestE2EPresets)
#include "test_e2e_presets.moc"
