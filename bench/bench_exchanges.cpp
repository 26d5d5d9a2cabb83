// How close chains of exchanges come to the line's own time: the panel
// (offscreen) reads the status of the sixteen ports, and enters the Matrix
// page (eight route queries, then eight ARC queries), against talvane-sim
// --pace running as a process of its own over its pseudo-terminal. Each
// exchange is a 13-byte command and its 13-byte answer: 26 bytes at 11 bits
// a byte on a 115200 baud line, 2.483 ms; sixteen of them, 39.72 ms.
//
//   bench_exchanges [PASSES]
//
// Prints the median and best of PASSES runs of each, against that wire time,
// and where the Matrix entry's time goes: the window's repaints during the
// entry (wall and this thread's CPU time) and when the first answer's bytes
// were taken in, counted from the tab press.
#include <QApplication>
#include <QEvent>
#include <QPushButton>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include "benchpanel.h"
#include "protocol/frame.h"

using namespace talvane;
using namespace talvane::bench;

namespace {

constexpr int kDefaultPasses = 21;
constexpr int kExchanges = 16;
constexpr int kSettleMs = 100;  // between runs: the greeting, a page's background reads

int fail(const QString& what) { return talvane::bench::fail("bench_exchanges", what); }

void settle() { talvane::bench::settle(kSettleMs); }

double msSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void report(const char* what, std::vector<double> times, double wireMs)
{
    const double med = median(times);
    const double best = *std::min_element(times.begin(), times.end());
    std::printf("%s: median %.2f ms, best %.2f ms over %zu runs; wire %.2f ms; median %.3fx the wire time\n", what, med,
                best, times.size(), wireMs, med / wireMs);
}

double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// Times the window's repaints and notes the first read of the line while a
// chain is watched.
class WatchedApplication : public QApplication {
public:
    using QApplication::QApplication;

    struct Chain {
        double paintMs = 0, paintCpuMs = 0;  // every repaint of a window during the chain
        double firstReadAtMs = -1;           // the first read of the line, after the press
    };
    void watch(bool on)
    {
        watching_ = on;
        if (on) {
            chain_ = Chain{};
            start_ = std::chrono::steady_clock::now();
        }
    }
    Chain chain() const { return chain_; }

    bool notify(QObject* receiver, QEvent* e) override
    {
        if (!watching_)
            return QApplication::notify(receiver, e);
        const QEvent::Type type = e->type();
        if (type == QEvent::SockAct && chain_.firstReadAtMs < 0)
            chain_.firstReadAtMs = msSince(start_);
        if (type != QEvent::UpdateRequest)
            return QApplication::notify(receiver, e);
        const auto wall = std::chrono::steady_clock::now();
        const double cpu = threadCpuMs();
        const bool done = QApplication::notify(receiver, e);
        chain_.paintMs += msSince(wall);
        chain_.paintCpuMs += threadCpuMs() - cpu;
        return done;
    }

private:
    bool watching_ = false;
    Chain chain_;
    std::chrono::steady_clock::time_point start_;
};

// One entry of the Matrix page, from the tab press until the switch is free
// again; a function of its own so that a profiler can count just this
// (valgrind --tool=callgrind --toggle-collect='*enterMatrixPage*').
[[gnu::noinline]] bool enterMatrixPage(CTalvaneDlg& window, QPoint tab)
{
    window.pressAt(tab);
    return waitUntil([&] { return window.ready(); });
}

}  // namespace

int main(int argc, char** argv)
{
    PanelEnvironment environment;
    WatchedApplication app(argc, argv);
    const int passes = passesArgument(argc, argv, kDefaultPasses);

    SimProcess sim;
    const PacedSerial serial = startPacedSerial(sim);
    if (serial.com <= 0)
        return fail(QStringLiteral("the simulator did not start"));

    CTalvaneDlg window;
    if (!connectSerial(window, serial.com))
        return fail(QStringLiteral("could not connect to the simulator"));
    settle();

    const double wireMs = kExchanges * lineMs(2.0 * kCommandFrameSize);
    std::vector<double> status, matrix, paintMs, paintCpuMs, firstReadMs;
    auto* statusButton = window.controlAs<QPushButton>(ctl::Status);
    const QPoint matrixTab = window.control(ctl::TabMatrix)->geometry().center();
    const QPoint generalTab = window.control(ctl::TabGeneral)->geometry().center();
    for (int pass = 0; pass < passes; ++pass) {
        // The status read: the click returns once its busy popup has closed,
        // which the last answer does.
        const auto start = std::chrono::steady_clock::now();
        statusButton->click();
        status.push_back(msSince(start));
        if (!window.ready())
            return fail(QStringLiteral("the status read did not end"));
        settle();

        // The Matrix page's entry reads: the switch is held until the ARC chain ends.
        const auto enter = std::chrono::steady_clock::now();
        app.watch(true);
        if (!enterMatrixPage(window, matrixTab))
            return fail(QStringLiteral("the Matrix page's reads did not end"));
        matrix.push_back(msSince(enter));
        app.watch(false);
        paintMs.push_back(app.chain().paintMs);
        paintCpuMs.push_back(app.chain().paintCpuMs);
        firstReadMs.push_back(app.chain().firstReadAtMs);
        settle();
        window.pressAt(generalTab);
        if (!waitUntil([&] { return window.ready(); }))
            return fail(QStringLiteral("the General page's entry read did not end"));
        settle();
    }
    report("status read, 16 exchanges", status, wireMs);
    report("Matrix page entry, 8 route and 8 ARC queries", matrix, wireMs);
    std::printf("  its repaints: median %.2f ms (%.2f ms of CPU); the first answer read %.2f ms after the press "
                "(its wire time %.2f ms)\n",
                median(paintMs), median(paintCpuMs), median(firstReadMs), wireMs / kExchanges);
    return 0;
}
