// The Videohub server as control surfaces see it: plain TCP clients on
// loopback read what it sends, and the in-process simulated switch shows
// what reached it. Time on the switch's side runs on the manual clock; the
// tests wait only for bytes to travel, never for time to pass.
#include <QtTest>

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "engine/session.h"
#include "ops/labelstore.h"
#include "ops/limits.h"
#include "ops/connection.h"
#include "ops/limits.h"
#include "ops/runner.h"
#include "protocol/commands.h"
#include "sim/console.h"
#include "support/appclock.h"
#include "support/hubfixture.h"
#include "support/simlink.h"
#include "support/videohubclient.h"
#include "videohub/limits.h"
#include "videohub/server.h"

using namespace talvane;
namespace vh = talvane::videohub;

namespace {

const QString kSwitch = HubFixture::switchKey();

// The switch, its session and runner, the labels file and the server.
struct Hub : HubFixture {
    std::unique_ptr<Surface> surface()
    {
        auto s = std::make_unique<Surface>(server->port());
        s->prelude();
        return s;
    }
    int routeCommands() const { return link.count(cmd::RouteSet); }
};

QByteArray routing(const std::array<int, kPortCount>& oneBased)
{
    QByteArray b = "VIDEO OUTPUT ROUTING:";
    for (int o = 0; o < kPortCount; ++o)
        b += "\n" + QByteArray::number(o) + " " + QByteArray::number(oneBased[std::size_t(o)] - 1);
    return b;
}

}  // namespace

class TestVideohub : public QObject {
    Q_OBJECT
private slots:
    void preludeCarriesLabelsLocksAndRouting();
    void routeReachesTheSwitchAndEveryClient();
    void routeAtTheSwitchReachesEveryClient();
    void failedRouteLeavesTheTrueRouting_data();
    void failedRouteLeavesTheTrueRouting();
    void locksPerClient();
    void lockTakenWhileARouteWaits();
    void labelChanges_data();
    void labelChanges();
    void labelsSavedElsewhereReachClients();
    void requests_data();
    void requests();
    void hostileClients_data();
    void hostileClients();
    void tooManyClients();
};

void TestVideohub::preludeCarriesLabelsLocksAndRouting()
{
    Hub h;
    h.link.model().route = {3, 5, 1, 8, 2, 7, 4, 8};
    QVERIFY(h.labels.setInput(kSwitch, 1, QStringLiteral("Stage camera")));
    QVERIFY(h.labels.setOutput(kSwitch, 1, QStringLiteral("Projector")));
    QVERIFY(h.labels.setOutput(kSwitch, 8, QStringLiteral("Bühne")));
    QVERIFY(h.labels.save());
    QVERIFY(h.start());
    Surface s(h.server->port());
    const QByteArrayList prelude = s.prelude();
    const QByteArrayList expected{
        "PROTOCOL PREAMBLE:\nVersion: 2.8",
        "VIDEOHUB DEVICE:\nDevice present: true\nModel name: Talvane HDMI Matrix 8x8\nFriendly name: Rack 2\n"
        "Unique ID: 02544C565301\nVideo inputs: 8\nVideo processing units: 0\nVideo outputs: 8\n"
        "Video monitoring outputs: 0\nSerial ports: 0",
        "INPUT LABELS:\n0 Stage camera\n1 Input 2\n2 Input 3\n3 Input 4\n4 Input 5\n5 Input 6\n6 Input 7\n7 Input 8",
        "OUTPUT LABELS:\n0 Projector\n1 Output 2\n2 Output 3\n3 Output 4\n4 Output 5\n5 Output 6\n6 Output 7\n"
        "7 B\xc3\xbchne",
        "VIDEO OUTPUT LOCKS:\n0 U\n1 U\n2 U\n3 U\n4 U\n5 U\n6 U\n7 U",
        routing(h.link.model().route),
        "CONFIGURATION:\nTake Mode: false",
        "END PRELUDE:"};
    QCOMPARE(prelude, expected);
    // The routing was read once: the prelude waits for nothing more.
    QCOMPARE(h.link.count(cmd::RouteQuery), 8);
}

