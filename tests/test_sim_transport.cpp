// The simulator's links: the command script over TCP and over the
// pseudo-terminal, the registration of the serial line, hang-ups, closing the
// TCP connection, and the search and settings datagrams on loopback. Waiting
// for real I/O processes events until the condition holds (generous deadline).
#include <QtTest>

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <memory>

#include "console.h"
#include "link/virtualports.h"
#include "protocol/netpackets.h"
#include "simulator.h"
#include "test_sim_cases.h"
#include "udpendpoint.h"

using namespace talvane;
using namespace talvane::sim;
using namespace simtest;

namespace {

constexpr int kDeadlineMs = 5000;
const QAbstractSocket::BindMode kShared = QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint;

// The panel's end of the serial line.
class PtyClient {
public:
    explicit PtyClient(const QString& path)
    {
        fd_ = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            return;
        termios t{};
        ::tcgetattr(fd_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd_, TCSANOW, &t);
        notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readAll(); });
    }
    ~PtyClient() { close(); }
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close()
    {
        notifier_.reset();
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    void write(const Bytes& b) const
    {
        std::size_t done = 0;
        while (done < b.size()) {
            const ssize_t n = ::write(fd_, b.data() + done, b.size() - done);
            if (n > 0)
                done += std::size_t(n);
        }
    }
    QByteArray received;

private:
    void readAll()
    {
        char buf[1024];
        ssize_t n;
        while ((n = ::read(fd_, buf, sizeof buf)) > 0)
            received.append(buf, n);
        if (n == 0 || (n < 0 && errno != EAGAIN))
            notifier_->setEnabled(false);  // hung up
    }
    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};

// Sends each step and checks the reply; a step without reply is checked by
// the next reply being the next step's.
void runScript(const std::function<void(const Bytes&)>& send, QByteArray& received)
{
    for (const ScriptStep& step : commandScript()) {
        send(step.send);
        if (step.reply.isEmpty())
            continue;
        QTRY_VERIFY2_WITH_TIMEOUT(received.size() >= int(kCommandFrameSize), qPrintable(step.name), kDeadlineMs);
        const QByteArray reply = received.left(int(kCommandFrameSize));
        received.remove(0, int(kCommandFrameSize));
        QVERIFY2(CommandFrame::fromBytes(reinterpret_cast<const std::uint8_t*>(reply.constData())).checksumValid(),
                 qPrintable(step.name));
        QCOMPARE(hexOf(reply.left(12)) + " (" + step.name + ")", step.reply + " (" + step.name + ")");
    }
    QCOMPARE(hexOf(received), QString());
}

QList<QByteArray> datagramsOf(QUdpSocket& s, QList<QHostAddress>* destinations = nullptr)
{
    QList<QByteArray> out;
    while (s.hasPendingDatagrams()) {
        const QNetworkDatagram d = s.receiveDatagram();
        out << d.data();
        if (destinations)
            *destinations << d.destinationAddress();
    }
    return out;
}

}  // namespace

class TestSimTransport : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void scriptOverTcp();
    void scriptOverPty();
    void serialLineListedAndSurvivesPanelClose();
    void hangUpGivesAFreshRegisteredLine();
    void closeTcpConnection();
    void searchOnLoopback();
    void configOnLoopback();
    void localAddresses_data();
    void localAddresses();

private:
    void startSimulator(bool serial = true);

    ManualClock clock_;
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<Simulator> sim_;
};

void TestSimTransport::initTestCase() { setAppClock(&clock_); }

void TestSimTransport::init() { dir_ = std::make_unique<QTemporaryDir>(); }

void TestSimTransport::cleanup()
{
    sim_.reset();
    dir_.reset();
}

void TestSimTransport::startSimulator(bool serial)
{
    SimOptions o;
    o.tcpPort = 0;
    o.searchPort = 0;
    o.configPort = 0;
    o.serial = serial;
    o.registryDirectory = dir_->filePath("ports");
    o.tracePath = dir_->filePath("trace.txt");
    sim_ = std::make_unique<Simulator>(o);
    QString error;
    QVERIFY2(sim_->start(&error), qPrintable(error));
    sim_->device().setRebootMs(0);
}

void TestSimTransport::scriptOverTcp()
{
    startSimulator(false);
    QCOMPARE(sim_->endpointLines().first(), QString("tcp: 127.0.0.1:%1").arg(sim_->tcpPort()));
    QTcpSocket client;
    QByteArray received;
    connect(&client, &QTcpSocket::readyRead, [&] { received += client.readAll(); });
    client.connectToHost(QHostAddress::LocalHost, sim_->tcpPort());
    QTRY_COMPARE_WITH_TIMEOUT(sim_->tcpConnectionCount(), 1, kDeadlineMs);
    runScript([&](const Bytes& b) { client.write(toQt(b)); }, received);
}

