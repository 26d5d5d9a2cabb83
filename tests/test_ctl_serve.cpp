// talvane-ctl serve as a user runs it, in-process: the command line, what
// it says at start, and a control surface routing the simulated switch
// through it until the link to the switch goes.
#include <QtTest>

#include <QTemporaryDir>

#include "ctl/ctl.h"
#include "ctl/serve.h"
#include "ops/limits.h"
#include "protocol/commands.h"
#include "sim/console.h"
#include "sim/simulator.h"
#include "videohub/limits.h"
#include "support/appclock.h"
#include "support/simlink.h"
#include "support/videohubclient.h"

using namespace talvane;

namespace {

struct Program {
    ManualClock clock;
    AppClockScope scope{&clock};
    QTemporaryDir dir;
    SimLink link;
    QStringList out, err;
    ctl::Environment env;
    // Runs once the server has said where it listens; the link closes after it.
    std::function<void(quint16 port)> whileServing;
    // How the link to the switch goes afterwards.
    std::function<void()> endLink = [this] { link.closeLink(); };

    Program()
    {
        static bool added = false;
        if (!added) {
            ctl::addCommand(ctl::serveCommand());
            added = true;
        }
        env.out = [this](const QString& l) { out << l; };
        env.err = [this](const QString& l) { err << l; };
        env.clock = &clock;
        env.link = &link;
        env.linkKey = QStringLiteral("port:COM129");
        env.labelsPath = dir.filePath(QStringLiteral("labels.json"));
        env.wait = [this](const std::function<bool()>& done) {
            while (!done()) {
                const QString serving = out.filter(QStringLiteral("Videohub clients on ")).value(0);
                if (!serving.isEmpty() && whileServing) {
                    const auto script = std::move(whileServing);
                    whileServing = nullptr;
                    script(quint16(serving.section(u':', -1).toUInt()));
                    endLink();
                    continue;
                }
                // Answers arrive as bytes travel; the switch's time moves
                // only where a test moves it. Should nothing come at all,
                // its time-outs end the command rather than hang the test.
                if (!waitFor([&] { return done() || (whileServing && !out.filter(QStringLiteral("Videohub clients on ")).isEmpty()); }))
                    clock.advance(60000);
            }
        };
    }
    int run(const QStringList& args) { return ctl::run(args, env); }
};

}  // namespace

class TestCtlServe : public QObject {
    Q_OBJECT
private slots:
    void servesUntilTheLinkGoes();
    void consoleRouteReachesClients_data();
    void consoleRouteReachesClients();
    void badListenAddresses_data();
    void badListenAddresses();
};

void TestCtlServe::servesUntilTheLinkGoes()
{
    Program p;
    p.link.model().route = {1, 2, 3, 4, 5, 6, 7, 8};
    QByteArrayList prelude, answer;
    p.whileServing = [&](quint16 port) {
        Surface s(port);
        prelude = s.prelude();
        s.send("VIDEO OUTPUT ROUTING:\n1 3\n\n");
        answer = s.take(2);
    };
    QCOMPARE(p.run({QStringLiteral("serve"), QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                    QStringLiteral("--control"), QStringLiteral("127.0.0.1:0")}),
             int(ctl::NoSwitch));
    // It says what it serves, where, and who can reach it.
    QCOMPARE(p.out.value(0), QStringLiteral("Serving port:COM129"));
    QVERIFY2(p.out.value(1).startsWith(QStringLiteral("The switch's control protocol (the panel, talvane-ctl --host) on 127.0.0.1:"))
                 && p.out.value(2).contains(QStringLiteral("only programs on this machine"))
                 && p.out.value(3).startsWith(QStringLiteral("Videohub clients on 127.0.0.1:"))
                 && p.out.value(4).contains(QStringLiteral("only programs on this machine")),
             qPrintable(p.out.join(u'\n')));
    QCOMPARE(prelude.value(0), QByteArray("PROTOCOL PREAMBLE:\nVersion: 2.8"));
    // The switch's identification text names it; the unique ID stays with the port.
    QVERIFY(prelude.value(1).contains("\nFriendly name: TALVANE HDMI MATRIX 8X8\n"));
    QVERIFY(QRegularExpression(QStringLiteral("\nUnique ID: [0-9A-F]{12}\n"))
                .match(QString::fromLatin1(prelude.value(1)))
                .hasMatch());
    QCOMPARE(answer, (QByteArrayList{"ACK", "VIDEO OUTPUT ROUTING:\n1 3"}));
    QCOMPARE(p.link.model().route[1], 4);
    QVERIFY(p.err.join(u'\n').contains(QStringLiteral("link to port:COM129 was lost")));
}