void TestVideohub::routeReachesTheSwitchAndEveryClient()
{
    Hub h;
    QVERIFY(h.start());
    auto a = h.surface();
    auto b = h.surface();
    a->send("VIDEO OUTPUT ROUTING:\n1 3\n\n");
    QCOMPARE(a->take(2), (QByteArrayList{"ACK", "VIDEO OUTPUT ROUTING:\n1 3"}));
    QCOMPARE(b->take(1), QByteArrayList{"VIDEO OUTPUT ROUTING:\n1 3"});
    QCOMPARE(h.link.model().route[1], 4);
    QCOMPARE(h.routeCommands(), 1);

    // A client that sends and closes at once (a script) has its requests
    // carried out, however many turns they take.
    {
        Surface script(h.server->port());
        script.prelude();
        script.send(QByteArray("PING:\n\n").repeated(20 * vh::limits::MaxBlocksPerTurn) + "VIDEO OUTPUT ROUTING:\n5 2\n\n");
        script.socket.disconnectFromHost();
        QCOMPARE(a->take(1), QByteArrayList{"VIDEO OUTPUT ROUTING:\n5 2"});
        QCOMPARE(b->take(1), QByteArrayList{"VIDEO OUTPUT ROUTING:\n5 2"});
        QCOMPARE(h.link.model().route[5], 3);
    }

    // Several in one block go one at a time, each confirmed before the next.
    b->send("VIDEO OUTPUT ROUTING:\n0 7\n7 0\n\n");
    QCOMPARE(b->take(3), (QByteArrayList{"ACK", "VIDEO OUTPUT ROUTING:\n0 7", "VIDEO OUTPUT ROUTING:\n7 0"}));
    QCOMPARE(a->take(2), (QByteArrayList{"VIDEO OUTPUT ROUTING:\n0 7", "VIDEO OUTPUT ROUTING:\n7 0"}));
    QCOMPARE(h.link.model().route[0], 8);
    QCOMPARE(h.link.model().route[7], 1);
    QCOMPARE(h.routeCommands(), 4);
    QCOMPARE(int(h.session.counters().unsolicited), 0);
}

void TestVideohub::routeAtTheSwitchReachesEveryClient()
{
    Hub h;
    QVERIFY(h.start());
    auto a = h.surface();
    auto b = h.surface();
    sim::Console console(h.link.device);
    QVERIFY(console.execute(QStringLiteral("route 6 3")).ok);
    const qint64 from = h.clock.nowMs();
    // Read again once the line has been idle a while; nothing is sent
    // until the switch reports a change.
    while (h.server->routing()[2] != 5 && h.clock.nowMs() - from <= 5000)
        h.advance(100);
    QVERIFY(h.clock.nowMs() - from <= 5000);
    QCOMPARE(a->take(1), QByteArrayList{"VIDEO OUTPUT ROUTING:\n2 5"});
    QCOMPARE(b->take(1), QByteArrayList{"VIDEO OUTPUT ROUTING:\n2 5"});
    // Unchanged routing sends nothing more; the reads keep to a small share
    // of the line: the routing every few seconds, the rest now and then.
    const int queries = h.link.count(cmd::RouteQuery);
    const quint64 frames = h.session.counters().sent + h.session.counters().received;
    constexpr int kMs = 30000;
    h.advance(kMs);
    a->send("PING:\n\n");
    QCOMPARE(a->take(1), QByteArrayList{"ACK"});
    const int reads = (h.link.count(cmd::RouteQuery) - queries) / kPortCount;
    QVERIFY2(reads >= kMs / (2 * limits::HubReadPeriodMs) && reads <= kMs / limits::HubReadPeriodMs,
             qPrintable(QString::number(reads)));
    const quint64 bytes = (h.session.counters().sent + h.session.counters().received - frames) * kCommandFrameSize;
    QVERIFY2(bytes * 100 <= quint64(limits::LineBytesPerSecond) * limits::FollowLinePercent * (kMs / 1000),
             qPrintable(QString::number(bytes)));
}

