// Finding the hub, as users meet it: talvane-ctl serve runs as a process on
// the simulator's pseudo-terminal or TCP port, registers itself, and
// talvane-ctl run beside it goes through it while the hub keeps the port; the
// entry goes when the hub is stopped by a signal, a killed hub's entry is
// ignored, a second hub for the same switch is refused, and an entry in a
// directory others may write is not followed.
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include "link/hubregistry.h"
#include "link/portlocks.h"
#include "sim/simulator.h"
#include "support/programrun.h"
#include "support/waitfor.h"

using namespace talvane;

namespace {

// The simulator in this process, on a pseudo-terminal and a free TCP port;
// the hub and talvane-ctl as processes, with registries of their own.
struct HubBench {
    QTemporaryDir dir;
    std::unique_ptr<sim::Simulator> sim;
    QProcess hub;
    QString hubOut, hubErr;

    HubBench()
    {
        sim::SimOptions o;
        o.tcpPort = 0;
        o.udp = false;
        o.registryDirectory = dir.filePath("ports");
        sim = std::make_unique<sim::Simulator>(o);
    }
    ~HubBench()
    {
        if (hub.state() != QProcess::NotRunning) {
            hub.kill();
            hub.waitForFinished();
        }
    }
    QString hubs() const { return dir.filePath("hubs"); }
    QString systemHubs() const { return dir.filePath("system-hubs"); }
    QString com() const { return QStringLiteral("COM%1").arg(sim->serialCom()); }
    QString host() const { return QStringLiteral("127.0.0.1:%1").arg(sim->tcpPort()); }
    sim::SwitchModel& model() { return sim->device().model(); }

    QProcessEnvironment env() const
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("TALVANE_PORT_REGISTRY", dir.filePath("ports"));
        e.insert("TALVANE_HUB_REGISTRY", hubs());
        e.insert("TALVANE_SYSTEM_HUB_REGISTRY", systemHubs());
        e.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        return e;
    }
    QString entryPath() const { return hubs() + QStringLiteral("/hub-%1").arg(hub.processId()); }
    // The hub's control port, as it says at start.
    quint16 controlPort()
    {
        static const QRegularExpression said(QStringLiteral("control protocol .* on 127\\.0\\.0\\.1:(\\d+)\n"));
        QRegularExpressionMatch m;
        waitFor([&] {
            hubOut += QString::fromUtf8(hub.readAllStandardOutput());
            m = said.match(hubOut);
            return m.hasMatch() || hub.state() == QProcess::NotRunning;
        });
        return quint16(m.captured(1).toUInt());
    }

    // Starts serve on `where` and waits until it has registered.
    bool startHub(const QStringList& where)
    {
        hub.setProcessEnvironment(env());
        hub.start(QStringLiteral(TALVANE_CTL_PROGRAM),
                  where + QStringList{"serve", "--control", "127.0.0.1:0", "--listen", "127.0.0.1:0"});
        return waitFor([&] { return QFile::exists(entryPath()) || hub.state() == QProcess::NotRunning; })
               && hub.state() == QProcess::Running;
    }
    bool stopHub(int signal)
    {
        ::kill(pid_t(hub.processId()), signal);
        const bool ended = waitFor([&] { return hub.state() == QProcess::NotRunning; });
        hubErr = QString::fromUtf8(hub.readAllStandardError());
        return ended;
    }

    Run ctl(const QStringList& args) { return runProgram(QStringLiteral(TALVANE_CTL_PROGRAM), args, env()); }
    // The line `talvane-ctl ports` prints for the simulator's port.
    QString portsLine()
    {
        const Run r = ctl({"ports"});
        for (const QString& line : r.out.split(u'\n'))
            if (line.startsWith(com() + QStringLiteral("  ")))
                return line;
        return QStringLiteral("(not listed) ") + r.err;
    }
};

QString through(qint64 pid, quint16 port)
{
    return QStringLiteral("is served by the hub (talvane-ctl serve, pid %1); going through it at 127.0.0.1:%2").arg(pid).arg(port);
}

}  // namespace

class TestHubDiscovery : public QObject {
    Q_OBJECT
private slots:
    void commandsGoThroughTheHub_data();
    void commandsGoThroughTheHub();
    void entryGoesWithTheHub_data();
    void entryGoesWithTheHub();
    void killedHubIsIgnored();
    void secondHubIsRefused();
    void untrustedDirectories_data();
    void untrustedDirectories();
};