void TestSimTransport::scriptOverPty()
{
    startSimulator();
    PtyClient panel(sim_->serialPath());
    QVERIFY(panel.isOpen());
    runScript([&](const Bytes& b) { panel.write(b); }, panel.received);
}

void TestSimTransport::serialLineListedAndSurvivesPanelClose()
{
    startSimulator();
    const QString path = sim_->serialPath();
    QVERIFY(path.startsWith("/dev/pts/"));
    const std::vector<VirtualPort> ports = VirtualPortRegistry(dir_->filePath("ports")).list();
    QCOMPARE(int(ports.size()), 1);
    QCOMPARE(ports[0].devicePath, path);
    QCOMPARE(ports[0].comNumber, sim_->serialCom());
    QCOMPARE(sim_->endpointLines().at(1), QString("serial: COM%1 %2").arg(sim_->serialCom()).arg(path));

    // The panel closes the port and opens it again: the same line still
    // answers, and the simulator never saw a hang-up it had to recover from.
    QSignalSpy reopened(sim_.get(), &Simulator::serialReopened);
    for (int round = 0; round < 2; ++round) {
        PtyClient panel(path);
        QVERIFY(panel.isOpen());
        panel.write(sealed(build::routeQuery(7)));
        QTRY_COMPARE_WITH_TIMEOUT(panel.received.size(), int(kCommandFrameSize), kDeadlineMs);
        QCOMPARE(hexOf(panel.received.left(12)), QString("A5 5B 02 01 07 00 07 00 00 00 00 00"));
        panel.close();
        // Nothing is pending on the simulator's side of a closed port.
        QCoreApplication::processEvents();
    }
    QCOMPARE(sim_->serialPath(), path);
    QCOMPARE(reopened.count(), 0);

    sim_.reset();
    QVERIFY(VirtualPortRegistry(dir_->filePath("ports")).list().empty());
}

void TestSimTransport::hangUpGivesAFreshRegisteredLine()
{
    startSimulator();
    PtyClient old(sim_->serialPath());
    QVERIFY(old.isOpen());
    QSignalSpy reopened(sim_.get(), &Simulator::serialReopened);
    Console console(sim_->device(), sim_.get());
    QVERIFY(console.execute("hangup").ok);
    QCOMPARE(reopened.count(), 1);

    // The panel's end sees the hang-up.
    pollfd p{old.fd(), POLLIN, 0};
    QCOMPARE(::poll(&p, 1, kDeadlineMs), 1);
    QVERIFY(p.revents & POLLHUP);

    // Registered again: the panel finds the fresh line under its COM number.
    QCOMPARE(VirtualPortRegistry(dir_->filePath("ports")).devicePathOf(sim_->serialCom()), sim_->serialPath());
    PtyClient panel(sim_->serialPath());
    QVERIFY(panel.isOpen());
    panel.write(sealed(build::powerStateQuery()));
    QTRY_COMPARE_WITH_TIMEOUT(panel.received.size(), int(kCommandFrameSize), kDeadlineMs);
    QCOMPARE(hexOf(panel.received.left(12)), QString("A5 5B 08 0C 0F 00 00 00 00 00 00 00"));
}

void TestSimTransport::closeTcpConnection()
{
    startSimulator(false);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, sim_->tcpPort());
    QTRY_COMPARE_WITH_TIMEOUT(sim_->tcpConnectionCount(), 1, kDeadlineMs);
    QVERIFY(Console(sim_->device(), sim_.get()).execute("close-tcp").ok);
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, kDeadlineMs);
    QTRY_COMPARE_WITH_TIMEOUT(sim_->tcpConnectionCount(), 0, kDeadlineMs);

    // The port still takes new connections.
    QTcpSocket again;
    QByteArray received;
    connect(&again, &QTcpSocket::readyRead, [&] { received += again.readAll(); });
    again.connectToHost(QHostAddress::LocalHost, sim_->tcpPort());
    QTRY_COMPARE_WITH_TIMEOUT(again.state(), QAbstractSocket::ConnectedState, kDeadlineMs);
    again.write(toQt(sealed(build::powerStateQuery())));
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), int(kCommandFrameSize), kDeadlineMs);
}

