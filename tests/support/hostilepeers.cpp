#include "hostilepeers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "protocol/commands.h"
#include "protocol/replies.h"

namespace hostile {

namespace {

using Clock = std::chrono::steady_clock;

Bytes bytesOf(talvane::CommandFrame f)
{
    f.seal();
    return Bytes(f.bytes.begin(), f.bytes.end());
}

int msLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

void setTimeouts(int fd, int ms)
{
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// The end marker of sendAndSettle: a query whose answer differs from every
// answer to the flood before it.
const int kMarkerOutput = 8;

}  // namespace

bool addressSanitized() { return kAddressSanitizer; }

Bytes powerQuery() { return bytesOf(talvane::build::powerStateQuery()); }
Bytes powerOnReply() { return bytesOf(talvane::reply::powerState(talvane::kStateOn)); }

Bytes dataHeaders(std::size_t pairs)
{
    Bytes out;
    out.reserve(pairs * 2);
    for (std::size_t i = 0; i < pairs; ++i) {
        out.push_back(talvane::kDataHeader1);
        out.push_back(talvane::kDataHeader2);
    }
    return out;
}

Bytes queries(std::size_t count)
{
    const Bytes q = powerQuery();
    Bytes out;
    out.reserve(q.size() * count);
    for (std::size_t i = 0; i < count; ++i)
        out.insert(out.end(), q.begin(), q.end());
    return out;
}

Bytes garbage(std::size_t size, std::uint32_t seed)
{
    Bytes out(size);
    std::uint32_t x = seed ? seed : 1;
    for (std::uint8_t& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return out;
}

// --- the simulator process ------------------------------------------------------

SimProcess::SimProcess(const std::string& program)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return;
    pid_ = ::fork();
    if (pid_ == 0) {
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(out[1], STDERR_FILENO);
        // A sanitized simulator keeps little freed memory aside, so that its
        // resident size shows what it really holds.
        if (kAddressSanitizer) {
            const char* given = std::getenv("ASAN_OPTIONS");
            const std::string options = std::string(given ? given : "") + ":quarantine_size_mb=4";
            ::setenv("ASAN_OPTIONS", options.c_str(), 1);
        }
        ::execl(program.c_str(), program.c_str(), "--no-serial", "--no-udp", "--tcp-port", "0", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    if (pid_ < 0) {
        ::close(out[0]);
        return;
    }
    // It prints "tcp: 127.0.0.1:<port>" once it listens.
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    const std::string mark = "tcp: 127.0.0.1:";
    while (port_ == 0) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, msLeft(deadline)) <= 0)
            break;
        char buffer[256];
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        output_.append(buffer, std::size_t(n));
        const std::size_t at = output_.find(mark);
        const std::size_t end = at == std::string::npos ? at : output_.find('\n', at);
        if (end != std::string::npos)
            port_ = std::atoi(output_.c_str() + at + mark.size());
    }
    ::close(out[0]);  // it prints nothing more without console commands
}

SimProcess::~SimProcess()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    // Wait for it to end, at most a few seconds, then make sure it does.
    const int pidfd = int(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            ::kill(pid_, SIGKILL);
        ::close(pidfd);
    }
    ::waitpid(pid_, nullptr, 0);
}

bool SimProcess::running() const
{
    if (pid_ <= 0)
        return false;
    int status = 0;
    return ::waitpid(pid_, &status, WNOHANG) == 0;
}

long SimProcess::rssKb() const { return statusKb("VmRSS:"); }
long SimProcess::peakRssKb() const { return statusKb("VmHWM:"); }

long SimProcess::statusKb(const char* wanted) const
{
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string key;
    while (status >> key) {
        if (key == wanted) {
            long kb = -1;
            status >> kb;
            return kb;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

// --- sockets ------------------------------------------------------------------------

int connectTo(int port, int timeoutMs, int receiveBuffer)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    setTimeouts(fd, timeoutMs);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(std::uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool sendAll(int fd, const Bytes& bytes)
{
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += std::size_t(n);
    }
    return true;
}

Bytes receive(int fd, std::size_t size, int timeoutMs)
{
    Bytes out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < size) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, msLeft(deadline)) <= 0)
            break;
        std::uint8_t buffer[4096];
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, size - out.size()), MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

