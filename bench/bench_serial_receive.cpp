// CPU cost of receiving replies on the serial link: the port reads a
// pseudo-terminal on the event loop and hands each read to the frame
// assembler. A child process plays the switch on the master side, so only the
// panel's side is measured (user and system time).
//
//   bench_serial_receive [frames]
//
// Two runs: replies written back to back as fast as the line takes them, and
// one reply per write paced as a 115200 8N2 line delivers them (13 bytes every
// 1.24 ms), which is what the panel sees from a real switch.
#include <QCoreApplication>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "link/serialport.h"
#include "link/virtualports.h"
#include "protocol/assembler.h"
#include "protocol/commands.h"
#include "protocol/serialline.h"

using namespace talvane;

namespace {

constexpr double kLineBytesPerSecond = double(serial::kBaudRate) / serial::kBitsPerByte;
constexpr int kDefaultFrames = 20000;
constexpr int kFramesPerBurst = 64;

// The session's part: every read into the frame assembler.
struct Receiver {
    long frames = 0;
    long bytes = 0;
    FrameAssembler assembler{[this](const CommandFrame&) { ++frames; }};

    void take(const QByteArray& read)
    {
        bytes += long(read.size());
        assembler.receive(reinterpret_cast<const std::uint8_t*>(read.constData()), std::size_t(read.size()));
    }
};

double cpuSeconds()
{
    rusage u {};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool writeAll(int fd, const std::uint8_t* p, std::size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0)
            return false;
        p += w;
        n -= std::size_t(w);
    }
    return true;
}

// The switch: `frames` replies, back to back or paced as on the line.
[[noreturn]] void playSwitch(int master, int frames, bool paced)
{
    std::uint8_t burst[kFramesPerBurst * kCommandFrameSize];
    const CommandFrame reply = build::powerStateQuery().seal();
    for (int i = 0; i < kFramesPerBurst; ++i)
        std::copy(reply.bytes.begin(), reply.bytes.end(), burst + i * kCommandFrameSize);
    if (!paced) {
        for (int sent = 0; sent < frames; sent += kFramesPerBurst) {
            const int n = std::min(kFramesPerBurst, frames - sent);
            if (!writeAll(master, burst, std::size_t(n) * kCommandFrameSize))
                ::_exit(1);
        }
        ::_exit(0);
    }
    const long periodNs = long(1e9 * double(kCommandFrameSize) / kLineBytesPerSecond);
    timespec next {};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    for (int i = 0; i < frames; ++i) {
        next.tv_nsec += periodNs;
        while (next.tv_nsec >= 1000000000L) {
            next.tv_nsec -= 1000000000L;
            ++next.tv_sec;
        }
        ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        if (!writeAll(master, burst, kCommandFrameSize))
            ::_exit(1);
    }
    ::_exit(0);
}

bool run(const char* title, int frames, bool paced)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return false;
    }
    VirtualPortRegistry registry;
    const int com = registry.add(QString::fromLocal8Bit(::ptsname(master)), QStringLiteral("Benchmark"));
    Receiver receiver;
    CSerialPort port;
    QObject::connect(&port, &Link::received, [&receiver](const QByteArray& b) { receiver.take(b); });
    if (com < 0 || !port.Open(com)) {
        std::fprintf(stderr, "cannot open the pseudo-terminal's port\n");
        return false;
    }

    const double cpuBefore = cpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0)
        playSwitch(master, frames, paced);
    while (receiver.frames < frames)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double cpu = cpuSeconds() - cpuBefore;
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wallBefore;
    int status = 0;
    ::waitpid(child, &status, 0);
    port.RequestStop();
    registry.remove(com);
    ::close(master);

    std::printf("%s: %ld bytes, %ld frames in %.2f s; CPU %.1f ms = %.2f us per received byte (%.1f us per frame)\n",
                title, receiver.bytes, receiver.frames, wall.count(), cpu * 1e3, cpu * 1e6 / double(receiver.bytes),
                cpu * 1e6 / double(receiver.frames));
    return receiver.bytes == long(frames) * long(kCommandFrameSize);
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int frames = argc > 1 ? std::atoi(argv[1]) : kDefaultFrames;
    QTemporaryDir registryDir;
    qputenv("TALVANE_PORT_REGISTRY", QFile::encodeName(registryDir.path()));
    const bool ok = run("back to back", frames, false) && run("paced as on a 115200 8N2 line", frames / 10, true);
    return ok ? 0 : 1;
}
