// Output locks through the hub as users meet them: talvane-ctl serve
// in-process on the simulator's pseudo-terminal (its time on the manual
// clock), talvane-ctl programs beside it, a Videohub surface, the web API and
// a program on the control port. What reached the switch is read from the
// simulator's traffic log.
#include <QtTest>

#include <QTemporaryDir>

#include <QLocalSocket>

#include <cstring>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ctl/ctl.h"
#include "ctl/serve.h"
#include "hub/limits.h"
#include "link/hubchannel.h"
#include "link/hubregistry.h"
#include "ops/limits.h"
#include "ops/presets.h"
#include "protocol/answers.h"
#include "protocol/commands.h"
#include "sim/console.h"
#include "sim/simulator.h"
#include "support/appclock.h"
#include "support/httphub.h"
#include "support/programrun.h"
#include "support/videohubclient.h"
#include "support/waitfor.h"

using namespace talvane;

namespace {

const QString kServing = QStringLiteral("Stop with Ctrl+C");

// The hub on the simulated switch, with the registries of this test alone.
struct Rig {
    ManualClock clock;
    AppClockScope scope{&clock};
    QTemporaryDir dir;
    std::unique_ptr<sim::Simulator> simulator;
    std::unique_ptr<sim::Console> console;
    QStringList out, err;
    ctl::Environment env;
    // Runs once the hub serves; the switch's link closes after it.
    std::function<void()> whileServing;
    quint16 videohubPort = 0, httpPort = 0, controlPort = 0;

    Rig()
    {
        static bool added = false;
        if (!added) {
            ctl::addCommand(ctl::serveCommand());
            added = true;
        }
        qputenv("TALVANE_PORT_REGISTRY", dir.filePath(QStringLiteral("ports")).toLocal8Bit());
        qputenv("TALVANE_HUB_REGISTRY", dir.filePath(QStringLiteral("hubs")).toLocal8Bit());
        env = environment(out, err);
        env.wait = [this](const std::function<bool()>& done) {
            while (!done()) {
                if (whileServing && !out.filter(kServing).isEmpty()) {
                    videohubPort = portOf(QStringLiteral("Videohub clients on "));
                    httpPort = portOf(QStringLiteral("The web remote and HTTP API on "));
                    controlPort = portOf(QStringLiteral("The switch's control protocol"));
                    const auto script = std::move(whileServing);
                    whileServing = nullptr;
                    script();
                    simulator->hangUpSerial();
                    continue;
                }
                if (!waitFor([&] { return done() || (whileServing && !out.filter(kServing).isEmpty()); }, 5000))
                    clock.advance(1000);
            }
        };
    }
    ~Rig()
    {
        qunsetenv("TALVANE_PORT_REGISTRY");
        qunsetenv("TALVANE_HUB_REGISTRY");
    }

    quint16 portOf(const QString& prefix) const
    {
        return quint16(out.filter(prefix).value(0).section(u':', -1).toUInt());
    }

    // An environment on this rig's clock and files, its output into `o` and `e`.
    ctl::Environment environment(QStringList& o, QStringList& e)
    {
        ctl::Environment en;
        en.out = [&o](const QString& l) { o << l; };
        en.err = [&e](const QString& l) { e << l; };
        en.clock = &clock;
        en.labelsPath = dir.filePath(QStringLiteral("labels.json"));
        en.presetsPath = dir.filePath(QStringLiteral("presets.json"));
        en.wait = [this](const std::function<bool()>& done) {
            // Answers arrive as bytes travel; time moves only when nothing comes.
            while (!done())
                if (!waitFor(done, 5000))
                    clock.advance(1000);
        };
        return en;
    }

    bool startSimulator()
    {
        sim::SimOptions o;
        o.tcp = false;
        o.udp = false;
        o.tracePath = dir.filePath(QStringLiteral("trace.txt"));
        o.registryDirectory = dir.filePath(QStringLiteral("ports"));
        simulator = std::make_unique<sim::Simulator>(o);
        if (!simulator->start())
            return false;
        console = std::make_unique<sim::Console>(simulator->device());
        simulator->device().model().route = {1, 2, 3, 4, 5, 6, 7, 8};
        return true;
    }
    QString switchKey() const { return LabelStore::keyForPort(simulator->serialCom()); }

