// The switch's own control protocol on TCP, shared: any number of programs
// that speak it (the panel in TCP Control Mode, talvane-ctl --host, a tool
// written for the switch's TCP mode) connect here as they would to the
// switch, and the hub puts their exchanges on its one line.
//
// Each client's exchange waits its turn with everything else that uses the
// switch (the hub's other front ends, in the order they asked); one goes out
// at a time. A reply goes only to the client whose command it answers, by
// the answer rules the operations use; a reply that answers no one's command
// goes to nobody. The hub never resends: a client's own resend of the bytes
// outstanding goes out when it sends it, so its traffic on the wire is what
// it would be alone; the hub waits for them as long as the longest wait any
// front end gives the same bytes (a little longer where a resend may come),
// and a command that waited for the line past that is never sent. A
// procedure of several frames (an EDID upload, a firmware upgrade through
// the reboot) keeps the line for its client from its first frame to its
// last; anything else the client sends ends it. Only whole frames of the
// command index with their checksum reach the line; a client that floods,
// sends garbage or does not read its replies is bounded (hub/limits.h) and
// cannot hold up the others. A route or ARC command for an output another
// holds a lock on is not put on the line (its client's own time-out follows).
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpServer>

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "core/oneshot.h"
#include "engine/session.h"
#include "hub/hub.h"
#include "ops/runner.h"
#include "protocol/frame.h"
#include "protocol/streamparser.h"

class QTcpSocket;

namespace talvane {

class Connection;

namespace hub {

// An address range clients may connect from ("192.168.1.0/24", "::1/128").
using Subnet = std::pair<QHostAddress, int>;
// "A.B.C.D/N,..." (an address alone is one host); nothing when one is not valid.
std::optional<std::vector<Subnet>> parseSubnets(const QString& text);
// Whether `peer` is in one of `allowed` (every peer when it is empty).
bool isAllowed(const std::vector<Subnet>& allowed, const QHostAddress& peer);

class ControlServer : public QObject {
    Q_OBJECT
public:
    struct Counters {
        quint64 forwarded = 0;     // exchanges put on the line for clients
        quint64 resends = 0;       // clients' resends put on the line
        quint64 duplicates = 0;    // resends of bytes still waiting: not queued twice
        quint64 expired = 0;       // commands that waited longer than their client waits: never sent
        quint64 answered = 0;      // replies handed to the client that asked
        quint64 unanswered = 0;    // exchanges that ended without an answer
        quint64 refusedFrames = 0; // frames not put on the line (not whole, bad checksum, not in the index, out of place)
        quint64 droppedClients = 0;
        quint64 lockedFrames = 0;  // route and ARC commands for an output another holds: never sent
    };

    explicit ControlServer(Connection& connection, QObject* parent = nullptr);
    ~ControlServer() override;

    // Only clients from these ranges are served (empty: any that reaches the port).
    void setAllowed(std::vector<Subnet> allowed) { allowed_ = std::move(allowed); }
    // The locks the control port keeps to (`hub` outlives the server; none: no locks).
    void setLocks(const Hub* hub) { locks_ = hub; }
    // The client connected from `address`:`port` is `who` from now on: its
    // frames for outputs `who` holds go through. False when no client is
    // connected from there.
    bool claim(const QHostAddress& address, quint16 port, const Who& who);
    bool listen(const QHostAddress& address, quint16 port);
    QString errorString() const { return listener_.errorString(); }
    quint16 port() const { return listener_.serverPort(); }
    QHostAddress address() const { return listener_.serverAddress(); }

    int clientCount() const;
    // Bytes held for clients now: units waiting, replies unread, half frames.
    qint64 heldBytes() const;
    const Counters& counters() const { return counters_; }

signals:
    void clientCountChanged(int count);
    // A client was refused or dropped, and why.
    void clientRefused(const QString& peer, const QString& why);

private:
    struct Client;
    struct Unit {
        std::vector<std::uint8_t> bytes;
        std::optional<CommandFrame> blockHeader;  // the raw EDID block's
        qint64 arrivedMs = 0;
    };

    void onNewConnection();
    void readFrom(int id);
    void take(Client& c, const StreamUnit& unit);
    void enqueue(Client& c, Unit unit);
    // The client's next unit goes to the line once it has the switch.
    void schedule(Client& c);
    void granted(int id, Hold hold);
    void send(Client& c, Hold hold);
    // Drops the units at the front of the queue that have waited longer
    // than their client waits for them.
    void dropExpired(Client& c);
    // Whether the command in `bytes` changes an output another than the client holds.
    bool lockedAgainst(const Client& c, const std::vector<std::uint8_t>& bytes) const;
    void exchangeEnded(int id, const CommandFrame* reply);
    void endProcedure(Client& c);
    void armProcedureIdle(Client& c);
    void reply(Client& c, const CommandFrame& frame);
    void drop(Client& c, const QString& why);
    void reap();

    Connection& connection_;
    QTcpServer listener_;
    std::vector<Subnet> allowed_;
    const Hub* locks_ = nullptr;
    std::map<int, std::unique_ptr<Client>> clients_;
    int nextId_ = 1;
    bool reapPosted_ = false;
    Counters counters_;
};

}  // namespace hub
}  // namespace talvane
