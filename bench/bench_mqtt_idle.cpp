// What the hub costs while it only waits, with and without MQTT: talvane-ctl
// serve on talvane-sim (TCP), once with its Videohub port alone and once
// also connected to a mosquitto of its own on loopback, each measured from
// outside over the same time after a warm-up (the CPU time of every thread
// of the process, from /proc/<pid>/task/*/schedstat, in nanoseconds). The
// hub reads the switch every few seconds meanwhile, as it always does.
//
//   bench_mqtt_idle [seconds]        default 60
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kDefaultSeconds = 60;
constexpr int kWarmUpMs = 3000;

// CPU time of every thread of `pid` so far, in seconds.
double cpuSecondsOf(qint64 pid)
{
    double total = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(tasks.filePath(tid + QStringLiteral("/schedstat")));
        if (f.open(QIODevice::ReadOnly))
            total += f.readAll().split(' ').value(0).toDouble() / 1e9;
    }
    return total;
}

// Runs the event loop for `ms` (a benchmark waits in real time).
void pause(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, int(ms - t.elapsed()));
}

bool waitForText(QProcess& p, QByteArray& seen, const QByteArray& text, bool errors, int ms = 20000)
{
    QElapsedTimer t;
    t.start();
    while (!seen.contains(text)) {
        if (t.elapsed() > ms || p.state() == QProcess::NotRunning)
            return false;
        p.waitForReadyRead(200);
        seen += errors ? p.readAllStandardError() : p.readAllStandardOutput();
    }
    return true;
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// The serve process's CPU share of one core over `seconds`, in percent; -1 when it did not run.
double serveIdle(const QString& simPort, const QStringList& extra, const QByteArray& readyOnStderr, int seconds,
                 const QString& configHome)
{
    QProcess serve;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
    serve.setProcessEnvironment(env);
    serve.start(QStringLiteral(TALVANE_CTL_PROGRAM),
                QStringList{QStringLiteral("--host"), QStringLiteral("127.0.0.1:") + simPort, QStringLiteral("serve"),
                            QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--control"),
                            QStringLiteral("off")}
                    + extra);
    QByteArray out, err;
    if (!waitForText(serve, out, "Stop with Ctrl+C", false)
        || (!readyOnStderr.isEmpty() && !waitForText(serve, err, readyOnStderr, true))) {
        std::fprintf(stderr, "serve did not start: %s%s\n", out.constData(), serve.readAllStandardError().constData());
        return -1;
    }
    pause(kWarmUpMs);
    const double before = cpuSecondsOf(serve.processId());
    pause(seconds * 1000);
    const double used = cpuSecondsOf(serve.processId()) - before;
    const bool alive = serve.state() == QProcess::Running;
    serve.terminate();
    if (!serve.waitForFinished(10000))
        serve.kill();
    return alive ? used / seconds * 100.0 : -1;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : kDefaultSeconds;
    QTemporaryDir dir;

    // The broker, anonymous on loopback.
    const quint16 brokerPort = freePort();
    QFile config(dir.filePath(QStringLiteral("mosquitto.conf")));
    config.open(QIODevice::WriteOnly);
    config.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\nlog_dest stderr\n").arg(brokerPort).toUtf8());
    config.close();
    QProcess broker;
    broker.start(QStringLiteral("/usr/sbin/mosquitto"), {QStringLiteral("-c"), config.fileName()});
    QByteArray brokerLog;
    if (!waitForText(broker, brokerLog, " running", true)) {
        std::fprintf(stderr, "mosquitto did not start (scripts/setup test installs it): %s\n", brokerLog.constData());
        return 1;
    }

    QProcess sim;
    sim.start(QStringLiteral(TALVANE_SIM_PROGRAM),
              {QStringLiteral("--no-serial"), QStringLiteral("--no-udp"), QStringLiteral("--tcp-port"), QStringLiteral("0")});
    QByteArray simOut;
    if (!waitForText(sim, simOut, "tcp: ", false) || !waitForText(sim, simOut, "\n", false)) {
        std::fprintf(stderr, "talvane-sim did not start\n");
        return 1;
    }
    const QString simPort =
        QRegularExpression(QStringLiteral("tcp: [0-9.]+:(\\d+)")).match(QString::fromUtf8(simOut)).captured(1);

    std::printf("hub idle (talvane-ctl serve on talvane-sim over TCP), %d s each, CPU of one core:\n", seconds);
    const double plain = serveIdle(simPort, {}, QByteArray(), seconds, dir.filePath(QStringLiteral("plain")));
    std::printf("  without MQTT:       %.4f %%\n", plain);
    const double mqtt = serveIdle(simPort,
                                  {QStringLiteral("--mqtt"), QStringLiteral("127.0.0.1:%1").arg(brokerPort)},
                                  "connected to the MQTT broker", seconds, dir.filePath(QStringLiteral("mqtt")));
    std::printf("  with MQTT connected: %.4f %% (goal: at most 0.03 %%)\n", mqtt);
    std::printf("  MQTT's share:        %.4f %%\n", mqtt - plain);

    sim.write("quit\n");
    if (!sim.waitForFinished(5000))
        sim.kill();
    broker.terminate();
    broker.waitForFinished(5000);
    return plain < 0 || mqtt < 0 ? 1 : 0;
}