    // The hub, until whileServing has run.
    int serve(const QStringList& extra = {})
    {
        return ctl::run(QStringList{QStringLiteral("--port"), QStringLiteral("COM%1").arg(simulator->serialCom()),
                                    QStringLiteral("serve"), QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                                    QStringLiteral("--control"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--http"),
                                    QStringLiteral("127.0.0.1:0")}
                            + extra,
                        env);
    }

    // The talvane-ctl program beside the hub, finding it as a user's would.
    struct Run {
        int rc = -1;
        QStringList out, err;
    };
    QProcessEnvironment programEnvironment() const
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("TALVANE_PORT_REGISTRY"), dir.filePath(QStringLiteral("ports")));
        e.insert(QStringLiteral("TALVANE_HUB_REGISTRY"), dir.filePath(QStringLiteral("hubs")));
        e.insert(QStringLiteral("TALVANE_SYSTEM_HUB_REGISTRY"), QString());
        return e;
    }
    Run ctl(const QStringList& args) const
    {
        const talvane::Run p = runProgram(QStringLiteral(TALVANE_CTL_PROGRAM), args, programEnvironment());
        return {p.exitCode, p.out.split(u'\n', Qt::SkipEmptyParts), p.err.split(u'\n', Qt::SkipEmptyParts)};
    }

    // Where the hub's management channel listens, as its entry says (this
    // process's own hub, which its own registry reads leave out).
    QString managePath() const
    {
        QFile entry(dir.filePath(QStringLiteral("hubs/hub-%1").arg(QCoreApplication::applicationPid())));
        if (!entry.open(QIODevice::ReadOnly))
            return QString();
        const std::optional<HubEntry> e = HubRegistry::parse(entry.readAll());
        return e ? e->managePath : QString();
    }

    // RouteSets the switch received for `output`, from its traffic log.
    int routeSetsFor(int output) const
    {
        QFile trace(dir.filePath(QStringLiteral("trace.txt")));
        if (!trace.open(QIODevice::ReadOnly))
            return -1;
        int n = 0;
        for (const QByteArray& line : trace.readAll().split('\n')) {
            if (!line.startsWith("< "))
                continue;
            const QByteArray bytes = QByteArray::fromHex(line.mid(2).replace(' ', ""));
            if (bytes.size() != int(kCommandFrameSize))
                continue;
            const CommandFrame f = CommandFrame::fromBytes(reinterpret_cast<const std::uint8_t*>(bytes.constData()));
            if (commandIdOf(f) == cmd::RouteSet && decode::routeSetCommand(f).output == output)
                ++n;
        }
        return n;
    }

    // Moves time on until `cond` holds, at most two idle-read periods.
    bool idleReadUntil(const std::function<bool()>& cond)
    {
        const qint64 from = clock.nowMs();
        while (!cond() && clock.nowMs() - from <= 2 * limits::HubReadPeriodMs) {
            clock.advance(100);
            waitFor(cond, 20);
        }
        return cond();
    }
};

constexpr int B = 2, C = 3;

}  // namespace

class TestLocks : public QObject {
    Q_OBJECT
private slots:
    void lockFromTheCommandLine();
    void locksOfAVideohubClient();
    void frontPanelChangeOnALockedOutput_data();
    void frontPanelChangeOnALockedOutput();
    void withoutAHub_data();
    void withoutAHub();
    void channelRefusesOtherUsers();
    void channelBounded();
};

