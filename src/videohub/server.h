// A Videohub control-surface server for the switch: each client gets the
// prelude (device, labels, locks, routing), may query any block, route
// outputs, name ports and lock outputs, and sees every change any client
// or anyone at the switch makes. Routes go to the switch through the
// operations, one at a time; clients are shown only what the switch
// confirmed or reports. Names are kept in the labels store.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTcpServer>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "hub/controlserver.h"
#include "hub/hub.h"
#include "ops/labelstore.h"
#include "ops/runner.h"
#include "videohub/protocol.h"

class QTcpSocket;

namespace talvane {

class RouteSet;

namespace videohub {

class Server : public QObject {
    Q_OBJECT
public:
    // `hub` outlives the server: the switch, its state and its names.
    Server(hub::Hub& hub, DeviceIdentity identity, QObject* parent = nullptr);
    ~Server() override;

    // Starts listening. Clients that come before the hub knows the routing
    // get their prelude once it does.
    bool listen(const QHostAddress& address, quint16 port);
    // Only clients from these ranges are served (empty: any that reaches the port).
    void setAllowed(std::vector<hub::Subnet> allowed) { allowed_ = std::move(allowed); }
    QString errorString() const { return listener_.errorString(); }
    QHostAddress address() const { return listener_.serverAddress(); }
    quint16 port() const { return listener_.serverPort(); }

    int clientCount() const;
    // Bytes held for clients now: what they sent and was not handled yet,
    // what they were sent and have not read, and blocks in progress.
    qint64 heldBytes() const;
    bool routingKnown() const { return routingKnown_; }
    // Zero-based input feeding each output, as the clients were last told.
    const std::array<int, kPorts>& routing() const { return routes_; }

signals:
    void clientCountChanged(int count);
    // A client was dropped: too many, or its unread output passed the limit.
    void clientRefused(const QString& peer, const QString& why);
    // A route request ended without the switch's confirmation.
    void routeFailed(int output, int input);

private:
    struct Client;
    using Lines = std::vector<int>;

    void onNewConnection();
    void greet(Client& c);
    void readFrom(int id);
    // Handles what the client sent, as much as one turn allows.
    void consume(Client& c);
    void handle(Client& c, const Block& block);
    void answerQuery(Client& c, const Block& block);
    bool changeRouting(Client& c, const Block& block);
    bool changeLabels(const Block& block, bool outputs);
    bool changeLocks(Client& c, const Block& block);

    void send(Client& c, const QByteArray& bytes);
    void broadcast(const Block& block);
    void broadcastLocks(const Lines& outputs);
    void drop(Client& c, const QString& why);
    void reap();

    std::array<LockState, kPorts> locksFor(const Client& c) const;
    void lockChanged(int output);
    // Runs `change`; the outputs whose lock it changed, for one block to every client.
    Lines gatherLocks(const std::function<void()>& change);
    std::array<QString, kPorts> inputNames() const;
    std::array<QString, kPorts> outputNames() const;

    void refreshNames();

    void pump();
    void routeEnded(int output, int input, bool done);
    // What the switch confirmed or reports now, shown to every client.
    void routingKnownNow();
    void routeConfirmed(int output, int input);
    void routeChanged(int output);
    void sendWholeRouting();

    hub::Hub& hub_;
    Runner& runner_;
    LabelStore& labels_;
    QString switchKey_;
    DeviceIdentity identity_;
    QTcpServer listener_;
    std::vector<hub::Subnet> allowed_;

    std::map<int, std::unique_ptr<Client>> clients_;
    int nextClientId_ = 1;
    bool reapPosted_ = false;

    std::array<int, kPorts> routes_{};
    bool routingKnown_ = false;
    // While gatherLocks() runs: the outputs whose lock changed.
    bool changingLocks_ = false;
    Lines locksChanged_;
    // The names every client has been sent.
    PortLabels names_;

    // Routes asked for and not yet sent, one per output, in the order first
    // asked, with who asked (a lock taken meanwhile is checked when it goes).
    struct Pending {
        RouteLine route;
        hub::Who who;
    };
    std::vector<Pending> pending_;
    QPointer<RouteSet> routing_;
    Hold hold_;
    bool waitingForLine_ = false;
    bool routeFailed_ = false;
    bool wholePending_ = false;  // the routing is read back: the whole block follows
};

}  // namespace videohub
}  // namespace talvane
