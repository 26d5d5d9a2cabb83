// A switch's end of a control connection on loopback: listens on a free
// port, takes one connection and keeps everything it receives.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

struct TcpPeer {
    QTcpServer server;
    QTcpSocket* socket = nullptr;
    QByteArray received;
    TcpPeer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            socket = server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, [this] { received += socket->readAll(); });
        });
    }
};
