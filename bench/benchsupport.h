// What the benchmarks that drive the panel against the simulator share: the
// simulator as a process of its own, waiting on real events with a deadline,
// and the line's arithmetic.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <vector>

#include "protocol/serialline.h"

namespace talvane::bench {

constexpr double kBaud = serial::kBaudRate;
constexpr double kBitsPerByte = serial::kBitsPerByte;
constexpr int kStepDeadlineMs = 60000;

inline double lineMs(double bytes) { return bytes * kBitsPerByte / kBaud * 1000.0; }
inline double percentOver(double ms, double limitMs) { return (ms / limitMs - 1.0) * 100.0; }

inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Processes events until `cond` holds; false at the deadline.
inline bool waitUntil(const std::function<bool()>& cond, int deadlineMs = kStepDeadlineMs)
{
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer wake;
    wake.start(50);
    while (!cond()) {
        if (elapsed.elapsed() > deadlineMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Lets the programs' own traffic (a greeting, a page's background reads) pass.
inline void settle(int ms)
{
    QElapsedTimer t;
    t.start();
    waitUntil([&] { return t.elapsed() >= ms; });
}

// The simulator in a process of its own, driven through its console.
struct SimProcess {
    QProcess process;
    QByteArray out;

    // Starts the simulator and returns the words of its endpoint line that
    // begins with `endpoint` ("serial: COMn path", "tcp: address:port").
    QList<QByteArray> start(const QStringList& arguments, const QByteArray& endpoint)
    {
        process.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/talvane-sim"));
        process.setArguments(arguments + QStringList{QStringLiteral("--no-udp"), QStringLiteral("--reboot-ms"),
                                                     QStringLiteral("0")});
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start();
        QList<QByteArray> words;
        waitUntil([&] {
            out += process.readAllStandardOutput();
            const int at = out.indexOf(endpoint);
            const int end = at < 0 ? -1 : out.indexOf('\n', at);
            if (end > at) {
                words = out.mid(at, end - at).split(' ');
                return true;
            }
            return process.state() == QProcess::NotRunning;
        });
        return words;
    }
    // Runs a console command; returns its answer once it holds `last`.
    QByteArray command(const QByteArray& line, const QByteArray& last = "ok")
    {
        out.clear();
        process.write(line + '\n');
        waitUntil([&] {
            out += process.readAllStandardOutput();
            const int at = out.indexOf(last);
            return at >= 0 && out.indexOf('\n', at) > at;
        });
        return out.trimmed();
    }
    ~SimProcess()
    {
        process.write("quit\n");
        if (!process.waitForFinished(5000))
            process.kill();
    }
};

// talvane-ctl serve on COM `com` as a process of its own, its ports on
// loopback, chosen by the system; with `web`, the web remote too.
struct ServeProcess {
    QProcess process;
    QByteArray out;
    quint16 control = 0;
    quint16 web = 0;

    bool start(int com, bool withWeb = false)
    {
        QStringList arguments{QStringLiteral("--port"), QStringLiteral("COM%1").arg(com), QStringLiteral("serve"),
                              QStringLiteral("--control"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--listen"),
                              QStringLiteral("127.0.0.1:0")};
        if (withWeb)
            arguments << QStringLiteral("--http") << QStringLiteral("127.0.0.1:0");
        process.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/talvane-ctl"));
        process.setArguments(arguments);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start();
        static const QRegularExpression controlLine(QStringLiteral("control protocol .* on 127\\.0\\.0\\.1:(\\d+)\\n"));
        static const QRegularExpression webLine(QStringLiteral("web remote .* on 127\\.0\\.0\\.1:(\\d+)\\n"));
        auto port = [this](const QRegularExpression& line) {
            const QRegularExpressionMatch m = line.match(QString::fromLocal8Bit(out));
            return m.hasMatch() ? quint16(m.captured(1).toUInt()) : quint16(0);
        };
        waitUntil([&] {
            out += process.readAllStandardOutput();
            control = port(controlLine);
            web = port(webLine);
            return (control != 0 && (web != 0 || !withWeb)) || process.state() == QProcess::NotRunning;
        });
        return control != 0 && (web != 0 || !withWeb);
    }
    // CPU time the process has used so far, in seconds (the scheduler's count, in ns).
    double cpuSeconds() const
    {
        QFile f(QStringLiteral("/proc/%1/schedstat").arg(process.processId()));
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        return f.readAll().split(' ').value(0).toDouble() / 1e9;
    }
    ~ServeProcess()
    {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
    }
};

}  // namespace talvane::bench
