// Hostile TCP peers for the switch simulator, shared by its hostile-peer test
// and its benchmark: a talvane-sim process of its own on a free loopback
// port, and clients that send garbage, half frames, floods, never read, drop
// the connection or open hundreds at once. Plain POSIX sockets with
// timeouts; nothing sleeps (every wait is a poll on a socket or pipe). A
// timeout counts silence, never the whole of a long exchange: a busy machine
// makes the simulator slower, not wrong.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace hostile {

using Bytes = std::vector<std::uint8_t>;

// True when built with AddressSanitizer (and so, in this build, the simulator
// too): its allocations and their shadow take several times the memory.
bool addressSanitized();

// A PowerStateQuery frame and the switch's answer when powered on.
Bytes powerQuery();
Bytes powerOnReply();
// `pairs` times FE EF: data frame headers that never make a frame.
Bytes dataHeaders(std::size_t pairs);
// `count` valid PowerStateQuery frames back to back.
Bytes queries(std::size_t count);
// Bytes from a fixed pseudo-random sequence.
Bytes garbage(std::size_t size, std::uint32_t seed);

// talvane-sim on 127.0.0.1 with a free TCP port, no serial line, no datagrams.
class SimProcess {
public:
    explicit SimProcess(const std::string& program);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool started() const { return port_ > 0; }
    bool running() const;
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    long rssKb() const;      // resident memory, -1 when unknown
    long peakRssKb() const;  // the most it was ever resident, -1 when unknown
    const std::string& output() const { return output_; }  // what it printed at start

private:
    long statusKb(const char* key) const;

    pid_t pid_ = -1;
    int port_ = 0;
    std::string output_;
};

// A connected blocking socket with send and receive timeouts, or -1.
// `receiveBuffer` > 0: the socket's receive buffer, set before connecting,
// which bounds what the simulator can send before it has to wait.
int connectTo(int port, int timeoutMs = 5000, int receiveBuffer = 0);
// Sends everything (false when the peer is gone or the send timed out).
bool sendAll(int fd, const Bytes& bytes);
// Reads until `size` bytes have come or `timeoutMs` passed; what came.
Bytes receive(int fd, std::size_t size, int timeoutMs);
// Closes so that the peer sees a reset rather than an orderly close.
void closeWithReset(int fd);
void closeFd(int fd);

// Milliseconds until a fresh connection gets the answer to a PowerStateQuery
// sent after `before`, or -1 when no right answer came within `timeoutMs`.
double askPower(int port, int timeoutMs, const Bytes& before = {});

// Sends `bytes` on a fresh connection, then 1029 zero bytes (which end any
// frame begun in them) and a PowerStateQuery, and waits for its answer:
// true once the simulator has worked through all of it; false when it took
// and sent nothing for `timeoutMs`.
bool sendAndSettle(int port, const Bytes& bytes, int timeoutMs);

// Sends valid frames on one connection and never reads; returns the bytes
// sent before the simulator cut the connection, or `limit` if it did not
// (it took `limit` bytes, or nothing for `idleMs`).
std::size_t floodWithoutReading(int port, std::size_t limit, int idleMs = 30000);

enum class Round { TenQueriesThenClose, FloodThenClose, HalfFrameThenClose, QueriesThenReset, GarbageThenClose };
extern const Round kAllRounds[5];
const char* roundName(Round r);
// `count` rounds of connect, send, close; false when a connection failed.
bool dropRounds(int port, Round kind, int count);

// Opens `count` connections at once, sends a query on each, and returns how
// many got their answer.
int concurrentQueries(int port, int count, int timeoutMs);

}  // namespace hostile