void TestCtlServe::consoleRouteReachesClients_data()
{
    QTest::addColumn<bool>("serial");
    QTest::newRow("serial line") << true;
    QTest::newRow("TCP") << false;
}

// The simulator on a pseudo-terminal or on TCP, found as a user finds it.
void TestCtlServe::consoleRouteReachesClients()
{
    QFETCH(bool, serial);
    Program p;
    p.env.link = nullptr;
    qputenv("TALVANE_PORT_REGISTRY", p.dir.path().toLocal8Bit());
    sim::SimOptions o;
    o.serial = serial;
    o.tcp = !serial;
    o.tcpPort = 0;
    o.udp = false;
    o.registryDirectory = p.dir.path();
    sim::Simulator simulator(o);
    QVERIFY(simulator.start());
    sim::Console console(simulator.device());
    p.endLink = [&] {
        if (serial)
            simulator.hangUpSerial();
        else
            simulator.closeTcpConnections();
    };
    QByteArrayList gotA, gotB;
    qint64 took = -1;
    p.whileServing = [&](quint16 port) {
        Surface a(port), b(port);
        if (a.prelude().isEmpty() || b.prelude().isEmpty())
            return;
        QVERIFY(console.execute(QStringLiteral("route 6 3")).ok);
        const qint64 from = p.clock.nowMs();
        // The hub's idle read finds it within its period and the read's own time.
        constexpr int kStepMs = 100;
        while (!(!a.blocks.isEmpty() && !b.blocks.isEmpty()) && p.clock.nowMs() - from <= limits::HubFollowsWithinMs) {
            p.clock.advance(kStepMs);
            waitFor([&] { return !a.blocks.isEmpty() && !b.blocks.isEmpty(); }, 20);
        }
        took = p.clock.nowMs() - from;
        gotA = a.take(1);
        gotB = b.take(1);
    };
    const QStringList where = serial ? QStringList{QStringLiteral("--port"), QStringLiteral("COM%1").arg(simulator.serialCom())}
                                     : QStringList{QStringLiteral("--host"),
                                                   QStringLiteral("127.0.0.1:%1").arg(simulator.tcpPort())};
    QCOMPARE(p.run(where + QStringList{QStringLiteral("serve"), QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                    QStringLiteral("--control"), QStringLiteral("127.0.0.1:0")}),
             int(ctl::NoSwitch));
    qunsetenv("TALVANE_PORT_REGISTRY");
    QCOMPARE(gotA, QByteArrayList{"VIDEO OUTPUT ROUTING:\n2 5"});
    QCOMPARE(gotB, gotA);
    QVERIFY2(took >= 0 && took <= limits::HubFollowsWithinMs, qPrintable(QString::number(took)));
}

void TestCtlServe::badListenAddresses_data()
{
    QTest::addColumn<QString>("listen");
    QTest::newRow("no address") << ":9990";
    QTest::newRow("not an address") << "localhost:9990";
    QTest::newRow("port too large") << "127.0.0.1:65536";
    QTest::newRow("port far too large") << "127.0.0.1:4294967296";
    QTest::newRow("no port after the colon") << "127.0.0.1:";
    QTest::newRow("signed port") << "127.0.0.1:+99";
    QTest::newRow("unclosed bracket") << "[::1:9990";
}

void TestCtlServe::badListenAddresses()
{
    QFETCH(QString, listen);
    Program p;
    // Should a bad address be taken, serving ends as soon as it begins, and
    // the test fails at once instead of waiting on a server that never ends.
    bool served = false;
    p.whileServing = [&](quint16) { served = true; };
    QCOMPARE(p.run({QStringLiteral("serve"), QStringLiteral("--listen"), listen}), int(ctl::Usage));
    QVERIFY(!served);
    QVERIFY(p.link.written.empty());  // nothing reached the switch
    QVERIFY(p.err.join(u'\n').contains(QStringLiteral("--listen takes ADDR:PORT")));
}

QTEST_GUILESS_MAIN(TestCtlServe)
#include "test_ctl_serve.moc"