// talvane-ctl lock B: a Videohub client's route of B is refused and shows
// it locked, the switch receives no route for B, and a recall through the
// web API changes every other output and says B was skipped. The command
// line as a whole holds the lock: a later run routes B and releases it.
void TestLocks::lockFromTheCommandLine()
{
    Rig r;
    QVERIFY(r.startSimulator());
    {
        PresetStore presets(r.env.presetsPath);
        Preset all5{QStringLiteral("All five"), {}};
        all5.routing.inputs.fill(5);
        all5.routing.arc.fill(false);
        QVERIFY(presets.put(r.switchKey(), all5) && presets.save());
    }
    Rig::Run lock, other, locks, routeB, unlock;
    QByteArrayList lockBlock, nakAnswer, query;
    HttpAnswer recall;
    r.whileServing = [&] {
        Surface s(r.videohubPort);
        QVERIFY(!s.prelude().isEmpty());
        lock = r.ctl({QStringLiteral("lock"), QStringLiteral("B")});
        lockBlock = s.take(1);
        s.send("VIDEO OUTPUT ROUTING:\n1 3\n\n");
        nakAnswer = s.take(1);
        s.send("VIDEO OUTPUT LOCKS:\n\n");
        query = s.take(2);
        HttpClient web(r.httpPort);
        recall = web.post(QStringLiteral("/api/v1/presets/recall"), R"({"name":"All five"})");
        locks = r.ctl({QStringLiteral("locks")});
        routeB = r.ctl({QStringLiteral("route"), QStringLiteral("7:B")});
        unlock = r.ctl({QStringLiteral("unlock"), QStringLiteral("B")});
        other = r.ctl({QStringLiteral("--json"), QStringLiteral("locks")});
    };
    QCOMPARE(r.serve(), int(ctl::NoSwitch));
    QVERIFY2(lock.rc == 0, qPrintable(lock.err.join(u'\n')));
    QCOMPARE(lock.out, QStringList{QStringLiteral("Output B locked")});
    QCOMPARE(lockBlock, QByteArrayList{"VIDEO OUTPUT LOCKS:\n1 L"});
    QCOMPARE(nakAnswer, QByteArrayList{"NAK"});
    QCOMPARE(query, (QByteArrayList{"ACK", "VIDEO OUTPUT LOCKS:\n0 U\n1 L\n2 U\n3 U\n4 U\n5 U\n6 U\n7 U"}));
    // The recall changed every other output and left B.
    QCOMPARE(recall.status, 200);
    QCOMPARE(recall.json.value("skipped").toArray(), QJsonArray{QStringLiteral("B")});
    QVERIFY2(recall.json.value("message").toString().contains(QStringLiteral("output B is locked by the command line")),
             qPrintable(recall.json.value("message").toString()));
    QCOMPARE(locks.out, QStringList{QStringLiteral("Output B  locked by the command line")});
    // The holder's own route went through the control port.
    QVERIFY2(routeB.rc == 0, qPrintable(routeB.err.join(u'\n')));
    QCOMPARE(r.routeSetsFor(B), 1);
    QCOMPARE(r.simulator->device().model().route, (std::array<int, kPortCount>{5, 7, 5, 5, 5, 5, 5, 5}));
    QCOMPARE(unlock.rc, 0);
    QCOMPARE(other.rc, 0);
    QCOMPARE(QJsonDocument::fromJson(other.out.value(0).toUtf8()).object().value("locks").toArray(), QJsonArray{});
}

