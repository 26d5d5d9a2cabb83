// What the hub costs: talvane-sim --pace as a process of its own on its
// pseudo-terminal, `talvane-ctl serve` as a process of its own on that line
// (its control port and Videohub on loopback), and the panel (offscreen) in
// TCP Control Mode on the hub's control port.
//
//  1. The status read (16 exchanges of a 13-byte command and its 13-byte
//     answer) through the hub, against the wire time of 16 x 26 bytes at 11
//     bits a byte (39.72 ms); first straight on the pty, for scale.
//  2. A 100,000-byte firmware upload through the hub, against the wire time
//     of every frame of the upload, both ways (see bench_upgrade).
//  3. The CPU time of the hub over SECONDS: with no client, then with three
//     idle clients on its control port. The first is the hub and its idle
//     read (the routing every 1.7 s, a slice of the rest with it); the
//     difference is what the three clients cost.
//
//   bench_hub [PASSES] [SECONDS]      (defaults 21 and 60)
#include <QApplication>
#include <QTcpSocket>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "benchpanel.h"

using namespace talvane;
using namespace talvane::bench;

namespace {

constexpr int kDefaultPasses = 21;
constexpr int kDefaultSeconds = 60;
constexpr int kUploadPasses = 3;
constexpr int kImageSize = 100000;
constexpr int kExchanges = 16;
constexpr int kIdleClients = 3;
constexpr int kSettleMs = 100;
constexpr int kConnectMs = 5000;

int fail(const QString& what) { return talvane::bench::fail("bench_hub", what); }

double msSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// PASSES status reads from the General page; empty when one did not end.
std::vector<double> statusReads(CTalvaneDlg& window, int passes)
{
    std::vector<double> times;
    auto* button = window.controlAs<QPushButton>(ctl::Status);
    for (int pass = 0; pass < passes; ++pass) {
        // The click returns once its busy popup has closed, which the last answer does.
        const auto start = std::chrono::steady_clock::now();
        button->click();
        times.push_back(msSince(start));
        if (!window.ready())
            return {};
        settle(kSettleMs);
    }
    return times;
}

void report(const char* what, const std::vector<double>& times, double wireMs)
{
    std::printf("%s: median %.2f ms, best %.2f ms over %zu runs; wire %.2f ms; median %.3fx the wire time\n", what,
                median(times), *std::min_element(times.begin(), times.end()), times.size(), wireMs,
                median(times) / wireMs);
    std::fflush(stdout);
}

// The hub's CPU use over `seconds`, in percent of a core.
double idlePercent(const ServeProcess& serve, int seconds)
{
    const double before = serve.cpuSeconds();
    settle(seconds * 1000);
    return (serve.cpuSeconds() - before) * 100.0 / seconds;
}

}  // namespace

int main(int argc, char** argv)
{
    PanelEnvironment environment;
    QApplication app(argc, argv);
    const int passes = passesArgument(argc, argv, kDefaultPasses);
    const int seconds = argc > 2 ? std::max(1, QString::fromLocal8Bit(argv[2]).toInt()) : kDefaultSeconds;

    SimProcess sim;
    const PacedSerial serial = startPacedSerial(sim);
    if (serial.com <= 0)
        return fail(QStringLiteral("the simulator did not start"));
    const double statusWire = kExchanges * lineMs(2.0 * kCommandFrameSize);

    // For scale: the panel straight on the pty.
    CTalvaneDlg window;
    if (!connectSerial(window, serial.com))
        return fail(QStringLiteral("could not connect to the simulator"));
    settle(kSettleMs);
    const std::vector<double> direct = statusReads(window, passes);
    if (direct.empty())
        return fail(QStringLiteral("the status read did not end"));
    report("status read straight on the pty", direct, statusWire);
    window.controlAs<QPushButton>(ctl::Connect)->click();  // disconnects
    settle(kSettleMs);

    ServeProcess serve;
    if (!serve.start(serial.com))
        return fail(QStringLiteral("talvane-ctl serve did not start:\n") + QString::fromLocal8Bit(serve.out));
    if (!connectTcp(window, QStringLiteral("127.0.0.1"), serve.control, kConnectMs))
        return fail(QStringLiteral("could not connect to the hub: ") + window.linkStatus());
    settle(kSettleMs);  // the greeting
    const std::vector<double> through = statusReads(window, passes);
    if (through.empty())
        return fail(QStringLiteral("the status read through the hub did not end"));
    report("status read through the hub", through, statusWire);
    std::printf("  the hub adds %.2f ms a read (median), %.3f ms an exchange\n", median(through) - median(direct),
                (median(through) - median(direct)) / kExchanges);

    QString error;
    CFWDlg* page = openRandomImage(window, environment.registry, kImageSize, kSettleMs, error);
    if (!page)
        return fail(error + QStringLiteral(" through the hub"));
    const double uploadWire = upgradeWireMs(std::size_t(kImageSize));
    std::vector<double> uploads;
    for (int pass = 1; pass <= kUploadPasses; ++pass) {
        const double ms = uploadOnce(page, error, kSettleMs);
        if (ms < 0)
            return fail(error);
        uploads.push_back(ms);
        std::printf("upload pass %d: %.1f ms, %+.2f%% against the wire time\n", pass, ms, percentOver(ms, uploadWire));
        std::fflush(stdout);
    }
    std::printf("100,000-byte upload through the hub: median %.1f ms, best %.1f ms; wire %.1f ms; median %+.2f%% "
                "(goal: at most +3%%)\n",
                median(uploads), *std::min_element(uploads.begin(), uploads.end()), uploadWire,
                percentOver(median(uploads), uploadWire));

    window.networkPanel().tcpConnectClicked();  // disconnects
    settle(kSettleMs);
    std::printf("the hub's CPU, %d s each...\n", seconds);
    std::fflush(stdout);
    const double alone = idlePercent(serve, seconds);
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int n = 0; n < kIdleClients; ++n) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QHostAddress::LocalHost, serve.control);
        if (!clients.back()->waitForConnected(kConnectMs))
            return fail(QStringLiteral("an idle client could not connect"));
    }
    settle(kSettleMs);
    const double withClients = idlePercent(serve, seconds);
    std::printf("hub with no client (itself and its idle read): %.4f%% of a core\n", alone);
    std::printf("hub with %d idle clients: %.4f%% of a core; the clients add %+.4f%% (goal: at most 0.02%% more "
                "than its idle read)\n",
                kIdleClients, withClients, withClients - alone);
    return 0;
}
