// What the panel costs while it only waits. Prints the CPU time of one refresh
// of the port list (from nothing, as a new enumerator reads the system, and
// with what the list keeps between refreshes), then the CPU the idle panel
// uses over a minute in each state, beside a bare Qt Widgets program (one
// empty window) run in between: not connected (the port list follows the
// ports' changes), in TCP mode (the list is disabled and not watched), and
// connected to talvane-sim over its pseudo-terminal.
//
//   bench_idle [seconds]        default 60
//
// A pseudo-terminal is registered as a virtual port for the run, as the
// simulator's would be, so the list has a port to look after. Runs on the
// offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "app/controlids.h"
#include "app/generalpage.h"
#include "app/mainwindow.h"
#include "link/serialport.h"
#include "app/networkpanel.h"
#include "link/serialportlist.h"
#include "link/virtualports.h"

using namespace talvane;

namespace {

constexpr int kDefaultSeconds = 60;
constexpr int kWarmUpMs = 2000;  // start-up settles before the measurement
constexpr int kRefreshes = 2000;

double cpuSeconds()
{
    timespec t {};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Child: the panel in a state, or the bare window, idle for `seconds` after a
// warm-up; prints the CPU seconds used meanwhile. "connected" connects to
// COM `com` first.
int idle(int argc, char** argv, const std::string& kind, int seconds, int com)
{
    QApplication app(argc, argv);
    std::unique_ptr<QWidget> window;
    if (kind == "bare") {
        window = std::make_unique<QWidget>();
    } else {
        auto panel = std::make_unique<CTalvaneDlg>();
        if (kind == "tcp")
            panel->networkPanel().setLinkMode(LinkMode::Tcp);
        if (kind == "connected") {
            auto* list = panel->controlAs<QComboBox>(ctl::PortList);
            list->setCurrentIndex(list->findText(QStringLiteral("COM%1").arg(com)));
            panel->generalPage().connectClicked();
            if (!panel->serialPort().isOpen()) {
                std::fprintf(stderr, "could not connect to COM%d\n", com);
                return 1;
            }
        }
        window = std::move(panel);
    }
    window->show();
    double start = 0;
    QTimer::singleShot(kWarmUpMs, [&] { start = cpuSeconds(); });
    QTimer::singleShot(kWarmUpMs + seconds * 1000, [&] {
        std::printf("%.6f\n", cpuSeconds() - start);
        app.quit();
    });
    return app.exec();
}

double idleChild(const QString& self, const char* kind, int seconds, int com)
{
    QProcess p;
    p.start(self, {QStringLiteral("--idle"), QLatin1String(kind), QString::number(seconds), QString::number(com)});
    if (!p.waitForFinished((seconds + 60) * 1000) || p.exitCode() != 0) {
        std::fprintf(stderr, "%s run failed: %s\n", kind, p.readAllStandardError().constData());
        return -1;
    }
    return p.readAllStandardOutput().trimmed().toDouble();
}

// talvane-sim with its serial line only; COM number of its port, or 0.
int startSimulator(QProcess& sim)
{
    sim.start(QStringLiteral(TALVANE_SIM_PROGRAM), {QStringLiteral("--no-tcp"), QStringLiteral("--no-udp")});
    QElapsedTimer waited;
    waited.start();
    QByteArray out;
    while (waited.elapsed() < 10000 && sim.state() != QProcess::NotRunning) {
        sim.waitForReadyRead(1000);
        out += sim.readAllStandardOutput();
        const int at = out.indexOf("serial: COM");
        if (at >= 0 && out.indexOf('\n', at) > at)
            return out.mid(at + 11).split(' ').value(0).toInt();
    }
    return 0;
}

double microsecondsPerCall(const std::function<void()>& call, int calls)
{
    const double before = cpuSeconds();
    for (int i = 0; i < calls; ++i)
        call();
    return (cpuSeconds() - before) * 1e6 / calls;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::string(argv[1]) == "--idle")
        return idle(argc, argv, argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    const int seconds = argc > 1 ? std::atoi(argv[1]) : kDefaultSeconds;

    QTemporaryDir registryDir, configDir;  // the panel's own files, never the user's
    qputenv("TALVANE_PORT_REGISTRY", QFile::encodeName(registryDir.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configDir.path()));
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 1;
    }
    // Like the simulator: the far end open and a descriptor of the port kept.
    const QString slavePath = QString::fromLocal8Bit(::ptsname(master));
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    VirtualPortRegistry registry;
    const int com = registry.add(slavePath, QStringLiteral("Benchmark port"));

    {
        QApplication app(argc, argv);
        CTalvaneDlg window;
        GeneralPage& page = window.generalPage();
        const auto* list = window.controlAs<QComboBox>(ctl::PortList);
        page.refreshPortList();
        if (list->findText(QStringLiteral("COM%1").arg(com)) < 0)
            std::fprintf(stderr, "warning: the benchmark port COM%d is not listed\n", com);

        const double fresh = microsecondsPerCall(
            [&] {
                std::vector<SerialPortRecord> out;
                QString error, hint;
                SerialPortEnumerator().enumerate(out, error, hint);
            },
            kRefreshes / 10);
        const double kept = microsecondsPerCall([&] { page.refreshPortList(); }, kRefreshes);
        std::printf("one refresh of the port list, CPU: %.1f us from nothing, %.1f us with what the list keeps "
                    "(means of %d and %d)\n",
                    fresh, kept, kRefreshes / 10, kRefreshes);
    }

    QProcess sim;
    const int simCom = startSimulator(sim);
    if (!simCom) {
        std::fprintf(stderr, "the simulator did not start\n");
        return 1;
    }

    const QString self = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    std::printf("idle for %d s after a %d s warm-up, one program after the other...\n", seconds, kWarmUpMs / 1000);
    std::fflush(stdout);
    // The bare program runs before each state, so that each has a reference
    // taken under the same load of the machine.
    const struct {
        const char* kind;
        const char* title;
    } states[] = {{"panel", "not connected"}, {"tcp", "TCP mode"}, {"connected", "connected over a pty"}};
    for (const auto& state : states) {
        const double bare = idleChild(self, "bare", seconds, 0);
        const double cpu = bare < 0 ? -1 : idleChild(self, state.kind, seconds, simCom);
        if (cpu < 0)
            return 1;
        std::printf("%-21s %7.1f ms CPU in %d s = %.4f%% of a core; bare Qt program %.1f ms = %.4f%%; "
                    "panel/bare %.1f\n",
                    state.title, cpu * 1e3, seconds, cpu * 100.0 / seconds, bare * 1e3, bare * 100.0 / seconds,
                    bare > 0 ? cpu / bare : 0.0);
        std::fflush(stdout);
    }
    sim.terminate();
    sim.waitForFinished();

    registry.remove(com);
    ::close(slave);
    ::close(master);
    return 0;
}