void TestHubDiscovery::commandsGoThroughTheHub_data()
{
    QTest::addColumn<QString>("hubOn");  // "port" or "host"
    QTest::addColumn<bool>("named");     // the command names the switch (else the single hub is found)
    QTest::newRow("--port COMn") << "port" << true;
    QTest::newRow("--host") << "host" << true;
    QTest::newRow("no address: the single hub") << "port" << false;
    QTest::newRow("no address: the single hub, on the network") << "host" << false;
}

void TestHubDiscovery::commandsGoThroughTheHub()
{
    QFETCH(QString, hubOn);
    QFETCH(bool, named);
    HubBench b;
    QVERIFY(b.sim->start());
    const bool serial = hubOn == "port";
    const QStringList where = serial ? QStringList{"--port", b.com()} : QStringList{"--host", b.host()};
    QVERIFY(b.startHub(where));
    const quint16 control = b.controlPort();
    QVERIFY(control != 0);

    const Run route = b.ctl((named ? where : QStringList()) + QStringList{"route", "5:C"});
    QCOMPARE(route.exitCode, 0);
    QVERIFY2(route.err.contains((serial ? b.com() : b.host()) + u' ' + through(b.hub.processId(), control)),
             qPrintable(route.err));
    QCOMPARE(b.model().route[2], 5);
    // The same labels key as if it had opened the port or the connection itself.
    const Run status = b.ctl((named ? where : QStringList()) + QStringList{"--json", "status"});
    QCOMPARE(status.exitCode, 0);
    QCOMPARE(QJsonDocument::fromJson(status.out.toUtf8()).object().value("switch").toString(),
             serial ? QStringLiteral("port:") + b.com() : QStringLiteral("host:") + b.host());
    // The hub keeps the port all along.
    QCOMPARE(b.hub.state(), QProcess::Running);
    QVERIFY(QFile::exists(b.entryPath()));
    if (serial)
        QVERIFY2(b.portsLine().endsWith(QStringLiteral("(served by the hub, pid %1, at 127.0.0.1:%2)")
                                            .arg(b.hub.processId())
                                            .arg(control)),
                 qPrintable(b.portsLine()));
}

void TestHubDiscovery::entryGoesWithTheHub_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM (systemctl stop)") << int(SIGTERM);
    QTest::newRow("SIGINT (Ctrl+C)") << int(SIGINT);
}

void TestHubDiscovery::entryGoesWithTheHub()
{
    QFETCH(int, signal);
    HubBench b;
    QVERIFY(b.sim->start());
    QVERIFY(b.startHub({"--port", b.com()}));
    const quint16 control = b.controlPort();
    // What it holds and where it is reached, and who it is.
    QFile f(b.entryPath());
    QVERIFY(f.open(QIODevice::ReadOnly));
    const std::optional<HubEntry> entry = HubRegistry::parse(f.readAll());
    QVERIFY(entry);
    QCOMPARE(entry->devicePath, b.sim->serialPath());
    QCOMPARE(entry->comNumber, b.sim->serialCom());
    QCOMPARE(entry->control(), QStringLiteral("127.0.0.1:%1").arg(control));
    QCOMPARE(entry->pid, b.hub.processId());
    QCOMPARE(entry->startTime, processStartTime(b.hub.processId()));
    // The directory is private, as the port registry is.
    QCOMPARE(QFileInfo(b.hubs()).permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
             QFile::Permissions());

    QVERIFY(b.stopHub(signal));
    QCOMPARE(b.hub.exitStatus(), QProcess::NormalExit);
    QCOMPARE(b.hub.exitCode(), 0);
    QVERIFY2(b.hubErr.contains(signal == SIGTERM ? "stopped by SIGTERM" : "stopped by SIGINT"), qPrintable(b.hubErr));
    QVERIFY(!QFile::exists(b.entryPath()));
    // The port is free again, and the command opens it itself.
    QVERIFY2(!b.portsLine().contains("served"), qPrintable(b.portsLine()));
    const Run route = b.ctl({"--port", b.com(), "route", "5:C"});
    QCOMPARE(route.exitCode, 0);
    QVERIFY(!route.err.contains("hub"));
}

void TestHubDiscovery::killedHubIsIgnored()
{
    HubBench b;
    QVERIFY(b.sim->start());
    QVERIFY(b.startHub({"--port", b.com()}));
    const QString entry = b.entryPath();
    QVERIFY(b.stopHub(SIGKILL));
    QVERIFY(QFile::exists(entry));  // nothing could remove it
    const Run route = b.ctl({"--port", b.com(), "route", "5:C"});
    QCOMPARE(route.exitCode, 0);
    QVERIFY2(!route.err.contains("hub"), qPrintable(route.err));
    QCOMPARE(b.model().route[2], 5);
    QVERIFY(!QFile::exists(entry));  // removed on the way
}

