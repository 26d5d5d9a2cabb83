// talvane-sim: a switch on this machine, reachable over TCP, a pseudo-terminal
// listed as a COM port, and the search and settings datagrams.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

#include "sim/console.h"
#include "sim/simulator.h"

using namespace talvane;
using namespace talvane::sim;

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    const ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
    (void)ignored;
}

void printLine(const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

struct StartOption {
    const char* name;
    const char* valueName;
    const char* help;
};

// Options that set the start state; each becomes console commands.
const StartOption kStartOptions[] = {
    {"sources", "PORTS", "Inputs with a source (3, 1,4-6, all, none). Default: all."},
    {"displays", "PORTS", "Outputs with a display. Default: all."},
    {"routes", "I1,...,I8", "Input routed to each of outputs A..H. Default: 1,2,...,8."},
    {"arc", "OUTPUTS", "Outputs with the audio return channel on. Default: none."},
    {"edid", "CODES", "EDID code of each input (8 codes, or one for all). Default: 0."},
    {"power", "on|off", "Power state. Default: on."},
    {"beep", "on|off", "Beeper. Default: on."},
    {"kind", "N", "Device kind (1 Talvane, 2 Marbeck, others Selwyth). Default: 1."},
    {"version", "MAJOR.MINOR", "Firmware version. Default: 1.3."},
    {"ident", "TEXT", "Identification text, up to 32 characters."},
    {"mac", "AABBCCDDEEFF", "MAC address. Default: 02544C565301."},
    {"ip", "A.B.C.D|auto", "Static address, or automatic (the default)."},
    {"reboot-ms", "MS", "Silence after a reboot. Default: 3000."},
    {"delay", "MS", "Delay every reply."},
    {"silent", "KINDS", "Stay silent for these kinds (see the silent command)."},
};

QStringList commandsFor(const QString& option, const QString& value, QString* error)
{
    if (option == QLatin1String("sources") || option == QLatin1String("displays")) {
        const QString verb = option.chopped(1);
        return {verb + QStringLiteral(" all off"), verb + QLatin1Char(' ') + value + QStringLiteral(" on")};
    }
    if (option == QLatin1String("arc"))
        return {QStringLiteral("arc all off"), QStringLiteral("arc ") + value + QStringLiteral(" on")};
    if (option == QLatin1String("routes") || option == QLatin1String("edid")) {
        const QStringList items = value.split(QLatin1Char(','));
        if (option == QLatin1String("edid") && items.size() == 1)
            return {QStringLiteral("edid all ") + value};
        if (items.size() != kPortCount) {
            *error = QStringLiteral("--%1 needs %2 comma-separated values").arg(option).arg(kPortCount);
            return {};
        }
        QStringList out;
        for (int i = 0; i < kPortCount; ++i)
            out << (option == QLatin1String("routes") ? QStringLiteral("route %1 %2").arg(items[i]).arg(i + 1)
                                                      : QStringLiteral("edid %1 %2").arg(i + 1).arg(items[i]));
        return out;
    }
    return {option + QLatin1Char(' ') + value};
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("talvane-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulates the 8x8 HDMI matrix switch: TCP control port, a serial line on a pseudo-terminal\n"
                       "registered as a COM port, device search and network settings over UDP.\n"
                       "By default it is reachable from this machine only.\n\n"
                       "Commands on standard input (one per line):\n")
        + Console::helpText());
    parser.addHelpOption();
    const QCommandLineOption tcpPort(QStringLiteral("tcp-port"), QStringLiteral("TCP control port (0: any free). Default: 8000."),
                                     QStringLiteral("PORT"), QString::number(kControlTcpPort));
    const QCommandLineOption searchPort(QStringLiteral("search-port"), QStringLiteral("UDP search port. Default: 30600."),
                                        QStringLiteral("PORT"), QString::number(kSearchUdpPort));
    const QCommandLineOption configPort(QStringLiteral("config-port"), QStringLiteral("UDP settings port. Default: 30601."),
                                        QStringLiteral("PORT"), QString::number(kConfigUdpPort));
    const QCommandLineOption network(QStringLiteral("network"),
                                     QStringLiteral("Listen on every address and answer searches from anywhere with "
                                                    "broadcasts to 255.255.255.255."));
    const QCommandLineOption noSerial(QStringLiteral("no-serial"), QStringLiteral("No serial line."));
    const QCommandLineOption noTcp(QStringLiteral("no-tcp"), QStringLiteral("No TCP control port."));
    const QCommandLineOption noUdp(QStringLiteral("no-udp"), QStringLiteral("No search and settings datagrams."));
    const QCommandLineOption trace(QStringLiteral("trace"), QStringLiteral("Write every frame and datagram to FILE."),
                                   QStringLiteral("FILE"));
    const QCommandLineOption pace(QStringLiteral("pace"),
                                  QStringLiteral("Delay each reply as long as it and its command take on a 115200 8N2 line."));
    parser.addOptions({tcpPort, searchPort, configPort, network, noSerial, noTcp, noUdp, trace, pace});
    std::vector<QCommandLineOption> startOptions;
    for (const StartOption& o : kStartOptions) {
        startOptions.emplace_back(QLatin1String(o.name), QLatin1String(o.help), QLatin1String(o.valueName));
        parser.addOption(startOptions.back());
    }
    parser.process(app);

    const auto port = [&](const QCommandLineOption& o, quint16& out) {
        bool ok = false;
        const uint v = parser.value(o).toUInt(&ok);
        if (!ok || v > 65535) {
            std::fprintf(stderr, "talvane-sim: bad port for --%s\n", qPrintable(o.names().constFirst()));
            return false;
        }
        out = static_cast<quint16>(v);
        return true;
    };
    SimOptions options;
    if (!port(tcpPort, options.tcpPort) || !port(searchPort, options.searchPort) || !port(configPort, options.configPort))
        return 2;
    options.network = parser.isSet(network);
    options.serial = !parser.isSet(noSerial);
    options.tcp = !parser.isSet(noTcp);
    options.udp = !parser.isSet(noUdp);
    options.tracePath = parser.value(trace);

    Simulator simulator(options);
    Console console(simulator.device(), &simulator);
    if (parser.isSet(pace))
        console.execute(QStringLiteral("pace on"));
    for (const QCommandLineOption& o : startOptions) {
        if (!parser.isSet(o))
            continue;
        QString why;
        const QString name = o.names().constFirst();
        const QStringList commands = commandsFor(name, parser.value(o), &why);
        if (commands.isEmpty()) {
            std::fprintf(stderr, "talvane-sim: %s\n", qPrintable(why));
            return 2;
        }
        for (const QString& c : commands) {
            const Console::Result r = console.execute(c);
            if (!r.ok) {
                std::fprintf(stderr, "talvane-sim: --%s %s: %s\n", qPrintable(name), qPrintable(parser.value(o)),
                             qPrintable(r.text));
                return 2;
            }
        }
    }

    QString error;
    if (!simulator.start(&error)) {
        std::fprintf(stderr, "talvane-sim: %s\n", qPrintable(error));
        return 1;
    }
    for (const QString& line : simulator.endpointLines())
        printLine(line);
    QObject::connect(&simulator, &Simulator::serialReopened, [&] { printLine(simulator.serialLine()); });

    // Stop cleanly (and unregister the serial line) on SIGINT, SIGTERM and SIGHUP.
    std::signal(SIGPIPE, SIG_IGN);
    // Run in the background of an interactive shell, a read of the terminal
    // fails instead of stopping the simulator; standard input is then dropped.
    std::signal(SIGTTIN, SIG_IGN);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) == 0) {
        auto* signalNotifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(signalNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
        for (int s : {SIGINT, SIGTERM, SIGHUP})
            std::signal(s, onSignal);
    }

    // Commands on standard input. At its end the simulator keeps running.
    QByteArray pendingInput;
    auto* input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &app);
    QObject::connect(input, &QSocketNotifier::activated, &app, [&, input] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            if (n == 0 || (errno != EAGAIN && errno != EINTR))
                input->setEnabled(false);
            return;
        }
        pendingInput.append(buffer, n);
        qsizetype end;
        while ((end = pendingInput.indexOf('\n')) >= 0) {
            const QString line = QString::fromLocal8Bit(pendingInput.left(end));
            pendingInput.remove(0, end + 1);
            const Console::Result r = console.execute(line);
            if (!r.text.isEmpty())
                printLine(r.text);
            if (console.quitRequested()) {
                app.quit();
                return;
            }
        }
    });

    return app.exec();
}