void closeWithReset(int fd)
{
    const linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

void closeFd(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

double askPower(int port, int timeoutMs, const Bytes& before)
{
    const auto start = Clock::now();
    const int fd = connectTo(port, timeoutMs);
    if (fd < 0)
        return -1;
    Bytes request = before;
    const Bytes q = powerQuery();
    request.insert(request.end(), q.begin(), q.end());
    const bool sent = sendAll(fd, request);
    const Bytes answer = sent ? receive(fd, q.size(), timeoutMs) : Bytes();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    ::close(fd);
    return answer == powerOnReply() ? ms : -1;
}

bool sendAndSettle(int port, const Bytes& bytes, int timeoutMs)
{
    const int fd = connectTo(port, timeoutMs);
    if (fd < 0)
        return false;
    Bytes out = bytes;
    out.insert(out.end(), talvane::kDataFrameSize, 0);
    const Bytes marker = bytesOf(talvane::build::routeQuery(kMarkerOutput));
    out.insert(out.end(), marker.begin(), marker.end());
    const Bytes expected = bytesOf(talvane::reply::routeQuery(kMarkerOutput, kMarkerOutput));

    // Replies are read as they come, so the simulator never finds us not reading.
    // The deadline moves on whenever the simulator takes or sends something.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t sent = 0;
    Bytes tail;  // the last reply's bytes
    bool settled = false;
    while (!settled) {
        pollfd p{fd, short(POLLIN | (sent < out.size() ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, msLeft(deadline)) <= 0)
            break;
        if (p.revents & POLLOUT) {
            const ssize_t n = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
            sent += n > 0 ? std::size_t(n) : 0;
            if (n > 0)
                deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            std::uint8_t buffer[65536];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                break;
            if (n > 0) {
                deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
                tail.insert(tail.end(), buffer, buffer + n);
                if (tail.size() > expected.size())
                    tail.erase(tail.begin(), tail.end() - std::ptrdiff_t(expected.size()));
                settled = sent == out.size() && tail == expected;
            }
        }
    }
    ::close(fd);
    return settled;
}

std::size_t floodWithoutReading(int port, std::size_t limit, int idleMs)
{
    const int fd = connectTo(port);
    if (fd < 0)
        return limit;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const Bytes chunk = queries(1000);
    std::size_t sent = 0;
    // A send that fails for any reason but a full buffer is the cut.
    while (sent < limit) {
        const ssize_t n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (n > 0) {
            sent += std::size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            ::close(fd);
            return sent;
        }
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, idleMs) == 0)
            break;  // nothing taken for that long, and not cut either
    }
    ::close(fd);
    return limit;
}

// --- rounds and crowds -----------------------------------------------------------

const Round kAllRounds[5] = {Round::TenQueriesThenClose, Round::FloodThenClose, Round::HalfFrameThenClose,
                             Round::QueriesThenReset, Round::GarbageThenClose};

const char* roundName(Round r)
{
    switch (r) {
    case Round::TenQueriesThenClose:
        return "ten queries, then close";
    case Round::FloodThenClose:
        return "64 KiB of queries unread, then close";
    case Round::HalfFrameThenClose:
        return "half a frame, then close";
    case Round::QueriesThenReset:
        return "ten queries, then reset";
    case Round::GarbageThenClose:
        return "1 KiB of garbage, then close";
    }
    return "?";
}

bool dropRounds(int port, Round kind, int count)
{
    const Bytes ten = queries(10);
    const Bytes flood = queries(64 * 1024 / talvane::kCommandFrameSize);
    const Bytes half(ten.begin(), ten.begin() + 6);
    for (int i = 0; i < count; ++i) {
        const int fd = connectTo(port);
        if (fd < 0)
            return false;
        switch (kind) {
        case Round::TenQueriesThenClose:
            sendAll(fd, ten);
            ::close(fd);
            break;
        case Round::FloodThenClose:
            sendAll(fd, flood);
            ::close(fd);
            break;
        case Round::HalfFrameThenClose:
            sendAll(fd, half);
            ::close(fd);
            break;
        case Round::QueriesThenReset:
            sendAll(fd, ten);
            closeWithReset(fd);
            break;
        case Round::GarbageThenClose:
            sendAll(fd, garbage(1024, std::uint32_t(i + 1)));
            ::close(fd);
            break;
        }
    }
    return true;
}

int concurrentQueries(int port, int count, int timeoutMs)
{
    std::vector<int> fds;
    for (int i = 0; i < count; ++i)
        if (const int fd = connectTo(port, timeoutMs); fd >= 0)
            fds.push_back(fd);
    const Bytes q = powerQuery();
    for (int fd : fds)
        sendAll(fd, q);
    int answered = 0;
    for (int fd : fds) {
        answered += receive(fd, q.size(), timeoutMs) == powerOnReply() ? 1 : 0;
        ::close(fd);
    }
    return answered;
}

}  // namespace hostile
