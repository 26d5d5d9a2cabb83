// Real limited broadcasts (255.255.255.255), which must never leave this
// machine: the whole test runs in a network namespace of its own, with only a
// loopback interface and a route for the limited broadcast over it. Where a
// namespace cannot be made, the tests are skipped.
#include <QtTest>

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

#include "sim/simulator.h"
#include "test_sim_cases.h"

using namespace talvane;
using namespace talvane::sim;
using namespace simtest;

namespace {

QString g_notIsolated;  // why there is no namespace of our own; empty when there is

bool writeFile(const char* path, const std::string& text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// Must run before any thread starts (a user namespace needs a single thread).
QString enterOwnNetworkNamespace()
{
    if (::unshare(CLONE_NEWNET) != 0) {
        const std::string uid = std::to_string(::getuid()), gid = std::to_string(::getgid());
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
            return QStringLiteral("unshare: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        writeFile("/proc/self/setgroups", "deny");
        if (!writeFile("/proc/self/uid_map", "0 " + uid + " 1") || !writeFile("/proc/self/gid_map", "0 " + gid + " 1"))
            return QStringLiteral("cannot map the user into the namespace");
    }
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = s >= 0 && ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    ok = ok && ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    // The limited broadcast goes out over loopback, so it comes back to this host.
    rtentry rt{};
    for (sockaddr* a : {&rt.rt_dst, &rt.rt_genmask}) {
        auto* in = reinterpret_cast<sockaddr_in*>(a);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_BROADCAST);
    }
    rt.rt_flags = RTF_UP | RTF_HOST;
    char device[] = "lo";
    rt.rt_dev = device;
    ok = ok && ::ioctl(s, SIOCADDRT, &rt) == 0;
    const int err = errno;
    if (s >= 0)
        ::close(s);
    return ok ? QString() : QStringLiteral("network set-up: %1").arg(QString::fromLocal8Bit(std::strerror(err)));
}

}  // namespace

class TestSimNetns : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (!g_notIsolated.isEmpty())
            QSKIP(qPrintable("no network namespace of our own: " + g_notIsolated));
        setAppClock(&clock_);
    }

    void searchAnswers_data()
    {
        QTest::addColumn<bool>("network");
        QTest::addColumn<QString>("answerTo");
        QTest::newRow("network mode") << true << "255.255.255.255";
        // The request's source reads 0.0.0.0 here; it is still a local one.
        QTest::newRow("local mode") << false << "127.255.255.255";
    }

    void searchAnswers()
    {
        QFETCH(bool, network);
        QFETCH(QString, answerTo);
        SimOptions o = onFreePorts();
        o.serial = false;
        o.network = network;
        Simulator sim(o);
        QString error;
        QVERIFY2(sim.start(&error), qPrintable(error));
        QVERIFY(sim.endpointLines().first().startsWith(network ? "tcp: 0.0.0.0:" : "tcp: 127.0.0.1:"));
        PanelSocket panel(sim.searchPort());
        QVERIFY(panel.bound);
        const QByteArray request(1, char(kSearchRequestByte));
        QCOMPARE(panel.writeDatagram(request, QHostAddress(QHostAddress::Broadcast), sim.searchPort()), qint64(1));
        const QNetworkDatagram answer = panel.await([](const QByteArray& d) { return d.size() > 1; });
        QCOMPARE(answer.destinationAddress(), QHostAddress(answerTo));
        const auto r = searchReplyOf(answer.data());
        QVERIFY(r && r->marked);
        QCOMPARE(QString::fromStdString(ipToText(r->ip)), QString("127.0.0.1"));  // only loopback here
    }

private:
    ManualClock clock_;
};

int main(int argc, char** argv)
{
    g_notIsolated = enterOwnNetworkNamespace();
    QCoreApplication app(argc, argv);
    TestSimNetns test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_sim_netns.moc"