void TestVideohub::failedRouteLeavesTheTrueRouting_data()
{
    QTest::addColumn<bool>("routedAtSwitch");  // the front panel routes the output meanwhile
    QTest::newRow("no answer") << false;
    QTest::newRow("no answer, routed at the front panel meanwhile") << true;
}

void TestVideohub::failedRouteLeavesTheTrueRouting()
{
    QFETCH(bool, routedAtSwitch);
    Hub h;
    h.link.model().route = {1, 2, 3, 4, 5, 6, 7, 8};
    QVERIFY(h.start());
    auto a = h.surface();
    auto b = h.surface();
    h.link.device.faults().silentCommands.insert(sim::commandKey(cmd::RouteSet));
    a->send("VIDEO OUTPUT ROUTING:\n1 3\n\n");
    QCOMPARE(a->take(1), QByteArrayList{"ACK"});
    if (routedAtSwitch)
        h.link.device.frontPanelRoute(7, 2);
    // Resent once, then a time-out; then the routing is read back.
    h.advance(limits::Command.firstMs + limits::Command.retryMs + 1000);
    QCOMPARE(h.routeCommands(), 2);
    const std::array<int, kPortCount> truth = h.link.model().route;
    QCOMPARE(truth[1], routedAtSwitch ? 7 : 2);
    QCOMPARE(a->take(1), QByteArrayList{routing(truth)});
    QCOMPARE(b->take(1), QByteArrayList{routing(truth)});
    QVERIFY(a->blocks.isEmpty() && b->blocks.isEmpty());

    // The switch answers again: the next request goes through.
    h.link.device.clearFaults();
    b->send("VIDEO OUTPUT ROUTING:\n1 3\n\n");
    QCOMPARE(b->take(2), (QByteArrayList{"ACK", "VIDEO OUTPUT ROUTING:\n1 3"}));
    QCOMPARE(a->take(1), QByteArrayList{"VIDEO OUTPUT ROUTING:\n1 3"});
}

void TestVideohub::locksPerClient()
{
    Hub h;
    h.link.model().route = {1, 2, 3, 4, 5, 6, 7, 8};
    QVERIFY(h.start());
    auto a = h.surface();
    auto b = h.surface();
    a->send("VIDEO OUTPUT LOCKS:\n1 O\n\n");
    QCOMPARE(a->take(2), (QByteArrayList{"ACK", "VIDEO OUTPUT LOCKS:\n1 O"}));
    QCOMPARE(b->take(1), QByteArrayList{"VIDEO OUTPUT LOCKS:\n1 L"});
    // A newcomer sees it locked by another.
    auto c = std::make_unique<Surface>(h.server->port());
    QVERIFY(c->prelude().contains("VIDEO OUTPUT LOCKS:\n0 U\n1 L\n2 U\n3 U\n4 U\n5 U\n6 U\n7 U"));

    // Others may neither route it, nor take or release its lock; nothing reaches the switch.
    b->send("VIDEO OUTPUT ROUTING:\n1 5\n\nVIDEO OUTPUT ROUTING:\n0 5\n1 5\n\nVIDEO OUTPUT LOCKS:\n1 U\n\n"
            "VIDEO OUTPUT LOCKS:\n1 O\n\n");
    QCOMPARE(b->take(4), (QByteArrayList{"NAK", "NAK", "NAK", "NAK"}));
    b->send("VIDEO OUTPUT LOCKS:\n\n");
    QCOMPARE(b->take(2), (QByteArrayList{"ACK", "VIDEO OUTPUT LOCKS:\n0 U\n1 L\n2 U\n3 U\n4 U\n5 U\n6 U\n7 U"}));
    QCOMPARE(h.routeCommands(), 0);
    QCOMPARE(h.link.model().route[0], 1);
    // The owner may.
    a->send("VIDEO OUTPUT ROUTING:\n1 5\n\n");
    QCOMPARE(a->take(2), (QByteArrayList{"ACK", "VIDEO OUTPUT ROUTING:\n1 5"}));
    QCOMPARE(h.link.model().route[1], 6);
    QCOMPARE(b->take(1), QByteArrayList{"VIDEO OUTPUT ROUTING:\n1 5"});

    // A force opens it for everyone.
    b->send("VIDEO OUTPUT LOCKS:\n1 F\n\n");
    QCOMPARE(b->take(2), (QByteArrayList{"ACK", "VIDEO OUTPUT LOCKS:\n1 U"}));
    QCOMPARE(a->take(1), QByteArrayList{"VIDEO OUTPUT LOCKS:\n1 U"});

    // The locks of a client that goes are released.
    b->send("VIDEO OUTPUT LOCKS:\n3 O\n4 O\n\n");
    QCOMPARE(b->take(2), (QByteArrayList{"ACK", "VIDEO OUTPUT LOCKS:\n3 O\n4 O"}));
    QCOMPARE(a->take(1), QByteArrayList{"VIDEO OUTPUT LOCKS:\n3 L\n4 L"});
    b->socket.disconnectFromHost();
    QCOMPARE(a->take(1), QByteArrayList{"VIDEO OUTPUT LOCKS:\n3 U\n4 U"});
    QVERIFY(waitFor([&] { return h.server->clientCount() == 2; }));
}

