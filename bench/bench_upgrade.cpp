// A 100,000-byte firmware upload from the panel to the switch simulator over
// its pseudo-terminal, with the simulator pacing every reply as a 115200 8N2
// line would (11 bits a byte). The time from pressing Upgrade to the last
// block's acknowledgement is printed beside the wire-time limit: every byte of
// every frame of the upload, both ways, at 11 bits a byte.
//
// Then, for scale: one upload with pacing off (what the panel, the simulator
// and the pseudo-terminal cost together), and the paced exchanges alone, a
// plain client on the line in place of the panel. Last, the same upload over
// the TCP control connection on loopback, unpaced.
//
//   bench_upgrade [PASSES]      (default 3; talvane-sim is taken from beside this program)
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "app/controlids.h"
#include "app/generalpage.h"
#include "app/mainwindow.h"
#include "app/networkpanel.h"
#include "link/serialport.h"
#include "link/tcplink.h"
#include "pages/upgradepage.h"
#include "protocol/commands.h"
#include "benchpanel.h"

using namespace talvane;
using namespace talvane::bench;
namespace up = talvane::upgrade;

namespace {

constexpr int kImageSize = 100000;
constexpr int kDefaultPasses = 3;
constexpr int kSettleMs = 200;        // for the information exchange after the reboot
constexpr int kExchanges = 30;        // of each kind, with a plain client
constexpr int kReplyDeadlineMs = 2000;


int fail(const QString& what) { return talvane::bench::fail("bench_upgrade", what); }

// A plain client on the simulator's line: the time from writing a frame to
// the last byte of its 13-byte answer.
struct LineClient {
    int fd = -1;
    explicit LineClient(const QString& path)
    {
        fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t{};
        if (fd >= 0 && ::tcgetattr(fd, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(fd, TCSANOW, &t);
        }
    }
    ~LineClient()
    {
        if (fd >= 0)
            ::close(fd);
    }
    double exchangeMs(const std::uint8_t* bytes, std::size_t n)
    {
        const auto start = std::chrono::steady_clock::now();
        if (::write(fd, bytes, n) != ssize_t(n))
            return -1;
        std::size_t got = 0;
        std::uint8_t reply[kCommandFrameSize];
        while (got < kCommandFrameSize) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, kReplyDeadlineMs) <= 0)
                return -1;
            const ssize_t r = ::read(fd, reply + got, kCommandFrameSize - got);
            if (r > 0)
                got += std::size_t(r);
        }
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    }
};

}  // namespace

