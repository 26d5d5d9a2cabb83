#include "server.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>

#include <deque>
#include <optional>

#include "core/oneshot.h"
#include "http/api.h"
#include "http/events.h"
#include "http/limits.h"
#include "hub/hub.h"

// The page's files live in this static library's resources.
static void initPageResources() { Q_INIT_RESOURCE(http); }

namespace talvane {
namespace http {

using Status = QHttpServerResponder::StatusCode;

// The listening socket: connections are counted and checked before Qt
// HttpServer sees them, and each socket gets its bounds first.
class Server::Listener : public QTcpServer {
public:
    explicit Listener(Server& server) : QTcpServer(&server), server_(server) {}
    void hand(QTcpSocket* socket) { addPendingConnection(socket); }

protected:
    void incomingConnection(qintptr handle) override
    {
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(handle)) {
            delete socket;
            return;
        }
        server_.accept(socket);
    }

private:
    Server& server_;
};

// One connection: the bytes of the request under way, the answers it is
// owed in order, and its time limit.
class Peer : public QObject {
public:
    Peer(Server& server, QTcpSocket* socket, QString name)
        : QObject(&server), server_(server), socket_(socket), name_(std::move(name)), timer_(&server.hub_.connection().clock())
    {
        armTimer();
    }

    QTcpSocket* socket() const { return socket_; }
    const QString& name() const { return name_; }
    bool closing() const { return closing_; }
    bool streaming() const { return streaming_; }
    int owed() const { return int(owed_.size()); }

    // Bytes arrived, `buffered` in all: Qt HttpServer leaves a request in
    // the socket's buffer until it is whole, so they are the request under
    // way (and any sent after it). False when they are past the bound.
    bool arrived(qint64 buffered)
    {
        if (!requestUnderWay_) {
            requestUnderWay_ = true;
            armTimer(true);
        }
        return buffered <= limits::MaxRequestBytes;
    }

    // A whole request was read: its answer is owed next.
    Reply owe(const QHttpServerRequest& request)
    {
        requestUnderWay_ = false;
        timer_.stop();
        owed_.push_back({nextSequence_, std::make_unique<QHttpServerResponder>(Server::makeResponder(request, socket_)),
                         std::nullopt, false});
        return Reply(this, nextSequence_++);
    }

    void answer(quint64 sequence, std::optional<QHttpServerResponse> response, bool stream)
    {
        for (Owed& o : owed_)
            if (o.sequence == sequence && !o.response && !o.stream) {
                o.response = std::move(response);
                o.stream = stream;
                break;
            }
        flush();
    }

    // Closes after what was answered so far has gone out.
    void close()
    {
        closing_ = true;
        owed_.clear();
        timer_.stop();
        socket_->disconnectFromHost();
    }

private:
    struct Owed {
        quint64 sequence;
        std::unique_ptr<QHttpServerResponder> responder;
        std::optional<QHttpServerResponse> response;
        bool stream;
    };

    void flush()
    {
        while (!owed_.empty() && (owed_.front().response || owed_.front().stream)) {
            Owed o = std::move(owed_.front());
            owed_.pop_front();
            if (o.stream) {
                streaming_ = true;
                server_.events_->add(std::move(o.responder), socket_);
                // Nothing else is answered on a stream's connection.
                owed_.clear();
                return;
            }
            QHttpServerResponse& r = *o.response;
            r.setHeader("X-Content-Type-Options", "nosniff");
            r.setHeader("Referrer-Policy", "no-referrer");
            r.setHeader("Cache-Control", "no-store");
            r.setHeader("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'; form-action 'self'");
            r.write(std::move(*o.responder));
        }
        if (owed_.empty() && !requestUnderWay_)
            armTimer();
    }

    // A request under way must arrive within RequestMs; an idle connection
    // goes after IdleMs.
    void armTimer(bool request = false)
    {
        timer_.start(request ? limits::RequestMs : limits::IdleMs, [this, request] {
            if (streaming_)
                return;
            if (request || owed_.empty())
                server_.drop(this, request ? QStringLiteral("its request did not arrive in time")
                                           : QStringLiteral("idle"));
        });
    }

    Server& server_;
    QTcpSocket* socket_;
    QString name_;
    OneShot timer_;
    bool requestUnderWay_ = false;
    std::deque<Owed> owed_;
    quint64 nextSequence_ = 1;
    bool closing_ = false;
    bool streaming_ = false;
};

// --- Reply ---------------------------------------------------------------------------

Reply::Reply(Peer* peer, quint64 sequence) : peer_(peer), sequence_(sequence) {}

void Reply::send(QHttpServerResponse&& response) const
{
    if (peer_)
        peer_->answer(sequence_, std::move(response), false);
}

void Reply::json(Status status, const QJsonObject& body) const { send(QHttpServerResponse(body, status)); }

void Reply::error(Status status, const QString& why, QJsonObject partial) const
{
    partial.insert(QStringLiteral("ok"), false);
    partial.insert(QStringLiteral("error"), why);
    json(status, partial);
}

void Reply::stream() const
{
    if (peer_)
        peer_->answer(sequence_, std::nullopt, true);
}

QObject* Reply::context() const { return peer_.data(); }

// --- Server --------------------------------------------------------------------------

Server::Server(hub::Hub& hub, QString presetsPath, QObject* parent)
    : QAbstractHttpServer(parent)
    , hub_(hub)
    , events_(std::make_unique<Events>(hub, presetsPath))
    , api_(std::make_unique<Api>(hub, *events_, std::move(presetsPath), access_))
{
    initPageResources();
    // Qt HttpServer in this version upgrades any request that asks to a
    // WebSocket, whatever its path: none is served (the events are a
    // stream of server-sent events), and any that slips through is closed.
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, [this] {
        while (hasPendingWebSocketConnections())
            nextPendingWebSocketConnection()->abort();
    });
}

