#include "tcpendpoint.h"

#include <QTcpSocket>

#include "session.h"

namespace talvane {
namespace sim {

TcpEndpoint::TcpEndpoint(SwitchDevice& device, Trace* trace, QObject* parent)
    : QObject(parent)
    , device_(device)
    , trace_(trace)
{
    connect(&server_, &QTcpServer::newConnection, this, &TcpEndpoint::onNewConnection);
}

TcpEndpoint::~TcpEndpoint()
{
    for (auto& [socket, session] : connections_) {
        socket->disconnect(this);
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
        auto session = std::make_unique<Session>(
            device_,
            [socket](const QByteArray& bytes) {
                socket->write(bytes);
                socket->flush();
            },
            trace_);
        Session* s = session.get();
        connections_.emplace(socket, std::move(session));
        connect(socket, &QTcpSocket::readyRead, this, [socket, s] { s->receive(socket->readAll()); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { drop(socket); });
    }
}

void TcpEndpoint::drop(QTcpSocket* socket)
{
    auto it = connections_.find(socket);
    if (it == connections_.end())
        return;
    socket->disconnect(this);
    connections_.erase(it);
    socket->deleteLater();
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