void TestSimTransport::searchOnLoopback()
{
    startSimulator(false);
    const quint16 port = sim_->searchPort();
    // The panel's socket: any address, the search port, shared.
    QUdpSocket panel;
    QVERIFY(panel.bind(QHostAddress::AnyIPv4, port, kShared));
    QList<QByteArray> got;
    QList<QHostAddress> destinations;
    connect(&panel, &QUdpSocket::readyRead, [&] { got += datagramsOf(panel, &destinations); });
    const char request = char(kSearchRequestByte);
    QCOMPARE(panel.writeDatagram(&request, 1, QHostAddress(QLatin1String(kLoopbackBroadcast)), port), qint64(1));
    QTRY_VERIFY_WITH_TIMEOUT(std::any_of(got.begin(), got.end(), [](const QByteArray& d) { return d.size() > 1; }),
                             kDeadlineMs);
    const int at = int(std::find_if(got.begin(), got.end(), [](const QByteArray& d) { return d.size() > 1; }) - got.begin());
    const QByteArray answer = got[at];
    QVERIFY(answer.size() >= int(SearchReply::kMinSize));
    const auto r = SearchReply::decode(reinterpret_cast<const std::uint8_t*>(answer.constData()), std::size_t(answer.size()));
    QVERIFY(r && r->marked);
    QCOMPARE(QString::fromStdString(ipToText(r->ip)), QString("127.0.0.1"));
    // It went to the loopback broadcast address, not out of the machine.
    QCOMPARE(destinations[at], QHostAddress(QLatin1String(kLoopbackBroadcast)));

    // The trace holds the request and the answer, not the answer coming back.
    QFile trace(dir_->filePath("trace.txt"));
    QVERIFY(trace.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromLatin1(trace.readAll()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines, QStringList({"< 61", "> " + hexOf(answer)}));
}

void TestSimTransport::configOnLoopback()
{
    startSimulator(false);
    const quint16 port = sim_->configPort();
    QUdpSocket panel;
    QVERIFY(panel.bind(QHostAddress::AnyIPv4, port, kShared));
    QList<QByteArray> got;
    connect(&panel, &QUdpSocket::readyRead, [&] { got += datagramsOf(panel); });

    NetConfigPacket p;
    p.target = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};  // another switch
    p.staticIp = true;
    p.ip = {10, 9, 8, 7};
    p.newMac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x66};
    const QHostAddress to{QLatin1String(kLoopbackBroadcast)};
    panel.writeDatagram(toQt(p.encode()), to, port);
    p.target = sim_->device().model().net.mac;
    p.newMac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    panel.writeDatagram(toQt(p.encode()), to, port);

    const auto isConfirmation = [](const QByteArray& d) {
        return d.size() >= int(NetConfigPacket::kSize) && d[int(NetConfigPacket::kEndMarkAt)] == char(NetConfigPacket::kConfirmOk);
    };
    QTRY_VERIFY_WITH_TIMEOUT(std::any_of(got.begin(), got.end(), isConfirmation), kDeadlineMs);
    const QByteArray first = *std::find_if(got.begin(), got.end(), isConfirmation);
    // The first confirmation is the one for this switch's MAC.
    QCOMPARE(hexOf(first.mid(int(NetConfigPacket::kNewMacAt), 6)), QString("00 11 22 33 44 55"));
    QCOMPARE(QString::fromStdString(macToText(sim_->device().model().net.mac)), QString("001122334455"));
    QCOMPARE(QString::fromStdString(ipToText(sim_->device().reportedAddress())), QString("10.9.8.7"));
}

void TestSimTransport::localAddresses_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("local");
    QTest::newRow("unspecified") << "0.0.0.0" << true;
    QTest::newRow("loopback") << "127.0.0.1" << true;
    QTest::newRow("loopback net") << "127.3.2.1" << true;
    QTest::newRow("IPv6 loopback") << "::1" << true;
    QTest::newRow("documentation net") << "203.0.113.7" << false;
    QTest::newRow("public") << "8.8.8.8" << false;
    for (const QHostAddress& a : QNetworkInterface::allAddresses())
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback())
            QTest::newRow(qPrintable("own " + a.toString())) << a.toString() << true;
}

void TestSimTransport::localAddresses()
{
    QFETCH(QString, address);
    QFETCH(bool, local);
    QCOMPARE(UdpEndpoint::isLocalAddress(QHostAddress(address)), local);
}

QTEST_GUILESS_MAIN(TestSimTransport)
#include "test_sim_transport.moc"
