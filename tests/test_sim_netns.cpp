// Real limited broadcasts (255.255.255.255), which must never leave this
// machine: the whole test runs in a network namespace of its own, with only a
// loopback interface and a route for the limited broadcast over it. Where a
// namespace cannot be made, the tests are skipped.
#include <QtTest>

#include <QNetworkDatagram>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "protocol/netpackets.h"
#include "simulator.h"
#include "udpendpoint.h"

using namespace talvane;
using namespace talvane::sim;

namespace {

constexpr int kDeadlineMs = 5000;
const QAbstractSocket::BindMode kShared = QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint;

QString g_notIsolated;  // why there is no namespace of our own; empty when there is

bool writeFile(const char* path, const std::string& text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    return ok;
}

// Must run before any thread starts (a user namespace needs a single thread).
QString enterOwnNetworkNamespace()
{
    if (::unshare(CLONE_NEWNET) != 0) {
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
            return QStringLiteral("unshare: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        writeFile("/proc/self/setgroups", "deny");
        if (!writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1")
            || !writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return QStringLiteral("cannot map the user into the namespace");
    }
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return QStringLiteral("socket failed");
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    ok = ok && ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    // The limited broadcast goes out over loopback, so it comes back to this host.
    rtentry rt{};
    auto* dst = reinterpret_cast<sockaddr_in*>(&rt.rt_dst);
    dst->sin_family = AF_INET;
    dst->sin_addr.s_addr = htonl(INADDR_BROADCAST);
    auto* mask = reinterpret_cast<sockaddr_in*>(&rt.rt_genmask);
    mask->sin_family = AF_INET;
    mask->sin_addr.s_addr = htonl(INADDR_BROADCAST);
    rt.rt_flags = RTF_UP | RTF_HOST;
    char device[] = "lo";
    rt.rt_dev = device;
    ok = ok && ::ioctl(s, SIOCADDRT, &rt) == 0;
    const int err = errno;
    ::close(s);
    return ok ? QString() : QStringLiteral("network set-up: %1").arg(QString::fromLocal8Bit(std::strerror(err)));
}

struct Received {
    QByteArray data;
    QHostAddress sender;
    QHostAddress destination;
};

}  // namespace

class TestSimNetns : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup() { sim_.reset(); }
    void searchAnswers_data();
    void searchAnswers();

private:
    void startSimulator(bool network);
    std::unique_ptr<Simulator> sim_;
    ManualClock clock_;
};

void TestSimNetns::initTestCase()
{
    if (!g_notIsolated.isEmpty())
        QSKIP(qPrintable("no network namespace of our own: " + g_notIsolated));
    setAppClock(&clock_);
}

void TestSimNetns::startSimulator(bool network)
{
    SimOptions o;
    o.tcpPort = 0;
    o.searchPort = 0;
    o.configPort = 0;
    o.serial = false;
    o.network = network;
    sim_ = std::make_unique<Simulator>(o);
    QString error;
    QVERIFY2(sim_->start(&error), qPrintable(error));
}

void TestSimNetns::searchAnswers_data()
{
    QTest::addColumn<bool>("network");
    QTest::addColumn<QString>("answerTo");
    QTest::newRow("network mode") << true << "255.255.255.255";
    // The request's source reads 0.0.0.0 here; it is still a local one.
    QTest::newRow("local mode") << false << "127.255.255.255";
}

void TestSimNetns::searchAnswers()
{
    QFETCH(bool, network);
    QFETCH(QString, answerTo);
    startSimulator(network);
    QVERIFY(sim_->endpointLines().first().startsWith(network ? "tcp: 0.0.0.0:" : "tcp: 127.0.0.1:"));
    const quint16 port = sim_->searchPort();
    QUdpSocket panel;
    QVERIFY(panel.bind(QHostAddress::AnyIPv4, port, kShared));
    QList<Received> got;
    connect(&panel, &QUdpSocket::readyRead, [&] {
        while (panel.hasPendingDatagrams()) {
            const QNetworkDatagram d = panel.receiveDatagram();
            got << Received{d.data(), d.senderAddress(), d.destinationAddress()};
        }
    });
    const char request = char(kSearchRequestByte);
    QCOMPARE(panel.writeDatagram(&request, 1, QHostAddress(QHostAddress::Broadcast), port), qint64(1));
    const auto isAnswer = [](const Received& r) { return r.data.size() >= int(SearchReply::kMinSize); };
    QTRY_VERIFY_WITH_TIMEOUT(std::any_of(got.begin(), got.end(), isAnswer), kDeadlineMs);

    // The request as the panel's own socket saw it.
    const auto req = std::find_if(got.begin(), got.end(), [](const Received& r) { return r.data.size() == 1; });
    QVERIFY(req != got.end());
    QCOMPARE(req->sender, QHostAddress(QHostAddress::AnyIPv4));

    const Received answer = *std::find_if(got.begin(), got.end(), isAnswer);
    QCOMPARE(answer.destination, QHostAddress(answerTo));
    const auto r = SearchReply::decode(reinterpret_cast<const std::uint8_t*>(answer.data.constData()),
                                       std::size_t(answer.data.size()));
    QVERIFY(r && r->marked);
    QCOMPARE(QString::fromStdString(ipToText(r->ip)), QString("127.0.0.1"));  // only loopback here
}

int main(int argc, char** argv)
{
    g_notIsolated = enterOwnNetworkNamespace();
    QCoreApplication app(argc, argv);
    TestSimNetns test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_sim_netns.moc"