int main(int argc, char** argv)
{
    PanelEnvironment environment;
    QApplication app(argc, argv);
    const int passes = passesArgument(argc, argv, kDefaultPasses);

    SimProcess sim;
    const PacedSerial serial = startPacedSerial(sim);
    const int com = serial.com;
    const QString serialPath = serial.path;
    if (com <= 0)
        return fail(QStringLiteral("the simulator did not start"));

    CTalvaneDlg window;
    if (!connectSerial(window, com))
        return fail(QStringLiteral("could not connect to the simulator"));
    talvane::bench::settle(kSettleMs);  // the greeting

    QString error;
    QByteArray image;
    CFWDlg* page = openRandomImage(window, environment.registry, kImageSize, kSettleMs, error, &image);
    if (!page)
        return fail(error);

    const double limitMs = upgradeWireMs(std::size_t(kImageSize));
    std::printf("image %d bytes, %zu blocks; wire-time limit at 115200 8N2 (11 bits a byte): %.1f ms\n", kImageSize,
                firmwareBlockCount(std::size_t(kImageSize)), limitMs);
    std::vector<double> times;
    for (int pass = 1; pass <= passes; ++pass) {
        const double ms = uploadOnce(page, error, kSettleMs);
        if (ms < 0)
            return fail(error);
        times.push_back(ms);
        std::printf("pass %d: %.1f ms, %+.2f%% against the limit\n", pass, ms, percentOver(ms, limitMs));
        std::fflush(stdout);
    }
    QByteArray held;
    for (const QByteArray& line : sim.command("status", "faults:").split('\n'))
        if (line.startsWith("upgrade:"))
            held = line;
    const double paced = median(times);
    std::printf("paced upload over the pty: median %.1f ms, best %.1f ms; limit %.1f ms; median %+.2f%% (goal: at most +3%%)\n",
                paced, *std::min_element(times.begin(), times.end()), limitMs, percentOver(paced, limitMs));
    std::printf("simulator after the last pass: %s\n", held.constData());

    sim.command("pace off");
    const double unpaced = uploadOnce(page, error, kSettleMs);
    if (unpaced < 0)
        return fail(error);
    std::printf("the same upload unpaced (panel, simulator and pty alone): %.1f ms, %.2f ms a block\n", unpaced,
                unpaced / double(firmwareBlockCount(std::size_t(kImageSize))));
    sim.command("pace on");

    // The line to the simulator without the panel.
    window.controlAs<QPushButton>(ctl::Connect)->click();  // disconnects
    talvane::bench::settle(kSettleMs);
    LineClient client(serialPath);
    if (client.fd < 0)
        return fail(QStringLiteral("cannot open ") + serialPath);
    const CommandFrame query = build::powerStateQuery().seal();
    std::vector<double> small;
    for (int i = 0; i < kExchanges; ++i)
        small.push_back(client.exchangeMs(query.data(), query.size()));
    CommandFrame start = build::upgradeStart().seal();
    CommandFrame request = build::upgradeTransferRequest().seal();
    client.exchangeMs(start.data(), start.size());
    client.exchangeMs(request.data(), request.size());
    std::vector<double> blocks;
    DataFrame block;
    for (int n = 0; n < kExchanges; ++n) {
        build::firmwareBlock(block, reinterpret_cast<const std::uint8_t*>(image.constData()), std::size_t(kImageSize),
                             std::size_t(n) * kDataPayloadSize);
        computeChecksum(block.data(), block.size());
        blocks.push_back(client.exchangeMs(block.data(), block.size()));
    }
    if (std::min(*std::min_element(small.begin(), small.end()), *std::min_element(blocks.begin(), blocks.end())) < 0)
        return fail(QStringLiteral("the simulator did not answer the plain client"));
    const double smallWire = lineMs(2 * kCommandFrameSize);
    const double blockWire = lineMs(kDataFrameSize + kCommandFrameSize);
    std::printf("paced exchanges, a plain client on the pty (median of %d):\n", kExchanges);
    std::printf("  13-byte command and answer: wire %.3f ms, measured %.3f ms (%+.1f%%)\n", smallWire, median(small),
                percentOver(median(small), smallWire));
    std::printf("  1029-byte block and answer: wire %.3f ms, measured %.3f ms (%+.2f%%)\n", blockWire, median(blocks),
                percentOver(median(blocks), blockWire));

    // The same upload over the TCP control connection on loopback, unpaced.
    std::fflush(stdout);
    SimProcess tcpSim;
    const QList<QByteArray> tcpLine = tcpSim.start(
        {QStringLiteral("--no-serial"), QStringLiteral("--tcp-port"), QStringLiteral("0")}, "tcp: ");
    const QList<QByteArray> hostPort = tcpLine.value(1).split(':');
    if (hostPort.size() != 2)
        return fail(QStringLiteral("the TCP simulator did not start"));
    if (!connectTcp(window, QString::fromLatin1(hostPort[0]), quint16(hostPort[1].toUInt()), kReplyDeadlineMs))
        return fail(QStringLiteral("could not connect to the simulator over TCP: ") + window.linkStatus());
    talvane::bench::settle(kSettleMs);  // the greeting
    window.pressAt(window.control(ctl::TabUpgrade)->geometry().center());
    talvane::bench::settle(kSettleMs);
    std::vector<double> tcpTimes;
    for (int pass = 1; pass <= passes; ++pass) {
        const double ms = uploadOnce(page, error, kSettleMs);
        if (ms < 0)
            return fail(error);
        tcpTimes.push_back(ms);
    }
    std::printf("the same upload over TCP on loopback, unpaced: median %.1f ms, best %.1f ms (goal: under 50 ms)\n",
                median(tcpTimes), *std::min_element(tcpTimes.begin(), tcpTimes.end()));
    return 0;
}