// A Videohub client's lock: talvane-ctl's route of it exits 6 naming the
// client, a program on the control port has its RouteSet kept from the line,
// the web API answers 409; unlock needs --force; the lock goes with the
// client's connection.
void TestLocks::locksOfAVideohubClient()
{
    Rig r;
    QVERIFY(r.startSimulator());
    Rig::Run route, unlock, forced, relock, again;
    QByteArrayList ack, forcedBlock;
    HttpAnswer web409;
    bool firstAnswersQuery = false;
    r.whileServing = [&] {
        Surface s(r.videohubPort);
        QVERIFY(!s.prelude().isEmpty());
        s.send("VIDEO OUTPUT LOCKS:\n2 O\n\n");
        ack = s.take(2);
        route = r.ctl({QStringLiteral("route"), QStringLiteral("1:C")});
        // A program that speaks the switch's protocol, as a tool of the switch would.
        RawClient program(r.controlPort);
        CommandFrame frame = build::routeSet(1, C);
        frame.seal();
        program.send(QByteArray(reinterpret_cast<const char*>(frame.data()), int(frame.size())));
        // Its own time-out follows: nothing comes back, however long it waits.
        CommandFrame query = build::routeQuery(1);
        query.seal();
        program.send(QByteArray(reinterpret_cast<const char*>(query.data()), int(query.size())));
        QVERIFY(waitFor([&] { return program.in.size() >= int(kCommandFrameSize); }));
        firstAnswersQuery = AnswerRule::of(query).answers(
            CommandFrame::fromBytes(reinterpret_cast<const std::uint8_t*>(program.in.constData())));
        HttpClient web(r.httpPort);
        web409 = web.post(QStringLiteral("/api/v1/route"), R"({"input":4,"outputs":["C"]})");
        unlock = r.ctl({QStringLiteral("unlock"), QStringLiteral("C")});
        forced = r.ctl({QStringLiteral("unlock"), QStringLiteral("--force"), QStringLiteral("C")});
        forcedBlock = s.take(1);
        s.send("VIDEO OUTPUT LOCKS:\n2 O\n\n");
        s.take(2);
        relock = r.ctl({QStringLiteral("lock"), QStringLiteral("C")});
        // Its connection goes: so does its lock.
        s.socket.abort();
        QVERIFY(waitFor([&] { return r.ctl({QStringLiteral("lock"), QStringLiteral("C")}).rc == 0; }, 10000));
    };
    QCOMPARE(r.serve(), int(ctl::NoSwitch));
    QCOMPARE(ack, (QByteArrayList{"ACK", "VIDEO OUTPUT LOCKS:\n2 O"}));
    QCOMPARE(route.rc, int(ctl::Refused));
    QVERIFY2(route.err.join(u'\n').contains(QStringLiteral("output C is locked by Videohub client 127.0.0.1:")),
             qPrintable(route.err.join(u'\n')));
    // The route query's answer came first; the RouteSet never reached the switch.
    QVERIFY(firstAnswersQuery);
    QCOMPARE(r.routeSetsFor(C), 0);
    QCOMPARE(web409.status, 409);
    QVERIFY(web409.json.value("error").toString().contains(QStringLiteral("locked by Videohub client")));
    QCOMPARE(unlock.rc, int(ctl::Refused));
    QCOMPARE(forced.rc, 0);
    QCOMPARE(forcedBlock, QByteArrayList{"VIDEO OUTPUT LOCKS:\n2 U"});
    QCOMPARE(relock.rc, int(ctl::Refused));
    QCOMPARE(r.simulator->device().model().route[std::size_t(C - 1)], C);
}

void TestLocks::frontPanelChangeOnALockedOutput_data()
{
    QTest::addColumn<bool>("restore");
    QTest::newRow("reported") << false;
    QTest::newRow("put back with --restore-locked") << true;
}

