// bench_flood [SECONDS]: the panel (offscreen) connected over TCP to a peer
// that floods it as fast as loopback carries, and searching while a peer
// floods the search port with answers. While each flood runs, a probe thread
// asks the window's accessibility interface for its name every 50 ms through
// the event loop, as a screen reader's query would arrive; it prints the
// worst and the 99th-percentile wait, the panel's resident memory before,
// at most during and after the flood, and what the panel wrote back.
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "app/controlids.h"
#include "app/mainwindow.h"
#include "app/networkpanel.h"
#include "link/tcplink.h"
#include "benchpanel.h"
#include "protocol/commands.h"
#include "protocol/netpackets.h"
#include "protocol/replies.h"

using namespace talvane;
using namespace talvane::bench;
using Steady = std::chrono::steady_clock;

namespace {

constexpr int kProbeEveryMs = 50;

long residentKb()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    long kb = -1;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> kb;
            break;
        }
        status.ignore(1 << 12, '\n');
    }
    return kb;
}

std::string wireOf(CommandFrame f, bool badChecksum = false)
{
    f.seal();
    if (badChecksum)
        f.bytes.back() = std::uint8_t(f.bytes.back() + 1);
    return std::string(reinterpret_cast<const char*>(f.bytes.data()), f.bytes.size());
}

// Accepts one connection on a loopback port and writes `pattern` over and
// over until told to stop, counting what the panel sends back.
struct TcpFlooder {
    int listener = -1;
    quint16 port = 0;
    std::atomic<bool> stop{false};
    std::atomic<long long> written{0}, readBack{0};
    std::thread thread;

    TcpFlooder()
    {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener, 1);
        socklen_t len = sizeof a;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    void run(const std::string& pattern)
    {
        thread = std::thread([this, pattern] {
            const int s = ::accept(listener, nullptr, nullptr);
            std::string block;
            while (block.size() < 64 * 1024)
                block += pattern;
            char sink[4096];
            while (!stop) {
                pollfd p{s, POLLIN | POLLOUT, 0};
                if (::poll(&p, 1, 100) <= 0)
                    continue;
                if (p.revents & POLLIN) {
                    const ssize_t n = ::recv(s, sink, sizeof sink, MSG_DONTWAIT);
                    if (n == 0)
                        break;
                    if (n > 0)
                        readBack += n;
                }
                if (p.revents & POLLOUT) {
                    const ssize_t n = ::send(s, block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                    if (n > 0)
                        written += n;
                }
                if (p.revents & (POLLERR | POLLHUP))
                    break;
            }
            ::close(s);
        });
    }
    ~TcpFlooder()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
        ::close(listener);
    }
};

// Sends `datagram` to the panel's search port until told to stop.
struct UdpFlooder {
    std::atomic<bool> stop{false};
    std::atomic<long long> sent{0};
    std::thread thread;
    void run(quint16 port, const std::string& datagram)
    {
        thread = std::thread([this, port, datagram] {
            const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(port);
            while (!stop) {
                if (::sendto(s, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) > 0)
                    ++sent;
                else
                    std::this_thread::yield();
            }
            ::close(s);
        });
    }
    ~UdpFlooder()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
    }
};

// Posts an accessibility query to the event loop every 50 ms and notes how
// long each waited before it was answered.
struct Probe {
    std::vector<double> waitsMs;
    long peakKb = 0;
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::thread thread;
    void run(QWidget* window)
    {
        thread = std::thread([this, window] {
            while (!stop) {
                const auto posted = Steady::now();
                QMetaObject::invokeMethod(
                    qApp,
                    [this, window, posted] {
                        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(window);
                        const bool named = a && !a->text(QAccessible::Name).isEmpty() && a->childCount() > 0;
                        const double ms = std::chrono::duration<double, std::milli>(Steady::now() - posted).count();
                        const std::lock_guard<std::mutex> hold(lock);
                        waitsMs.push_back(named ? ms : 1e9);
                        peakKb = std::max(peakKb, residentKb());
                    },
                    Qt::QueuedConnection);
                std::this_thread::sleep_for(std::chrono::milliseconds(kProbeEveryMs));
            }
        });
    }
    void end()
    {
        stop = true;
        thread.join();
        waitUntil([] { return false; }, 200);  // the last queries are answered
    }
};