// A route accepted while the line was busy, of an output another front end
// locks before its turn: it is not sent, and the clients get the route as it stands.
void TestVideohub::lockTakenWhileARouteWaits()
{
    Hub h;
    QVERIFY(h.start());
    auto a = h.surface();
    Hold busy = h.runner.hold();
    QVERIFY(busy);
    a->send("VIDEO OUTPUT ROUTING:\n1 5\n\n");
    QCOMPARE(a->take(1), QByteArrayList{"ACK"});
    QVERIFY(h.hub->lock({hub::Who::Kind::CommandLine, QString(), QStringLiteral("the command line")}, 2));
    QCOMPARE(a->take(1), QByteArrayList{"VIDEO OUTPUT LOCKS:\n1 L"});
    busy.end();
    QCOMPARE(a->take(1), QByteArrayList{"VIDEO OUTPUT ROUTING:\n1 1"});
    QCOMPARE(h.routeCommands(), 0);
    QCOMPARE(h.link.model().route[1], 2);
}

void TestVideohub::labelChanges_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("broadcast");  // empty: refused (NAK), nothing stored
    QTest::addColumn<QString>("stored");        // input 1's name, then output A's, as the file holds after
    QTest::addColumn<bool>("damagedFile");

    QTest::newRow("inputs") << QByteArray("INPUT LABELS:\n0 Stage camera\n3  Lectern \n\n")
                            << QByteArray("INPUT LABELS:\n0 Stage camera\n3 Lectern") << "Stage camera|" << false;
    QTest::newRow("output") << QByteArray("OUTPUT LABELS:\n0 Projector\n\n") << QByteArray("OUTPUT LABELS:\n0 Projector")
                            << "Old|Projector" << false;
    QTest::newRow("name cleared") << QByteArray("INPUT LABELS:\n0 \n\n") << QByteArray("INPUT LABELS:\n0 Input 1")
                                  << "|" << false;
    QTest::newRow("too long") << QByteArray("INPUT LABELS:\n0 Stage camera\n1 " + QByteArray(33, 'x') + "\n\n")
                              << QByteArray() << "Old|" << false;
    QTest::newRow("control character") << QByteArray("INPUT LABELS:\n0 Stage\tcamera\n\n") << QByteArray() << "Old|"
                                       << false;
    QTest::newRow("no such input") << QByteArray("INPUT LABELS:\n8 Stage camera\n\n") << QByteArray() << "Old|" << false;
    QTest::newRow("not UTF-8") << QByteArray("OUTPUT LABELS:\n0 Pro\xff\xfejector\n\n") << QByteArray() << "Old|" << false;
    QTest::newRow("damaged file") << QByteArray("INPUT LABELS:\n0 Stage camera\n\n") << QByteArray() << "" << true;
}