void TestHubDiscovery::secondHubIsRefused()
{
    HubBench b;
    QVERIFY(b.sim->start());
    QVERIFY(b.startHub({"--port", b.com()}));
    const quint16 control = b.controlPort();
    const Run second = b.ctl({"--port", b.com(), "serve", "--control", "127.0.0.1:0", "--listen", "127.0.0.1:0"});
    QCOMPARE(second.exitCode, 4);
    QVERIFY2(second.err.contains(QStringLiteral("%1 is served already by the hub (talvane-ctl serve, pid %2) at 127.0.0.1:%3")
                                     .arg(b.com())
                                     .arg(b.hub.processId())
                                     .arg(control)),
             qPrintable(second.err));
    QCOMPARE(b.hub.state(), QProcess::Running);
}

void TestHubDiscovery::untrustedDirectories_data()
{
    QTest::addColumn<QString>("place");  // "own" or "system"
    QTest::addColumn<QString>("mode");   // of the directory holding the entry ("other user": another user's)
    QTest::addColumn<QString>("rootMode");  // system: of the root-owned directory above
    QTest::addColumn<QString>("refusal");   // empty: followed
    QTest::newRow("own, private") << "own" << "0700" << "" << "";
    QTest::newRow("own, others may write") << "own" << "0777" << "" << "may be written by other users (mode 0777)";
    QTest::newRow("own, the group may write") << "own" << "0770" << "" << "may be written by other users (mode 0770)";
    QTest::newRow("own, another user's") << "own" << "other user" << "" << "is owned by user 65534, not by user";
    QTest::newRow("system, the service's instance") << "system" << "other user" << "0755" << "";
    QTest::newRow("system, others may write the instance") << "system" << "0777" << "0755"
                                                           << "may be written by other users (mode 0777)";
    QTest::newRow("system, others may write above it") << "system" << "0755" << "1777"
                                                       << "may be written by other users (mode 1777)";
}

// An entry planted where another user could have written it would send the
// panel's and talvane-ctl's commands to whoever listens at its address.
void TestHubDiscovery::untrustedDirectories()
{
    QFETCH(QString, place);
    QFETCH(QString, mode);
    QFETCH(QString, rootMode);
    QFETCH(QString, refusal);
    if ((mode == "other user" || place == "system") && ::geteuid() != 0)
        QSKIP("needs root: the directories of other users and of the system");
    HubBench b;
    QVERIFY(b.sim->start());
    auto setMode = [](const QString& path, const QString& m) {
        if (m == "other user")
            return ::chown(QFile::encodeName(path).constData(), 65534, 65534) == 0
                   && ::chmod(QFile::encodeName(path).constData(), 0755) == 0;
        return ::chmod(QFile::encodeName(path).constData(), mode_t(m.toUInt(nullptr, 8))) == 0;
    };
    const QString dir = place == "own" ? b.hubs() : b.systemHubs() + "/COM1";
    QVERIFY(QDir().mkpath(dir));
    HubEntry planted;
    planted.devicePath = b.sim->serialPath();
    planted.comNumber = b.sim->serialCom();
    planted.controlAddress = QHostAddress::LocalHost;
    planted.controlPort = 1;
    planted.pid = QCoreApplication::applicationPid();  // alive: this test
    planted.startTime = processStartTime(planted.pid);
    QFile f(dir + "/hub-" + QString::number(planted.pid));
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(HubRegistry::format(planted)) > 0);
    f.close();
    QVERIFY(setMode(dir, mode));
    if (!rootMode.isEmpty())
        QVERIFY(setMode(b.systemHubs(), rootMode));

    const Run ports = b.ctl({"ports"});
    QCOMPARE(ports.exitCode, 0);
    const bool followed = refusal.isEmpty();
    QVERIFY2(ports.out.contains(QStringLiteral("(served by the hub, pid %1, at 127.0.0.1:1)").arg(planted.pid)) == followed,
             qPrintable(ports.out));
    if (!followed)
        QVERIFY2(ports.err.contains(QStringLiteral("hubs in %1 ignored: the directory %2")
                                        .arg(rootMode == "1777" ? b.systemHubs() : dir, refusal)),
                 qPrintable(ports.err));
    // Where it is not followed, the port is the simulator's own, free to open.
    const Run route = b.ctl({"--port", b.com(), "route", "5:C"});
    QCOMPARE(route.exitCode, followed ? 3 : 0);
    QCOMPARE(b.model().route[2] == 5, !followed);
}

QTEST_GUILESS_MAIN(TestHubDiscovery)
#include "test_hubdiscovery.moc"
