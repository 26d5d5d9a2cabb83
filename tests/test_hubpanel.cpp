// The panel beside a hub: talvane-ctl serve holds the simulator's
// pseudo-terminal, and the panel's port list shows the port as reachable
// through the hub; Connect reaches it in one step and routes through the hub,
// and with Reconnect the port is opened directly once the hub lets it go. A
// hub that does not take the connection is reported as a port that would not
// open. The panel's time runs on the manual clock; the hub is a process of
// its own, and the bytes travel for real.
#include <QtTest>

#include <QAccessible>
#include <QGroupBox>
#include <QProcess>
#include <QRegularExpression>

#include <csignal>

#include "dialogs/popups.h"
#include "link/hubregistry.h"
#include "link/portlocks.h"
#include "pages/matrixpage.h"
#include "protocol/commands.h"
#include "sim/console.h"
#include "support/framehex.h"
#include "support/matrixview.h"
#include "support/programrun.h"
#include "support/simbench.h"

using namespace talvane;
namespace ids = talvane::matrix::ctl;

namespace {

// A SimBench whose panel and hub share registries of their own.
struct HubPanelBench : SimBench {
    QProcess hub;

    HubPanelBench()
    {
        qputenv("TALVANE_HUB_REGISTRY", hubs().toLocal8Bit());
        qputenv("TALVANE_SYSTEM_HUB_REGISTRY", registry.filePath(QStringLiteral("system-hubs")).toLocal8Bit());
    }
    ~HubPanelBench()
    {
        if (hub.state() != QProcess::NotRunning) {
            hub.kill();
            hub.waitForFinished();
        }
        qunsetenv("TALVANE_HUB_REGISTRY");
        qunsetenv("TALVANE_SYSTEM_HUB_REGISTRY");
    }
    QString hubs() const { return registry.filePath(QStringLiteral("hubs")); }
    QString com() const { return QStringLiteral("COM%1").arg(sim->serialCom()); }

    // serve on the simulator's port, until it has registered; its entry.
    std::optional<HubEntry> startHub()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), registry.filePath(QStringLiteral("config")));
        hub.setProcessEnvironment(env);  // the registries of this process
        hub.start(QStringLiteral(TALVANE_CTL_PROGRAM),
                  {QStringLiteral("--port"), com(), QStringLiteral("serve"), QStringLiteral("--control"),
                   QStringLiteral("127.0.0.1:0"), QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")});
        const QString entry = hubs() + QStringLiteral("/hub-%1").arg(hub.processId());
        if (!waitFor([&] { return QFile::exists(entry) || hub.state() == QProcess::NotRunning; }))
            return std::nullopt;
        QFile f(entry);
        return f.open(QIODevice::ReadOnly) ? HubRegistry::parse(f.readAll()) : std::nullopt;
    }
    int listIndex()
    {
        window().generalPage().refreshPortList();
        return window().controlAs<QComboBox>(ctl::PortList)->findText(com());
    }
    void connectAt(int index)
    {
        window().controlAs<QComboBox>(ctl::PortList)->setCurrentIndex(index);
        window().controlAs<QPushButton>(ctl::Connect)->click();
    }
};

bool matches(const QString& pattern, const QString& text) { return QRegularExpression(pattern).match(text).hasMatch(); }

}  // namespace

class TestHubPanel : public QObject {
    Q_OBJECT
private slots:
    void connectsAndRoutesThroughTheHub();
    void hubThatDoesNotAnswer();
    void locksSharedWithTheCommandLine();
};