// Found by the hub's idle read: a line of talvane-ctl watch (also as JSON),
// a line on the hub's standard error, and with --restore-locked the route
// put back.
void TestLocks::frontPanelChangeOnALockedOutput()
{
    QFETCH(bool, restore);
    Rig r;
    QVERIFY(r.startSimulator());
    Rig::Run lock;
    QStringList watched, watchedJson;
    int watchRc = -1, jsonRc = -1;
    r.whileServing = [&] {
        lock = r.ctl({QStringLiteral("lock"), QStringLiteral("B")});
        // Two watchers, one of them in JSON, until stopped as a user stops them.
        QProcess text, json;
        for (QProcess* p : {&text, &json})
            p->setProcessEnvironment(r.programEnvironment());
        text.start(QStringLiteral(TALVANE_CTL_PROGRAM), {QStringLiteral("watch")});
        json.start(QStringLiteral(TALVANE_CTL_PROGRAM), {QStringLiteral("--json"), QStringLiteral("watch")});
        QByteArray textErr, jsonErr, textOut, jsonOut;
        QVERIFY(waitFor([&] {
            textErr += text.readAllStandardError();
            jsonErr += json.readAllStandardError();
            return textErr.contains("watching") && jsonErr.contains("watching");
        }));
        QVERIFY(r.console->execute(QStringLiteral("route 6 2")).ok);
        QVERIFY(r.idleReadUntil([&] {
            textOut += text.readAllStandardOutput();
            jsonOut += json.readAllStandardOutput();
            return textOut.contains("at the switch") && jsonOut.contains("frontPanel")
                   && (!restore || textOut.contains("Input 2 -> output B"));
        }));
        for (QProcess* p : {&text, &json}) {
            p->terminate();
            QVERIFY(waitFor([p] { return p->state() == QProcess::NotRunning; }));
        }
        watched = QString::fromUtf8(textOut + text.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        watchedJson = QString::fromUtf8(jsonOut + json.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        watchRc = text.exitCode();
        jsonRc = json.exitCode();
    };
    QCOMPARE(r.serve(restore ? QStringList{QStringLiteral("--restore-locked")} : QStringList{}), int(ctl::NoSwitch));
    QCOMPARE(lock.rc, 0);
    QCOMPARE(watchRc, 0);
    QCOMPARE(jsonRc, 0);
    const QString line = QStringLiteral("Output B, locked by the command line, was switched to input 6 at the switch");
    QVERIFY2(watched.contains(restore ? line + QStringLiteral("; the hub puts its route back") : line),
             qPrintable(watched.join(u'\n')));
    QVERIFY(watched.contains(QStringLiteral("Input 6 -> output B")));
    const QJsonObject json = QJsonDocument::fromJson(watchedJson.filter(QStringLiteral("frontPanel")).value(0).toUtf8()).object();
    QCOMPARE(json.value(hubchannel::key::Output).toString(), QStringLiteral("B"));
    QCOMPARE(json.value(hubchannel::key::Input).toInt(), 6);
    QCOMPARE(json.value(hubchannel::key::Restoring).toBool(), restore);
    QVERIFY2(!r.err.filter(QStringLiteral("talvane-ctl: ") + line).isEmpty(),
             qPrintable(r.err.join(u'\n')));
    QCOMPARE(r.simulator->device().model().route[std::size_t(B - 1)], restore ? B : 6);
    QCOMPARE(r.routeSetsFor(B), restore ? 1 : 0);
}

void TestLocks::withoutAHub_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("lock") << QStringList{QStringLiteral("lock"), QStringLiteral("B")};
    QTest::newRow("unlock") << QStringList{QStringLiteral("unlock"), QStringLiteral("--force"), QStringLiteral("B")};
    QTest::newRow("locks") << QStringList{QStringLiteral("locks")};
    QTest::newRow("watch") << QStringList{QStringLiteral("watch")};
}

void TestLocks::withoutAHub()
{
    QFETCH(QStringList, args);
    Rig r;
    QVERIFY(r.startSimulator());
    const Rig::Run run = r.ctl(QStringList{QStringLiteral("--port"), QStringLiteral("COM%1").arg(r.simulator->serialCom())} + args);
    QCOMPARE(run.rc, int(ctl::NoSwitch));
    QVERIFY2(run.err.join(u'\n').contains(QStringLiteral("locks live in a hub (start one with talvane-ctl serve)")),
             qPrintable(run.err.join(u'\n')));
}

void TestLocks::channelRefusesOtherUsers()
{
    if (::geteuid() != 0)
        QSKIP("needs root, to run a check as nobody");
    Rig r;
    QVERIFY(r.startSimulator());
    int childStatus = -1;
    QStringList beforeErr;
    r.whileServing = [&] {
        const QByteArray path = QFile::encodeName(r.managePath());
        QVERIFY(!path.isEmpty());
        // The socket's directory is private to its user: nobody is let in to
        // the socket itself only to be refused by its peer check.
        QVERIFY(::chmod(QFile::encodeName(r.dir.path()).constData(), 0755) == 0);
        QVERIFY(::chmod(QFile::encodeName(r.dir.filePath(QStringLiteral("hubs"))).constData(), 0755) == 0);
        QVERIFY(::chmod(path.constData(), 0777) == 0);
        const pid_t child = ::fork();
        if (child == 0) {
            constexpr uid_t kNobody = 65534;
            if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
                ::_exit(2);
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::strncpy(addr.sun_path, path.constData(), sizeof addr.sun_path - 1);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
                ::_exit(3);
            const QByteArray request = hubchannel::line({{hubchannel::key::Op, hubchannel::op::Lock}, {hubchannel::key::Output, "B"}});
            [[maybe_unused]] const ssize_t w = ::write(fd, request.constData(), size_t(request.size()));
            char buf[256];
            // Closed (or reset) without an answer.
            ::_exit(::read(fd, buf, sizeof buf) <= 0 ? 0 : 4);
        }
        QVERIFY(waitFor([&] {
            int status = 0;
            if (::waitpid(child, &status, WNOHANG) != child)
                return false;
            childStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return true;
        }));
        beforeErr = r.err;
        const Rig::Run locks = r.ctl({QStringLiteral("locks")});
        QCOMPARE(locks.out, QStringList{QStringLiteral("No output is locked")});
    };
    QCOMPARE(r.serve(), int(ctl::NoSwitch));
    QCOMPARE(childStatus, 0);
    QVERIFY2(!beforeErr.filter(QStringLiteral("it is another user's (uid 65534)")).isEmpty(), qPrintable(beforeErr.join(u'\n')));
}

// A client that sends a line longer than the channel takes is dropped; past
// the most clients at once, more are refused; the others keep their channel.
void TestLocks::channelBounded()
{
    Rig r;
    QVERIFY(r.startSimulator());
    bool longDropped = false;
    int refused = 0;
    Rig::Run after;
    r.whileServing = [&] {
        const QString path = r.managePath();
        const auto open = [&path](QLocalSocket& s) {
            s.connectToServer(path);
            return waitFor([&] { return s.state() == QLocalSocket::ConnectedState; });
        };
        QLocalSocket flood;
        QVERIFY(open(flood));
        flood.write(QByteArray(hubchannel::MaxLineBytes + 10, 'x'));
        longDropped = waitFor([&] { return flood.state() == QLocalSocket::UnconnectedState; });
        std::vector<std::unique_ptr<QLocalSocket>> many;
        for (int i = 0; i <= hub::limits::MaxManageClients; ++i) {
            many.push_back(std::make_unique<QLocalSocket>());
            QVERIFY(open(*many.back()));
        }
        // The last one is closed by the hub.
        QVERIFY(waitFor([&] {
            return std::any_of(many.begin(), many.end(), [](const auto& s) { return s->state() == QLocalSocket::UnconnectedState; });
        }));
        refused = int(std::count_if(many.begin(), many.end(), [](const auto& s) { return s->state() == QLocalSocket::UnconnectedState; }));
        many.clear();
        QVERIFY(waitFor([&] { return r.ctl({QStringLiteral("lock"), QStringLiteral("A")}).rc == 0; }, 10000));
        after = r.ctl({QStringLiteral("locks")});
    };
    QCOMPARE(r.serve(), int(ctl::NoSwitch));
    QVERIFY(longDropped);
    QVERIFY2(!r.err.filter(QStringLiteral("longer than")).isEmpty(), qPrintable(r.err.join(u'\n')));
    QCOMPARE(refused, 1);
    QVERIFY(!r.err.filter(QStringLiteral("too many clients")).isEmpty());
    QCOMPARE(after.out, QStringList{QStringLiteral("Output A  locked by the command line")});
}

QTEST_GUILESS_MAIN(TestLocks)
#include "test_locks.moc"
