// The web remote and the HTTP API of the hub: the page for phones, tablets
// and desktops at /, and /api/v1/ in JSON for scripts, Home Assistant and
// button boxes. A thin client of the hub: it shows the hub's state and asks
// the hub for changes, as every other front end does.
//
// Qt HttpServer parses the requests; this class keeps the connections in
// bounds (how many, how large a request, how slow a client, how many
// requests ahead of their answers) on a listening socket of its own, sends
// the answers of one connection in the order asked, and checks who asks.
#pragma once

#include <QAbstractHttpServer>
#include <QHostAddress>
#include <QJsonObject>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QPointer>

#include <map>
#include <memory>
#include <vector>

#include "hub/controlserver.h"
#include "http/auth.h"

class QTcpServer;
class QTcpSocket;

namespace talvane {
namespace hub {
class Hub;
}
namespace http {

class Api;
class Events;
class Peer;

// What a handler needs of a request, taken from it while it is there.
struct Request {
    QHttpServerRequest::Method method = QHttpServerRequest::Method::Unknown;
    QString path;
    QByteArray body;
    QByteArray contentType;
    QByteArray cookie;
    QByteArray authorization;
    QByteArray origin;       // the Origin header, where the browser sent one
    QByteArray host;         // the Host header
    QString peer;            // "192.168.1.20:50122"
    bool authorized = false;  // no token needed, or the right one given
};

// The answer to one request, given once, whenever it is ready: a handler
// keeps it while the switch works. Answers on one connection go out in the
// order their requests came.
class Reply {
public:
    void send(QHttpServerResponse&& response) const;
    void json(QHttpServerResponder::StatusCode status, const QJsonObject& body) const;
    // {"ok": false, "error": why} with `status`, and `partial`'s keys.
    void error(QHttpServerResponder::StatusCode status, const QString& why, QJsonObject partial = {}) const;
    // Turns the connection into an event stream (GET /api/v1/events).
    void stream() const;
    // Lives as long as the connection: callbacks for this answer use it as their context.
    QObject* context() const;

private:
    friend class Peer;
    Reply(Peer* peer, quint64 sequence);
    QPointer<Peer> peer_;
    quint64 sequence_ = 0;
};

class Server : public QAbstractHttpServer {
    Q_OBJECT
public:
    // `hub` outlives the server; presets are read from `presetsPath`.
    Server(hub::Hub& hub, QString presetsPath, QObject* parent = nullptr);
    ~Server() override;

    // The token clients must give (see auth.h); required before listening
    // beyond loopback.
    void setToken(QByteArray token) { access_ = Access(std::move(token)); }
    // Only clients from these ranges are served (empty: any that reaches the port).
    void setAllowed(std::vector<hub::Subnet> allowed) { allowed_ = std::move(allowed); }
    // Starts listening; refused beyond loopback without a token.
    bool listen(const QHostAddress& address, quint16 port);
    QString errorString() const { return error_; }
    QHostAddress address() const;
    quint16 port() const;
    // Whether a request needs the token (one was given).
    bool needsToken() const { return !access_.open(); }
    int connectionCount() const { return int(peers_.size()); }
    int streamCount() const;

signals:
    // A client was turned away or dropped, and why.
    void clientRefused(const QString& peer, const QString& why);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    friend class Peer;
    class Listener;
    void accept(QTcpSocket* socket);
    void drop(Peer* peer, const QString& why);
    bool hostAllowed(const QByteArray& host) const;

    hub::Hub& hub_;
    Access access_;
    std::vector<hub::Subnet> allowed_;
    bool beyondLoopback_ = false;
    QString error_;
    Listener* listener_ = nullptr;
    std::map<QTcpSocket*, Peer*> peers_;
    std::unique_ptr<Events> events_;
    std::unique_ptr<Api> api_;
};

}  // namespace http
}  // namespace talvane
