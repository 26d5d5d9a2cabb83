#include "tcpendpoint.h"

#include <QTcpSocket>

#include "sim/session.h"
#include "sim/trace.h"

namespace talvane {
namespace sim {

namespace {
// Connections that may wait to be accepted while the event loop is busy.
constexpr int kListenBacklog = 512;
}  // namespace

TcpEndpoint::TcpEndpoint(SwitchDevice& device, Trace* trace, QObject* parent)
    : QObject(parent)
    , device_(device)
    , trace_(trace)
{
    server_.setListenBacklogSize(kListenBacklog);
    connect(&server_, &QTcpServer::newConnection, this, &TcpEndpoint::onNewConnection);
}

TcpEndpoint::~TcpEndpoint()
{
    for (auto& [socket, session] : connections_) {
        socket->disconnect(this);
        session->close();
        socket->abort();
        delete socket;
    }
}

bool TcpEndpoint::listen(const QHostAddress& address, quint16 port, QString* error)
{
    if (server_.listen(address, port))
        return true;
    if (error)
        *error = server_.errorString();
    return false;
}

void TcpEndpoint::onNewConnection()
{
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        socket->setParent(nullptr);
        // Each reply goes out as its own segment, as a switch writes it.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        // What is not yet read stays with the peer (and the kernel), not here.
        socket->setReadBufferSize(kReadChunk);
        auto session = std::make_unique<Session>(
            device_, [this, socket](const QByteArray& bytes) { send(socket, bytes); }, trace_);
        connections_.emplace(socket, std::move(session));
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { drop(socket); });
    }
}

void TcpEndpoint::onReadyRead(QTcpSocket* socket)
{
    auto it = connections_.find(socket);
    if (it == connections_.end())
        return;
    // At most kReadChunk bytes: the rest waits for the next turn of the
    // event loop, after every other connection has had its turn.
    it->second->receive(socket->readAll());
}

void TcpEndpoint::send(QTcpSocket* socket, const QByteArray& bytes)
{
    socket->write(bytes);
    socket->flush();  // a peer found gone here is dropped at once
    if (connections_.count(socket) == 0)
        return;
    const qint64 pending = socket->bytesToWrite();
    if (pending > Session::kMaxPendingOutput) {
        note(socket, QStringLiteral("%1 bytes of replies not read, disconnected").arg(pending));
        drop(socket);
        socket->abort();
    }
}

void TcpEndpoint::drop(QTcpSocket* socket)
{
    auto it = connections_.find(socket);
    if (it == connections_.end())
        return;
    socket->disconnect(this);
    // The session may be the caller (its write found the peer gone): it is
    // closed now and deleted once control is back in the event loop.
    it->second->close();
    retired_.push_back(std::move(it->second));
    connections_.erase(it);
    socket->deleteLater();
    if (retired_.size() == 1)
        QMetaObject::invokeMethod(this, [this] { retired_.clear(); }, Qt::QueuedConnection);
}

void TcpEndpoint::note(QTcpSocket* socket, const QString& what)
{
    if (trace_)
        trace_->note(QStringLiteral("tcp %1:%2: %3").arg(socket->peerAddress().toString()).arg(socket->peerPort()).arg(what));
}

void TcpEndpoint::closeConnections()
{
    std::vector<QTcpSocket*> sockets;
    for (const auto& entry : connections_)
        sockets.push_back(entry.first);
    // Each one is dropped when it reports the disconnection.
    for (QTcpSocket* socket : sockets)
        socket->disconnectFromHost();
}

}  // namespace sim
}  // namespace talvane
