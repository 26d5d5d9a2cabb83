// The simulator's links: the command script over TCP and the pseudo-terminal,
// the serial line's registration, reopening and hang-up, closing TCP
// connections, and the datagrams on loopback. Real I/O is awaited by
// processing events until it arrives, with a generous deadline.
#include <QtTest>

#include <QNetworkInterface>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <memory>

#include "sim/console.h"
#include "link/datagramsocket.h"
#include "link/virtualports.h"
#include "sim/simulator.h"
#include "support/hostilepeers.h"
#include "test_sim_cases.h"
#include "sim/udpendpoint.h"

using namespace talvane;
using namespace talvane::sim;
using namespace simtest;

namespace {

// The panel's end of the serial line, raw.
struct PtyClient {
    explicit PtyClient(const QString& path)
        : fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
    }
    ~PtyClient() { ::close(fd); }
    void write(const Bytes& b) const { QCOMPARE(::write(fd, b.data(), b.size()), ssize_t(b.size())); }
    // What has arrived so far.
    QByteArray& received()
    {
        char buf[1024];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
            data.append(buf, n);
        return data;
    }

    const int fd;
    QByteArray data;
};

}  // namespace

class TestSimTransport : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { setAppClock(&clock_); }
    void cleanup() { sim_.reset(); }

    void tcp()
    {
        start(false);
        QCOMPARE(sim_->endpointLines().first(), QString("tcp: 127.0.0.1:%1").arg(sim_->tcpPort()));
        QTcpSocket client;
        QByteArray received;
        connect(&client, &QTcpSocket::readyRead, [&] { received += client.readAll(); });
        client.connectToHost(QHostAddress::LocalHost, sim_->tcpPort());
        QTRY_COMPARE_WITH_TIMEOUT(sim_->tcpConnectionCount(), 1, kDeadlineMs);
        runScript([&](const Bytes& b) { client.write(toQt(b)); }, [&]() -> QByteArray& { return received; });

        QVERIFY(control("close-tcp"));
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, kDeadlineMs);
        QTRY_COMPARE_WITH_TIMEOUT(sim_->tcpConnectionCount(), 0, kDeadlineMs);
        // The port still takes new connections.
        client.connectToHost(QHostAddress::LocalHost, sim_->tcpPort());
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::ConnectedState, kDeadlineMs);
        client.write(toQt(sealed(build::powerStateQuery())));
        QTRY_COMPARE_WITH_TIMEOUT(body(received), kPowerOnReply, kDeadlineMs);
    }

    // A peer that sends and never reads is cut off once its unread replies
    // pass the cap, and the trace says so; the others are still answered.
    // The peer's small receive buffer makes the replies pile up at the
    // simulator after a few kilobytes; the flood is bounded by bytes, and
    // the simulator gets every turn it needs, however slowly it runs.
    void tcpPeerNotReading()
    {
        start(false);
        const int port = sim_->tcpPort();
        constexpr int kPeerBuffer = 4096;
        constexpr std::size_t kFloodLimit = 64 * 1024 * 1024;
        const int fd = hostile::connectTo(port, kDeadlineMs, kPeerBuffer);
        QVERIFY(fd >= 0);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        const hostile::Bytes flood = hostile::queries(1000);
        // Only a simulator that neither reads nor cuts for this long fails here.
        constexpr int kIdleSecondsLimit = 30;
        int idleSeconds = 0;
        QTimer wake;
        connect(&wake, &QTimer::timeout, [&] { ++idleSeconds; });
        wake.start(1000);
        std::size_t sent = 0;
        bool cut = false;
        while (!cut && sent < kFloodLimit && idleSeconds < kIdleSecondsLimit) {
            const ssize_t n = ::send(fd, flood.data(), flood.size(), MSG_NOSIGNAL);
            if (n > 0) {
                sent += std::size_t(n);
                idleSeconds = 0;
            }
            cut = n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
            // With our side full, the simulator has bytes to read: its turn
            // comes as soon as the event loop looks.
            if (!cut)
                QCoreApplication::processEvents(n > 0 ? QEventLoop::AllEvents : QEventLoop::WaitForMoreEvents);
        }
        QVERIFY2(cut, qPrintable(QString("%1 bytes sent, not cut off").arg(sent)));
        ::close(fd);
        QTRY_COMPARE_WITH_TIMEOUT(sim_->tcpConnectionCount(), 0, kDeadlineMs);
        QFile trace(dir_->filePath("trace.txt"));
        QVERIFY(trace.open(QIODevice::ReadOnly));
        const QStringList notes = QString::fromLatin1(trace.readAll()).split('\n').filter(QRegularExpression("^# "));
        QCOMPARE(notes.size(), 1);
        QVERIFY2(QRegularExpression("^# tcp 127\\.0\\.0\\.1:\\d+: (\\d+) bytes of replies not read, disconnected$")
                     .match(notes.first()).hasMatch(), qPrintable(notes.first()));

        QTcpSocket client;
        QByteArray received;
        connect(&client, &QTcpSocket::readyRead, [&] { received += client.readAll(); });
        client.connectToHost(QHostAddress::LocalHost, port);
        client.write(toQt(sealed(build::powerStateQuery())));
        QTRY_COMPARE_WITH_TIMEOUT(body(received), kPowerOnReply, kDeadlineMs);
    }

    void serialLine()
    {
        start(true);
        const QString path = sim_->serialPath();
        const VirtualPortRegistry registry(dir_->filePath("ports"));
        QCOMPARE(int(registry.list().size()), 1);
        QCOMPARE(registry.devicePathOf(sim_->serialCom()), path);
        QCOMPARE(sim_->endpointLines().at(1), QString("serial: COM%1 %2").arg(sim_->serialCom()).arg(path));

        // The panel closes the port and opens it again: the same line still
        // answers, and the simulator never saw a hang-up it had to recover from.
        QSignalSpy reopened(sim_.get(), &Simulator::serialReopened);
        auto panel = std::make_unique<PtyClient>(path);
        runScript([&](const Bytes& b) { panel->write(b); }, [&]() -> QByteArray& { return panel->received(); });
        panel.reset();
        QCoreApplication::processEvents();  // whatever the close causes on the simulator's side
        panel = std::make_unique<PtyClient>(path);
        panel->write(sealed(build::routeQuery(7)));
        QTRY_COMPARE_WITH_TIMEOUT(body(panel->received()), QString("A5 5B 02 01 07 00 07 00 00 00 00 00"), kDeadlineMs);
        QCOMPARE(sim_->serialPath(), path);
        QCOMPARE(reopened.count(), 0);

        // A hang-up gives a fresh line, registered under the same COM number.
        QVERIFY(control("hangup"));
        QCOMPARE(reopened.count(), 1);
        QCOMPARE(registry.devicePathOf(sim_->serialCom()), sim_->serialPath());

        sim_.reset();
        QVERIFY(registry.list().empty());
    }

    void datagramsOnLoopback()
    {
        start(false);
        const QHostAddress loopbackBroadcast{QLatin1String(kLoopbackBroadcast)};
        PanelSocket search(sim_->searchPort()), config(sim_->configPort());
        QVERIFY(search.bound && config.bound);
        search.writeDatagram(QByteArray(1, char(kSearchRequestByte)), loopbackBroadcast, sim_->searchPort());
        const QNetworkDatagram answer = search.await([](const QByteArray& d) { return d.size() > 1; });
        QVERIFY(searchReplyOf(answer.data()));
        // To the loopback broadcast address, not out of the machine.
        QCOMPARE(answer.destinationAddress(), loopbackBroadcast);

        NetConfigPacket p;
        p.target = sim_->device().model().net.mac;
        p.newMac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
        const QByteArray packet = toQt(p.encode()), confirmation = toQt(p.encodeConfirmation());
        config.writeDatagram(packet, loopbackBroadcast, sim_->configPort());
        QVERIFY(config.await([&](const QByteArray& d) { return d == confirmation; }).isValid());
        QCOMPARE(QString::fromStdString(macToText(sim_->device().model().net.mac)), QString("001122334455"));

        // The trace holds requests and answers, not our own answers coming back.
        QFile trace(dir_->filePath("trace.txt"));
        QVERIFY(trace.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromLatin1(trace.readAll()).split('\n', Qt::SkipEmptyParts),
                 QStringList({"< 61", "> " + hexOf(answer.data()), "< " + hexOf(packet), "> " + hexOf(confirmation)}));
    }

    void localAddresses_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("local");
        QTest::newRow("unspecified") << "0.0.0.0" << true;
        QTest::newRow("loopback") << "127.0.0.1" << true;
        QTest::newRow("loopback net") << "127.3.2.1" << true;
        QTest::newRow("IPv6 loopback") << "::1" << true;
        QTest::newRow("elsewhere") << "203.0.113.7" << false;
        for (const QHostAddress& a : QNetworkInterface::allAddresses())
            if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback())
                QTest::newRow(qPrintable("own " + a.toString())) << a.toString() << true;
    }

    void localAddresses()
    {
        QFETCH(QString, address);
        QFETCH(bool, local);
        QCOMPARE(DatagramSocket::isLocalAddress(QHostAddress(address)), local);
    }

private:
    void start(bool serial)
    {
        dir_ = std::make_unique<QTemporaryDir>();
        SimOptions o = onFreePorts();
        o.serial = serial;
        o.registryDirectory = dir_->filePath("ports");
        o.tracePath = dir_->filePath("trace.txt");
        sim_ = std::make_unique<Simulator>(o);
        QString error;
        QVERIFY2(sim_->start(&error), qPrintable(error));
        sim_->device().setRebootMs(0);
    }
    bool control(const QString& line) { return Console(sim_->device(), sim_.get()).execute(line).ok; }

    ManualClock clock_;
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<Simulator> sim_;
};

QTEST_GUILESS_MAIN(TestSimTransport)
#include "test_sim_transport.moc"