void TestHubPanel::connectsAndRoutesThroughTheHub()
{
    HubPanelBench b;
    QVERIFY(b.sim->start());
    b.window().controlAs<QCheckBox>(ctl::Reconnect)->click();
    const std::optional<HubEntry> hub = b.startHub();
    QVERIFY(hub);
    const QString through = QStringLiteral("through the hub at 127.0.0.1:%1").arg(hub->controlPort);

    // Listed though the hub holds it, under its own name, and said so.
    const int index = b.listIndex();
    QVERIFY(index >= 0);
    auto* list = b.window().controlAs<QComboBox>(ctl::PortList);
    QVERIFY2(list->itemData(index, Qt::ToolTipRole).toString().endsWith(u'\n' + through),
             qPrintable(list->itemData(index, Qt::ToolTipRole).toString()));
    QCOMPARE(list->itemData(index, Qt::AccessibleDescriptionRole).toString(), through);

    // One click: the panel's serial port stays closed, the hub carries the exchanges.
    const int before = int(b.received().size());
    b.connectAt(index);
    QVERIFY(waitFor([&] { return b.window().linkOpen(); }));
    QVERIFY(!b.window().serialPort().isOpen());
    QCOMPARE(b.window().controlAs<QPushButton>(ctl::Connect)->text(), QStringLiteral("Disconnect"));
    QVERIFY(waitFor([&] { return b.window().linkStatus() == QStringLiteral("Connected: %1 (%2)").arg(b.com(), through); }));
    QVERIFY(waitFor([&] { return b.window().ready() && b.window().session().idle(); }));
    QVERIFY(b.received().mid(before).contains(hexOf(build::powerStateQuery())));

    b.window().pressAt(b.window().control(ctl::TabMatrix)->geometry().center());
    auto& m = *qobject_cast<CMatrixDlg*>(b.window().pageWindow(Page::Matrix));
    QVERIFY(waitFor([&] { return b.window().ready() && b.window().session().idle(); }));
    act(m.control(ids::Input[2][4]), QAccessibleActionInterface::toggleAction());
    QVERIFY(waitFor([&] { return shownOnMatrix(m, 3).startsWith(QStringLiteral("IN5 ")); }));
    QCOMPARE(b.model().route[2], 5);
    QCOMPARE(b.hub.state(), QProcess::Running);
    QVERIFY(b.panel->messageTexts().isEmpty());

    // The hub ends: the panel's rules for a lost serial line hold, and the
    // port, free now, is opened directly.
    ::kill(pid_t(b.hub.processId()), SIGTERM);
    QVERIFY(waitFor([&] { return b.hub.state() == QProcess::NotRunning; }));
    QVERIFY(waitFor([&] { return !b.window().linkOpen(); }));
    QVERIFY(matches(QStringLiteral("^Link lost: %1 at ").arg(b.com()), b.window().linkStatus()));
    QVERIFY2(advanceUntil(b.panel->clock, [&] { return b.window().serialPort().isOpen(); }) >= 0,
             qPrintable(b.window().linkStatus()));
    QVERIFY2(waitFor([&] {
        return matches(QStringLiteral("^Reconnected: %1 \\(Talvane switch simulator, /dev/pts/\\d+\\) at ").arg(b.com()),
                       b.window().linkStatus());
    }), qPrintable(b.window().linkStatus()));
    QVERIFY(b.panel->messageTexts().isEmpty());
}