void TestVideohub::labelChanges()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, broadcast);
    QFETCH(QString, stored);
    QFETCH(bool, damagedFile);
    Hub h;
    const QString path = h.labels.path();
    const QByteArray damaged("{\"version\": 1, \"switches\": [");
    QFile file(path);
    if (damagedFile) {
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(damaged);
        file.close();
    } else {
        QVERIFY(h.labels.setInput(kSwitch, 1, QStringLiteral("Old")));
        QVERIFY(h.labels.save());
    }
    QVERIFY(h.start());
    auto a = h.surface();
    auto b = h.surface();
    a->send(request);
    if (broadcast.isEmpty()) {
        QCOMPARE(a->take(1), QByteArrayList{"NAK"});
    } else {
        QCOMPARE(a->take(2), (QByteArrayList{"ACK", broadcast}));
        QCOMPARE(b->take(1), QByteArrayList{broadcast});
    }
    // What the file holds, as another program reads it.
    if (damagedFile) {
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), damaged);
        return;
    }
    LabelStore reread(path);
    QVERIFY(reread.load());
    const PortLabels l = reread.labels(kSwitch);
    QCOMPARE(l.inputs[0] + QLatin1Char('|') + l.outputs[0], stored);
    if (request.contains("Lectern"))
        QCOMPARE(l.inputs[3], QStringLiteral("Lectern"));
    // A newcomer's prelude has the names as stored.
    auto c = std::make_unique<Surface>(h.server->port());
    const QByteArray inputs = c->prelude().value(2);
    QVERIFY(inputs.startsWith("INPUT LABELS:\n0 " + (l.inputs[0].isEmpty() ? QByteArray("Input 1") : l.inputs[0].toUtf8())));
}

void TestVideohub::labelsSavedElsewhereReachClients()
{
    Hub h;
    QVERIFY(h.start());
    auto a = h.surface();
    // The panel names a port; the next read of the line brings it.
    LabelStore panel(h.labels.path());
    QVERIFY(panel.load());
    QVERIFY(panel.setInput(kSwitch, 2, QStringLiteral("Lectern")));
    QVERIFY(panel.setOutput(kSwitch, 8, QStringLiteral("Monitor")));
    QVERIFY(panel.save());
    QVERIFY(waitFor([&] { return h.labels.labels(kSwitch).outputs[7] == QStringLiteral("Monitor"); }));
    QCOMPARE(a->take(2), (QByteArrayList{"INPUT LABELS:\n1 Lectern", "OUTPUT LABELS:\n7 Monitor"}));
    // A damaged file changes nothing the clients see, and takes no names.
    QFile file(h.labels.path());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("not json");
    file.close();
    QVERIFY(waitFor([&] { return h.labels.damaged(); }));
    a->send("INPUT LABELS:\n0 Stage camera\n\nINPUT LABELS:\n\n");
    QCOMPARE(a->take(3), (QByteArrayList{"NAK", "ACK",
                                         "INPUT LABELS:\n0 Input 1\n1 Lectern\n2 Input 3\n3 Input 4\n4 Input 5\n"
                                         "5 Input 6\n6 Input 7\n7 Input 8"}));
}

