// The switch simulator program against hostile TCP peers on loopback: how
// long a fresh PowerStateQuery waits after and during each kind of abuse, and
// how much memory the simulator takes for it.
//
//   bench_sim_hostile [path of talvane-sim]
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/hostilepeers.h"

using namespace hostile;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTimeoutMs = 60000;
constexpr std::size_t kMiB = 1024 * 1024;

double msSince(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

void row(const char* what, const std::string& figures) { std::printf("  %-52s %s\n", what, figures.c_str()); }

std::string fmt(const char* format, double a, double b = 0, double c = 0)
{
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, format, a, b, c);
    return buffer;
}

std::string answer(double ms) { return ms < 0 ? std::string("NO ANSWER") : fmt("answered in %.2f ms", ms); }

// Sends `pattern` over and over on one connection until `stop`, reading the
// replies (or not).
void floodUntil(int port, const Bytes& pattern, bool reading, const std::atomic<bool>& stop)
{
    const int fd = connectTo(port);
    if (fd < 0)
        return;
    std::size_t at = 0;
    std::vector<std::uint8_t> sink(65536);
    while (!stop) {
        pollfd p{fd, short(POLLOUT | (reading ? POLLIN : 0)), 0};
        if (::poll(&p, 1, 100) < 0)
            break;
        if (p.revents & (POLLERR | POLLHUP))
            break;
        if (p.revents & POLLIN && ::recv(fd, sink.data(), sink.size(), MSG_DONTWAIT) == 0)
            break;
        if (p.revents & POLLOUT) {
            const ssize_t n = ::send(fd, pattern.data() + at, pattern.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
            at = n > 0 ? (at + std::size_t(n)) % pattern.size() : at;
        }
    }
    ::close(fd);
}

// Latency of fresh queries while `flood` runs on another connection.
void latencyDuring(const char* what, int port, const Bytes& pattern, bool reading)
{
    std::atomic<bool> stop{false};
    std::thread flooder;
    if (!pattern.empty())
        flooder = std::thread(floodUntil, port, std::cref(pattern), reading, std::cref(stop));
    // Let the flood get going before measuring.
    askPower(port, kTimeoutMs);
    askPower(port, kTimeoutMs);
    std::vector<double> ms;
    int missed = 0;
    for (int i = 0; i < 200; ++i) {
        const double t = askPower(port, kTimeoutMs);
        if (t < 0)
            ++missed;
        else
            ms.push_back(t);
    }
    stop = true;
    if (flooder.joinable())
        flooder.join();
    std::sort(ms.begin(), ms.end());
    if (ms.empty()) {
        row(what, "NO ANSWER");
        return;
    }
    row(what, fmt("median %.2f ms, 99th %.2f ms, max %.2f ms", ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back())
                  + (missed ? fmt(", %.0f unanswered", missed) : ""));
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string program = argc > 1 ? argv[1] : TALVANE_SIM_PROGRAM;
    SimProcess sim(program);
    if (!sim.started()) {
        std::fprintf(stderr, "bench_sim_hostile: %s did not start: %s\n", program.c_str(), sim.output().c_str());
        return 1;
    }
    const int port = sim.port();
    askPower(port, kTimeoutMs);
    const long startKb = sim.rssKb();
    std::printf("talvane-sim on port %d, resident %.1f MB at start\n\n", port, startKb / 1024.0);

    std::printf("After the abuse, a fresh connection's PowerStateQuery:\n");
    auto start = Clock::now();
    const bool rounds = dropRounds(port, Round::TenQueriesThenClose, 1000);
    const double roundsMs = msSince(start);
    row("1000 rounds: connect, ten queries, close", fmt("%.0f ms", roundsMs) + (rounds ? ", " : ", CONNECT FAILED, ")
                                                       + answer(askPower(port, kTimeoutMs)));
    for (Round r : {Round::FloodThenClose, Round::QueriesThenReset}) {
        start = Clock::now();
        const bool ok = dropRounds(port, r, 300);
        row((std::string("300 rounds: ") + roundName(r)).c_str(),
            fmt("%.0f ms", msSince(start)) + (ok ? ", " : ", CONNECT FAILED, ") + answer(askPower(port, kTimeoutMs)));
    }

    const long before = sim.rssKb();
    start = Clock::now();
    const bool settled = sendAndSettle(port, dataHeaders(4 * kMiB), kTimeoutMs);
    const double settleMs = msSince(start);
    row("8 MiB of FE EF worked through", settled ? fmt("in %.0f ms", settleMs) : std::string("NEVER"));
    row("  then", answer(askPower(port, kTimeoutMs)));
    row("  resident memory before, at most since", fmt("%.1f MB, %.1f MB (+%.1f MB)", before / 1024.0,
                                                        sim.peakRssKb() / 1024.0, (sim.peakRssKb() - before) / 1024.0));
    start = Clock::now();
    const bool valid = sendAndSettle(port, queries(8 * kMiB / 13), kTimeoutMs);
    row("8 MiB of valid frames answered", valid ? fmt("in %.0f ms", msSince(start)) : std::string("NEVER"));
    row("a query behind 50 FE EF pairs (stall: 1000 ms)", answer(askPower(port, kTimeoutMs, dataHeaders(50))));
    const std::size_t cut = floodWithoutReading(port, 512 * kMiB);
    row("a flood never read: sent before the cut", fmt("%.1f MB", cut / double(kMiB)));
    row("  then", answer(askPower(port, kTimeoutMs)));
    start = Clock::now();
    const int crowd = concurrentQueries(port, 500, kTimeoutMs);
    row("500 connections at once, one query each", fmt("%.0f answered in %.0f ms", crowd, msSince(start)));

    std::printf("\nWhile another connection floods, a fresh connection's PowerStateQuery:\n");
    latencyDuring("nobody else (for comparison)", port, Bytes(), true);
    latencyDuring("valid frames, replies read", port, queries(1000), true);
    latencyDuring("valid frames, replies never read", port, queries(1000), false);
    latencyDuring("FE EF pairs", port, dataHeaders(8192), true);
    latencyDuring("garbage", port, garbage(65536, 3), true);

    std::printf("\nResident memory: %.1f MB at start, %.1f MB now, at most %.1f MB; simulator %s\n", startKb / 1024.0,
                sim.rssKb() / 1024.0, sim.peakRssKb() / 1024.0, sim.running() ? "running" : "GONE");
    return sim.running() ? 0 : 1;
}