void TestHubPanel::hubThatDoesNotAnswer()
{
    HubPanelBench b;
    QVERIFY(b.sim->start());
    // A hub's entry whose control port nobody listens on (the hub is going away).
    QProcess alive;
    alive.start(QStringLiteral("sleep"), {QStringLiteral("600")});
    QVERIFY(alive.waitForStarted());
    HubEntry gone;
    gone.devicePath = b.sim->serialPath();
    gone.comNumber = b.sim->serialCom();
    gone.controlAddress = QHostAddress::LocalHost;
    gone.controlPort = 1;
    gone.pid = alive.processId();
    gone.startTime = processStartTime(gone.pid);
    QVERIFY(QDir().mkpath(b.hubs()) && QFile::setPermissions(b.hubs(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QFile f(b.hubs() + QStringLiteral("/hub-%1").arg(gone.pid));
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(HubRegistry::format(gone)) > 0);
    f.close();

    const int index = b.listIndex();
    QVERIFY(index >= 0);
    b.connectAt(index);
    QVERIFY(waitFor([&] { return !b.panel->messageTexts().isEmpty(); }));
    QCOMPARE(b.panel->messageTexts(), QStringList{text::OpenComFailed});
    QVERIFY2(matches(QStringLiteral("^Cannot connect: %1 \\(the hub at 127\\.0\\.0\\.1:1: .+\\)$").arg(b.com()),
                     b.window().linkStatus()),
             qPrintable(b.window().linkStatus()));
    QCOMPARE(b.window().controlAs<QPushButton>(ctl::Connect)->text(), QStringLiteral("Connect"));
    QVERIFY(b.window().control(ctl::PortList)->isEnabled());
    QCOMPARE(int(b.received().size()), 0);
    alive.kill();
    alive.waitForFinished();
}

QTEST_MAIN(TestHubPanel)
#include "test_hubpanel.moc"

// Through the hub the Matrix page's locks are the hub's: the panel's lock
// refuses talvane-ctl's route and lets the panel's own clicks through the
// control port; the command line's lock shows on the page, and the panel's
// clicks on it are refused with the reason in the status line.
void TestHubPanel::locksSharedWithTheCommandLine()
{
    HubPanelBench b;
    QVERIFY(b.sim->start());
    QVERIFY(b.startHub());
    b.connectAt(b.listIndex());
    QVERIFY(waitFor([&] { return b.window().linkOpen() && b.window().ready() && b.window().session().idle(); }));
    b.window().pressAt(b.window().control(ctl::TabMatrix)->geometry().center());
    auto& m = *qobject_cast<CMatrixDlg*>(b.window().pageWindow(Page::Matrix));
    QVERIFY(waitFor([&] { return m.sharedLocks() && b.window().ready() && b.window().session().idle(); }));
    const auto ctl = [](const QStringList& args) {
        return runProgram(QStringLiteral(TALVANE_CTL_PROGRAM), args, QProcessEnvironment::systemEnvironment());
    };

    auto* lockB = m.controlAs<QPushButton>(ids::Lock[1]);
    act(lockB, QAccessibleActionInterface::toggleAction());
    QVERIFY(waitFor([&] { return lockB->isChecked(); }));
    const QString panel = QStringLiteral("the panel (pid %1)").arg(QCoreApplication::applicationPid());
    QCOMPARE(ctl({QStringLiteral("locks")}).out, QStringLiteral("Output B  locked by %1\n").arg(panel));
    const Run refused = ctl({QStringLiteral("route"), QStringLiteral("4:B")});
    QCOMPARE(refused.exitCode, 6);
    QVERIFY2(refused.err.contains(QStringLiteral("output B is locked by ") + panel), qPrintable(refused.err));
    // The holder's own click goes through.
    act(m.control(ids::Input[1][3]), QAccessibleActionInterface::toggleAction());
    QVERIFY(waitFor([&] { return shownOnMatrix(m, 2).startsWith(QStringLiteral("IN4 ")); }));
    QCOMPARE(b.model().route[1], 4);

    QCOMPARE(ctl({QStringLiteral("lock"), QStringLiteral("C")}).exitCode, 0);
    auto* lockC = m.controlAs<QPushButton>(ids::Lock[2]);
    QVERIFY(waitFor([&] { return lockC->isChecked(); }));
    QCOMPARE(m.outputGroup(3)->title(), QStringLiteral("OUTPUT C (locked)"));
    act(m.control(ids::Input[2][4]), QAccessibleActionInterface::toggleAction());
    QVERIFY(waitFor([&] { return b.window().linkStatus() == QStringLiteral("Output C is locked by the command line"); }));
    // Nor may the panel release it.
    b.window().setLinkStatus(QString());
    act(lockC, QAccessibleActionInterface::toggleAction());
    QVERIFY(waitFor([&] { return b.window().linkStatus() == QStringLiteral("output C is locked by the command line"); }));
    QVERIFY(lockC->isChecked());
    QCOMPARE(b.model().route[2], 3);

    // Changed at the switch's front panel: the hub's idle read finds it, the status line says so.
    sim::Console console(b.sim->device());
    QVERIFY(console.execute(QStringLiteral("route 6 2")).ok);
    QVERIFY2(waitFor([&] {
        return b.window().linkStatus() == QStringLiteral("Output B, locked by %1, was switched to input 6 at the switch").arg(panel);
    }), qPrintable(b.window().linkStatus()));
    QVERIFY(b.panel->messageTexts().isEmpty());
}