void TestVideohub::requests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArrayList>("answer");
    QTest::addColumn<int>("routes");  // route commands the switch received

    const QByteArray routingNow = routing({1, 2, 3, 4, 5, 6, 7, 8});
    using L = QByteArrayList;
    QTest::newRow("ping") << QByteArray("PING:\n\n") << L{"ACK"} << 0;
    QTest::newRow("routing query") << QByteArray("VIDEO OUTPUT ROUTING:\n\n") << L{"ACK", routingNow} << 0;
    QTest::newRow("device query") << QByteArray("VIDEOHUB DEVICE:\n\n")
                                  << L{"ACK", "VIDEOHUB DEVICE:\nDevice present: true\nModel name: Talvane HDMI Matrix 8x8\n"
                                              "Friendly name: Rack 2\nUnique ID: 02544C565301\nVideo inputs: 8\n"
                                              "Video processing units: 0\nVideo outputs: 8\nVideo monitoring outputs: 0\n"
                                              "Serial ports: 0"}
                                  << 0;
    QTest::newRow("labels query") << QByteArray("OUTPUT LABELS:\n\n")
                                  << L{"ACK", "OUTPUT LABELS:\n0 Output 1\n1 Output 2\n2 Output 3\n3 Output 4\n"
                                              "4 Output 5\n5 Output 6\n6 Output 7\n7 Output 8"}
                                  << 0;
    QTest::newRow("carriage returns") << QByteArray("VIDEO OUTPUT ROUTING:\r\n1 3\r\n\r\n")
                                      << L{"ACK", "VIDEO OUTPUT ROUTING:\n1 3"} << 1;
    QTest::newRow("blank lines between blocks") << QByteArray("\n\n\nPING:\n\n\n\nPING:\n\n") << L{"ACK", "ACK"} << 0;
    QTest::newRow("input out of range") << QByteArray("VIDEO OUTPUT ROUTING:\n1 8\n\n") << L{"NAK"} << 0;
    QTest::newRow("one bad line spoils the block") << QByteArray("VIDEO OUTPUT ROUTING:\n1 3\n9 0\n\n") << L{"NAK"}
                                                   << 0;
    QTest::newRow("signed index") << QByteArray("VIDEO OUTPUT ROUTING:\n+1 3\n\n") << L{"NAK"} << 0;
    QTest::newRow("no separator") << QByteArray("VIDEO OUTPUT ROUTING:\n13\n\n") << L{"NAK"} << 0;
    QTest::newRow("unknown header") << QByteArray("SERIAL PORT ROUTING:\n0 1\n\n") << L{"NAK"} << 0;
    QTest::newRow("unknown query") << QByteArray("MONITORING OUTPUT LABELS:\n\n") << L{"NAK"} << 0;
    QTest::newRow("no colon") << QByteArray("hello there\n0 1\n\n") << L{"NAK"} << 0;
    QTest::newRow("ping with lines") << QByteArray("PING:\n0 1\n\n") << L{"NAK"} << 0;
    QTest::newRow("device change") << QByteArray("VIDEOHUB DEVICE:\nVideo inputs: 64\n\n") << L{"NAK"} << 0;
    QTest::newRow("take mode change") << QByteArray("CONFIGURATION:\nTake Mode: true\n\n") << L{"NAK"} << 0;
    QTest::newRow("bad lock state") << QByteArray("VIDEO OUTPUT LOCKS:\n1 X\n\n") << L{"NAK"} << 0;
    QTest::newRow("long line") << QByteArray("VIDEO OUTPUT ROUTING:\n1 3" + QByteArray(vh::limits::MaxLineBytes, ' ') + "\n\n")
                               << L{"NAK"} << 0;
    QByteArray many = "VIDEO OUTPUT ROUTING:\n";
    for (int n = 0; n <= vh::limits::MaxBlockLines; ++n)
        many += "1 3\n";
    QTest::newRow("too many lines") << many + "\nPING:\n\n" << L{"NAK", "ACK"} << 0;
}

void TestVideohub::requests()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArrayList, answer);
    QFETCH(int, routes);
    Hub h;
    h.link.model().route = {1, 2, 3, 4, 5, 6, 7, 8};
    QVERIFY(h.start());
    auto a = h.surface();
    a->send(request);
    QCOMPARE(a->take(answer.size()), answer);
    // Nothing else comes, and the connection still works.
    a->send("PING:\n\n");
    QCOMPARE(a->take(1), QByteArrayList{"ACK"});
    QCOMPARE(h.routeCommands(), routes);
    QCOMPARE(h.link.model().route[1], routes ? 4 : 2);
}