void report(const char* what, Probe& probe, long idleKb, long afterKb, const QString& traffic)
{
    std::vector<double> w = probe.waitsMs;
    std::sort(w.begin(), w.end());
    const double worst = w.empty() ? -1 : w.back();
    const double p99 = w.empty() ? -1 : w[std::min(w.size() - 1, w.size() * 99 / 100)];
    std::printf("%-26s queries %zu, wait worst %.1f ms, 99%% %.1f ms; resident %.1f MB idle, %.1f MB at most, "
                "%.1f MB after (%+.1f MB); %s\n",
                what, w.size(), worst, p99, idleKb / 1024.0, probe.peakKb / 1024.0, afterKb / 1024.0,
                (afterKb - idleKb) / 1024.0, qPrintable(traffic));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    PanelEnvironment env;
    QApplication app(argc, argv);
    const int seconds = passesArgument(argc, argv, 20);

    CTalvaneDlg window;
    window.show();
    NetEndpoints e = window.networkPanel().endpoints();
    e.broadcast = QHostAddress(QStringLiteral("127.255.255.255"));
    {
        QUdpSocket a, b;
        a.bind(QHostAddress::AnyIPv4, 0);
        b.bind(QHostAddress::AnyIPv4, 0);
        e.searchPort = a.localPort();
        e.configPort = b.localPort();
    }
    window.controlAs<QRadioButton>(ctl::TcpMode)->click();

    struct Kind {
        const char* name;
        std::string pattern;
    };
    const Kind kinds[] = {
        {"TCP: power-on replies", wireOf(reply::powerState(kStateOn))},
        {"TCP: FE EF pairs", std::string("\xFE\xEF")},
        {"TCP: bad checksums", wireOf(reply::powerState(kStateOn), true)},
    };
    for (const Kind& kind : kinds) {
        // Connect, then flood from the first byte.
        TcpFlooder peer;
        e.tcpPort = peer.port;
        window.networkPanel().setEndpoints(e);
        window.controlAs<QComboBox>(ctl::DeviceList)->setEditText(QStringLiteral("127.0.0.1"));
        window.controlAs<QPushButton>(ctl::TcpConnect)->click();
        peer.run(kind.pattern);
        if (!waitUntil([&] { return window.tcpLink().isOpen(); }, 5000))
            return fail("bench_flood", QStringLiteral("the panel did not connect"));
        const long idleKb = residentKb();
        Probe probe;
        probe.run(&window);
        waitUntil([] { return false; }, seconds * 1000);
        peer.stop = true;
        peer.thread.join();
        probe.end();
        waitUntil([] { return false; }, 2000);
        const long afterKb = residentKb();
        report(kind.name, probe, idleKb, afterKb,
               QStringLiteral("flooded %1 MB, the panel wrote back %2 bytes")
                   .arg(peer.written / 1048576.0, 0, 'f', 1)
                   .arg(peer.readBack.load()));
        if (window.tcpLink().isOpen())
            window.controlAs<QPushButton>(ctl::TcpConnect)->click();  // Disconnect
    }

    // Search answers: the panel searches while a peer floods its search port.
    {
        window.networkPanel().setEndpoints(e);
        window.controlAs<QPushButton>(ctl::Search)->click();
        SearchReply r;
        r.mac = {0x02, 0, 0, 0, 0, 0x01};
        r.ip = {10, 0, 0, 1};
        const std::vector<std::uint8_t> d = r.encode();
        const long idleKb = residentKb();
        UdpFlooder flooder;
        Probe probe;
        probe.run(&window);
        flooder.run(e.searchPort, std::string(d.begin(), d.end()));
        waitUntil([] { return false; }, seconds * 1000);
        flooder.stop = true;
        flooder.thread.join();
        probe.end();
        waitUntil([] { return false; }, 2000);
        report("UDP: search answers", probe, idleKb, residentKb(),
               QStringLiteral("%1 answers sent").arg(flooder.sent.load()));
    }
    return 0;
}
