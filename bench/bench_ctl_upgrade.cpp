// A 100,000-byte firmware upgrade run by talvane-ctl's logic (as
// `talvane-ctl --port COMn upgrade FILE` runs it) against `talvane-sim --pace`
// in a process of its own, over its pseudo-terminal: the time from the start
// command to the last block's acknowledgement beside the wire-time limit
// (every byte of every frame of the upload, both ways, at 11 bits a byte),
// and the whole command, from opening the port to the switch found again
// after its reboot.
//
//   bench_ctl_upgrade [PASSES]      (default 3; talvane-sim is taken from beside this program)
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

#include "benchsupport.h"
#include "ctl/ctl.h"
#include "protocol/commands.h"
#include "protocol/frame.h"

using namespace talvane;
using namespace talvane::bench;

namespace {

constexpr int kImageSize = 100000;
constexpr int kDefaultPasses = 3;

double wireLimitMs(std::size_t imageSize)
{
    return lineMs(2.0 * (2 * kCommandFrameSize)
                  + double(firmwareBlockCount(imageSize)) * double(kDataFrameSize + kCommandFrameSize));
}

int fail(const QString& what)
{
    std::fprintf(stderr, "bench_ctl_upgrade: %s\n", qPrintable(what));
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    // The benchmark's own port registry and configuration.
    QTemporaryDir home;
    qputenv("TALVANE_PORT_REGISTRY", home.filePath(QStringLiteral("ports")).toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toLocal8Bit());
    QCoreApplication app(argc, argv);
    const int passes = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : kDefaultPasses;

    SimProcess sim;
    const QList<QByteArray> line = sim.start({QStringLiteral("--pace"), QStringLiteral("--no-tcp")}, "serial: COM");
    const int com = line.value(1).mid(3).toInt();
    if (com <= 0)
        return fail(QStringLiteral("the simulator did not start"));

    QByteArray image(kImageSize, Qt::Uninitialized);
    for (char& c : image)
        c = char(QRandomGenerator::global()->bounded(256));
    const QString path = home.filePath(QStringLiteral("image.bin"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        return fail(QStringLiteral("cannot write the image file"));
    file.close();

    const double limitMs = wireLimitMs(std::size_t(kImageSize));
    std::printf("image %d bytes, %zu blocks; wire-time limit at 115200 8N2 (11 bits a byte): %.1f ms\n", kImageSize,
                firmwareBlockCount(std::size_t(kImageSize)), limitMs);
    std::vector<double> uploads, wholes;
    for (int pass = 1; pass <= passes; ++pass) {
        QElapsedTimer clock;
        qint64 startNs = -1, lastAckNs = -1;
        QStringList errors;
        ctl::Environment env;
        env.out = [](const QString&) {};
        env.err = [&](const QString& l) { errors << l; };
        // The progress line marks the start command and the last acknowledgement.
        env.progress = [&](const QString& text) {
            if (startNs < 0 && text.startsWith(QLatin1String("upgrade: starting")))
                startNs = clock.nsecsElapsed();
            if (lastAckNs < 0 && text.contains(QLatin1String("rebooting")))
                lastAckNs = clock.nsecsElapsed();
        };
        clock.start();
        const int rc = ctl::run({QStringLiteral("--port"), QStringLiteral("COM%1").arg(com), QStringLiteral("upgrade"), path},
                                env);
        const double wholeMs = double(clock.nsecsElapsed()) / 1e6;
        if (rc != 0 || startNs < 0 || lastAckNs < 0)
            return fail(QStringLiteral("the upgrade failed (exit %1): %2").arg(rc).arg(errors.join(u'\n')));
        const double ms = double(lastAckNs - startNs) / 1e6;
        uploads.push_back(ms);
        wholes.push_back(wholeMs);
        std::printf("pass %d: upload %.1f ms, %+.2f%% against the limit; whole command %.1f ms\n", pass, ms,
                    percentOver(ms, limitMs), wholeMs);
        std::fflush(stdout);
    }
    const double paced = median(uploads);
    std::printf("talvane-ctl upload over the paced pty: median %.1f ms, best %.1f ms; limit %.1f ms; median %+.2f%%\n",
                paced, *std::min_element(uploads.begin(), uploads.end()), limitMs, percentOver(paced, limitMs));
    std::printf("whole command (open, upload, reboot, found again): median %.1f ms\n", median(wholes));
    return 0;
}