void TestVideohub::hostileClients_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("endless line") << "endless";
    QTest::newRow("flood of pings") << "flood";
    QTest::newRow("garbage") << "garbage";
    QTest::newRow("does not read") << "nonreader";
}

// A hostile client next to a plain one: the plain one's route still goes
// through and reaches it, and the server holds a bounded amount for them.
void TestVideohub::hostileClients()
{
    QFETCH(QString, kind);
    Hub h;
    QVERIFY(h.start());
    auto plain = h.surface();
    const qint64 bound = 2 * (vh::limits::ReadBufferBytes + vh::limits::MaxUnreadBytes + 64 * 1024)
                         + 2 * qint64(vh::limits::MaxLineBytes) * vh::limits::MaxBlockLines;
    qint64 most = 0;
    auto watch = [&] { most = std::max(most, h.server->heldBytes()); };

    if (kind == "nonreader") {
        // A raw socket that never reads, with a small receive buffer.
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(fd >= 0);
        int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(h.server->port());
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
        QVERIFY(waitFor([&] { return h.server->clientCount() == 2; }));
        const QByteArray query = QByteArray("VIDEO OUTPUT ROUTING:\n\n").repeated(200);
        QString dropped;
        connect(h.server.get(), &vh::Server::clientRefused, [&](const QString&, const QString& why) { dropped = why; });
        QVERIFY(waitFor([&] {
            (void)::send(fd, query.constData(), size_t(query.size()), MSG_NOSIGNAL);
            watch();
            return !dropped.isEmpty();
        }, 60000));
        ::close(fd);
    } else {
        Surface hostile(h.server->port());
        hostile.prelude();
        QByteArray chunk;
        if (kind == "endless")
            chunk = QByteArray(64 * 1024, 'x');
        else if (kind == "flood")
            chunk = QByteArray("PING:\n\n").repeated(4096);
        else
            for (int n = 0; n < 64 * 1024; ++n)
                chunk += char((n * 7919 + n / 13) % 256);
        for (int n = 0; n < 64; ++n) {
            hostile.send(chunk);
            QVERIFY(waitFor([&] {
                watch();
                return hostile.socket.bytesToWrite() == 0;
            }));
        }
        // It is still served once its block ends.
        hostile.blocks.clear();
        hostile.send("\n\nPING:\n\n");
        QVERIFY(waitFor([&] {
            watch();
            return !hostile.blocks.isEmpty() && hostile.blocks.last() == "ACK";
        }, 60000));
        if (kind == "flood")
            QVERIFY(!hostile.blocks.contains("NAK"));
    }
    QVERIFY2(most <= bound, qPrintable(QStringLiteral("held %1 bytes").arg(most)));
    plain->blocks.clear();
    plain->send("VIDEO OUTPUT ROUTING:\n1 3\n\n");
    QCOMPARE(plain->take(2), (QByteArrayList{"ACK", "VIDEO OUTPUT ROUTING:\n1 3"}));
    QCOMPARE(h.link.model().route[1], 4);
    QCOMPARE(h.routeCommands(), 1);
}

void TestVideohub::tooManyClients()
{
    Hub h;
    QVERIFY(h.start());
    std::vector<std::unique_ptr<Surface>> surfaces;
    for (int n = 0; n < vh::limits::MaxClients; ++n)
        surfaces.push_back(h.surface());
    QCOMPARE(h.server->clientCount(), vh::limits::MaxClients);
    Surface extra(h.server->port());
    QVERIFY(waitFor([&] { return extra.closed(); }));
    QVERIFY(extra.blocks.isEmpty());
    QCOMPARE(h.server->clientCount(), vh::limits::MaxClients);
    // One goes; the next is served.
    surfaces.back()->socket.disconnectFromHost();
    QVERIFY(waitFor([&] { return h.server->clientCount() == vh::limits::MaxClients - 1; }));
    Surface next(h.server->port());
    QCOMPARE(next.prelude().size(), 8);
}

QTEST_GUILESS_MAIN(TestVideohub)
#include "test_videohub.moc"
