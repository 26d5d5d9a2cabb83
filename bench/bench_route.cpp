// A route asked for by the web remote's page against the same route asked
// for by talvane-ctl, on one switch through one hub: talvane-sim --pace on
// its pseudo-terminal and `talvane-ctl serve` (control port and web remote
// on loopback) as processes of their own.
//
//  - The page: the request its script sends when an input is tapped (a POST
//    of /api/v1/route on its kept-alive connection), from the moment it is
//    written until the whole answer with the confirmed route has been read,
//    which is what the page then shows. The browser's own work (the tap's
//    event, drawing the answer) is not in it.
//  - talvane-ctl: `talvane-ctl --host 127.0.0.1:PORT route IN:A` as its
//    logic runs it (in this process), from the command to its exit code:
//    connecting to the hub, the route and its acknowledgement.
//    And the same command as a program of its own, start to exit, for scale.
//
// Each pass routes output A to the input the pass before did not, so every
// route is one the switch carries out. One exchange on the line is 2.48 ms.
//
//   bench_route [PASSES]      (default 21)
#include <QCoreApplication>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <vector>

#include "benchsupport.h"
#include "ctl/ctl.h"
#include "protocol/frame.h"

using namespace talvane;
using namespace talvane::bench;

namespace {

constexpr int kDefaultPasses = 21;
constexpr int kHubReadMs = 1500;  // the hub's first read of the whole switch
constexpr int kSettleMs = 50;

int fail(const QString& what)
{
    std::fprintf(stderr, "bench_route: %s\n", qPrintable(what));
    return 1;
}

double msSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The page's request for a route of `input` to output A, as its script's
// fetch() sends it.
QByteArray routeRequest(quint16 port, int input)
{
    const QByteArray body = QByteArrayLiteral("{\"input\":") + QByteArray::number(input) + "," "\"outputs\":[\"A\"]}";
    return "POST /api/v1/route HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
           + "\r\nContent-Type: application/json\r\nAccept: */*\r\nContent-Length: " + QByteArray::number(body.size())
           + "\r\n\r\n" + body;
}

// The length of the whole answer at the front of `in` (head and body), or 0
// while it has not all come.
qsizetype answerLength(const QByteArray& in)
{
    const qsizetype headEnd = in.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return 0;
    const QByteArray head = in.left(headEnd).toLower();
    const qsizetype at = head.indexOf("content-length:");
    if (at < 0)
        return 0;
    const qsizetype lineEnd = head.indexOf("\r\n", at);
    const qsizetype length = head.mid(at + 15, lineEnd < 0 ? -1 : lineEnd - at - 15).trimmed().toLongLong();
    return in.size() >= headEnd + 4 + length ? headEnd + 4 + length : 0;
}

void report(const char* what, const std::vector<double>& times)
{
    std::printf("%s: median %.2f ms, best %.2f ms over %zu routes\n", what, median(times),
                *std::min_element(times.begin(), times.end()), times.size());
}

}  // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("TALVANE_PORT_REGISTRY", home.filePath(QStringLiteral("ports")).toLocal8Bit());
    qputenv("TALVANE_HUB_REGISTRY", home.filePath(QStringLiteral("hubs")).toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toLocal8Bit());
    QCoreApplication app(argc, argv);
    const int passes = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : kDefaultPasses;

    SimProcess sim;
    const int com = sim.start({QStringLiteral("--pace"), QStringLiteral("--no-tcp")}, "serial: COM").value(1).mid(3).toInt();
    if (com <= 0)
        return fail(QStringLiteral("the simulator did not start"));
    ServeProcess serve;
    if (!serve.start(com, /*withWeb=*/true))
        return fail(QStringLiteral("talvane-ctl serve did not start:\n") + QString::fromLocal8Bit(serve.out));
    const QString host = QStringLiteral("127.0.0.1:%1").arg(serve.control);

    QTcpSocket page;
    page.connectToHost(QStringLiteral("127.0.0.1"), serve.web);
    if (!waitUntil([&] { return page.state() == QAbstractSocket::ConnectedState; }, kStepDeadlineMs))
        return fail(QStringLiteral("cannot reach the web remote"));
    page.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    settle(kHubReadMs);

    std::vector<double> fromPage, fromCtl, ctlProgram;
    QByteArray in;
    int input = 1;
    for (int pass = 0; pass < passes; ++pass) {
        input = input % 8 + 1;
        const auto tap = std::chrono::steady_clock::now();
        page.write(routeRequest(serve.web, input));
        page.flush();
        qsizetype length = 0;
        if (!waitUntil([&] {
                in += page.readAll();
                return (length = answerLength(in)) > 0 || page.state() != QAbstractSocket::ConnectedState;
            }))
            return fail(QStringLiteral("the page's route got no answer"));
        fromPage.push_back(msSince(tap));
        const QByteArray answer = in.left(length);
        in.remove(0, length);
        if (!answer.startsWith("HTTP/1.1 200") || !answer.contains("\"routes\""))
            return fail(QStringLiteral("the page's route failed:\n") + QString::fromUtf8(answer));
        settle(kSettleMs);

        input = input % 8 + 1;
        const QString route = QStringLiteral("%1:A").arg(input);
        QStringList errors;
        ctl::Environment env;
        env.out = [](const QString&) {};
        env.err = [&](const QString& l) { errors << l; };
        const auto command = std::chrono::steady_clock::now();
        const int rc = ctl::run({QStringLiteral("--host"), host, QStringLiteral("route"), route}, env);
        fromCtl.push_back(msSince(command));
        if (rc != 0)
            return fail(QStringLiteral("talvane-ctl route failed (exit %1): %2").arg(rc).arg(errors.join(u'\n')));
        settle(kSettleMs);

        input = input % 8 + 1;
        QProcess program;
        program.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/talvane-ctl"));
        program.setArguments({QStringLiteral("--host"), host, QStringLiteral("route"), QStringLiteral("%1:A").arg(input)});
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const auto started = std::chrono::steady_clock::now();
        program.start();
        if (!waitUntil([&] { return program.state() == QProcess::NotRunning; }) || program.exitCode() != 0)
            return fail(QStringLiteral("the talvane-ctl program's route failed"));
        ctlProgram.push_back(msSince(started));
        settle(kSettleMs);
    }
    report("route from the page (POST /api/v1/route to its answer)", fromPage);
    report("route by talvane-ctl's logic (connect, route, acknowledgement)", fromCtl);
    report("route by the talvane-ctl program (start to exit)", ctlProgram);
    std::printf("the page against talvane-ctl's logic: %.3fx its median (goal: at most 1.1x); against the program: "
                "%.3fx\n",
                median(fromPage) / median(fromCtl), median(fromPage) / median(ctlProgram));
    std::printf("one exchange on the line: %.2f ms\n", lineMs(2.0 * kCommandFrameSize));
    return 0;
}