Server::~Server()
{
    // The answers owed and the streams go before their sockets.
    for (auto& [socket, peer] : peers_)
        delete peer;
    peers_.clear();
    api_.reset();
    events_.reset();
}

bool Server::listen(const QHostAddress& address, quint16 port)
{
    beyondLoopback_ = !address.isLoopback();
    if (beyondLoopback_ && access_.open()) {
        error_ = QStringLiteral("listening beyond this machine needs a token (--http-token-file FILE)");
        return false;
    }
    auto* listener = new Listener(*this);
    if (!listener->listen(address, port)) {
        error_ = listener->errorString();
        delete listener;
        return false;
    }
    listener_ = listener;
    bind(listener_);
    return true;
}

QHostAddress Server::address() const { return listener_ ? listener_->serverAddress() : QHostAddress(); }
quint16 Server::port() const { return listener_ ? listener_->serverPort() : 0; }
int Server::streamCount() const { return events_->count(); }

void Server::accept(QTcpSocket* socket)
{
    const QString name = socket->peerAddress().toString() + QLatin1Char(':') + QString::number(socket->peerPort());
    QString refusal;
    if (!hub::isAllowed(allowed_, socket->peerAddress()))
        refusal = QStringLiteral("its address is not allowed (--allow)");
    else if (int(peers_.size()) >= limits::MaxConnections)
        refusal = QStringLiteral("too many connections");
    if (!refusal.isEmpty()) {
        emit clientRefused(name, refusal);
        socket->abort();
        socket->deleteLater();
        return;
    }
    auto* peer = new Peer(*this, socket, name);
    peers_[socket] = peer;
    // Before Qt HttpServer's own handlers, which read what arrived.
    connect(socket, &QTcpSocket::readyRead, peer, [this, peer] {
        if (peer->closing())
            return;
        if (!peer->arrived(peer->socket()->bytesAvailable())) {
            // Not read any further: a fixed answer, and the connection closes.
            peer->socket()->write("HTTP/1.1 413 Payload Too Large\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
            drop(peer, QStringLiteral("its request is larger than %1 bytes").arg(limits::MaxRequestBytes));
        }
    });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        const auto it = peers_.find(socket);
        if (it == peers_.end())
            return;
        it->second->deleteLater();
        peers_.erase(it);
    });
    listener_->hand(socket);
}

void Server::drop(Peer* peer, const QString& why)
{
    if (peer->closing())
        return;
    emit clientRefused(peer->name(), why);
    peer->close();
}

bool Server::hostAllowed(const QByteArray& host) const
{
    // On loopback only names of this machine: a page elsewhere whose name
    // was made to point here (DNS rebinding) gets nothing.
    if (beyondLoopback_)
        return true;
    QByteArray name = host;
    if (name.startsWith('[')) {
        name = name.mid(1, name.indexOf(']') - 1);
    } else if (name.count(':') == 1) {
        name = name.left(name.indexOf(':'));
    }
    if (name.toLower() == "localhost")
        return true;
    const QHostAddress address(QString::fromLatin1(name));
    return !address.isNull() && address.isLoopback();
}

bool Server::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    const auto it = peers_.find(socket);
    if (it == peers_.end() || it->second->closing())
        return true;
    Peer* peer = it->second;
    if (peer->streaming()) {
        drop(peer, QStringLiteral("a request on an event stream's connection"));
        return true;
    }
    if (peer->owed() >= limits::MaxPipelined) {
        drop(peer, QStringLiteral("more than %1 requests ahead of their answers").arg(limits::MaxPipelined));
        return true;
    }
    const Reply reply = peer->owe(request);
    if (!request.value("upgrade").isEmpty()) {
        reply.error(Status::BadRequest,
                    QStringLiteral("no protocol upgrade here: %1 is a stream of server-sent events").arg(Api::kEventsPath));
        // Before Qt HttpServer would answer the upgrade itself.
        socket->flush();
        peer->close();
        socket->abort();
        return true;
    }
    if (request.headers().size() > limits::MaxHeaders) {
        reply.error(Status::RequestHeaderFieldsTooLarge, QStringLiteral("more than %1 header lines").arg(limits::MaxHeaders));
        drop(peer, QStringLiteral("more than %1 header lines").arg(limits::MaxHeaders));
        return true;
    }
    if (!hostAllowed(request.value("host"))) {
        reply.error(Status::Forbidden, QStringLiteral("the Host header does not name this machine"));
        drop(peer, QStringLiteral("its Host header names another machine"));
        return true;
    }
    Request r;
    r.method = request.method();
    r.path = request.url().path();
    r.body = request.body();
    r.contentType = request.value("content-type");
    r.cookie = request.value("cookie");
    r.authorization = request.value("authorization");
    r.origin = request.value("origin");
    r.host = request.value("host");
    r.peer = peer->name();
    r.authorized = access_.open() || access_.bearerMatches(r.authorization) || access_.cookieMatches(r.cookie);
    api_->handle(r, reply);
    return true;
}

void Server::missingHandler(const QHttpServerRequest&, QTcpSocket*) {}

}  // namespace http
}  // namespace talvane
