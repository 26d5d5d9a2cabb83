// talvane-ctl serve as a user runs it, in-process: the command line, what
// it says at start, and a control surface routing the simulated switch
// through it until the link to the switch goes.
#include <QtTest>

#include <QTemporaryDir>

#include "ctl/ctl.h"
#include "ctl/serve.h"
#include "protocol/commands.h"
#include "support/simlink.h"
#include "support/videohubclient.h"

using namespace talvane;

namespace {

struct Program {
    ManualClock clock;
    struct ClockScope {
        explicit ClockScope(Clock* c) { setAppClock(c); }
        ~ClockScope() { setAppClock(nullptr); }
    } scope{&clock};
    QTemporaryDir dir;
    SimLink link;
    QStringList out, err;
    ctl::Environment env;
    // Runs once the server has said where it listens; the link closes after it.
    std::function<void(quint16 port)> whileServing;

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
                const QString serving = out.filter(QStringLiteral("Serving ")).value(0);
                if (!serving.isEmpty() && whileServing) {
                    const auto script = std::move(whileServing);
                    whileServing = nullptr;
                    script(quint16(serving.section(u':', -1).toUInt()));
                    link.closeLink();
                    continue;
                }
                SimLink::settle();
                QCoreApplication::processEvents();
                clock.advance(10);
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
    QCOMPARE(p.run({QStringLiteral("serve"), QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")}),
             int(ctl::NoSwitch));
    QVERIFY2(p.out.value(0).startsWith(QStringLiteral("Serving port:COM129 to Videohub clients on 127.0.0.1:")),
             qPrintable(p.out.join(u'\n')));
    QVERIFY(p.out.value(1).contains(QStringLiteral("Only programs on this machine")));
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

void TestCtlServe::badListenAddresses_data()
{
    QTest::addColumn<QString>("listen");
    QTest::newRow("no address") << ":9990";
    QTest::newRow("not an address") << "localhost:9990";
    QTest::newRow("port too large") << "127.0.0.1:65536";
    QTest::newRow("no port after the colon") << "127.0.0.1:";
    QTest::newRow("signed port") << "127.0.0.1:+99";
    QTest::newRow("unclosed bracket") << "[::1:9990";
}

void TestCtlServe::badListenAddresses()
{
    QFETCH(QString, listen);
    Program p;
    QCOMPARE(p.run({QStringLiteral("serve"), QStringLiteral("--listen"), listen}), int(ctl::Usage));
    QVERIFY(p.link.written.empty());  // nothing reached the switch
    QVERIFY(p.err.join(u'\n').contains(QStringLiteral("--listen takes ADDR:PORT")));
}

QTEST_GUILESS_MAIN(TestCtlServe)
#include "test_ctl_serve.moc"
