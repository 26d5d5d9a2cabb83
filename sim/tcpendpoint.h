// The switch's control port: any number of TCP connections, each its own
// session on the one device.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>

#include <map>
#include <memory>

class QTcpSocket;

namespace talvane {
namespace sim {

class Session;
class SwitchDevice;
class Trace;

class TcpEndpoint : public QObject {
    Q_OBJECT
public:
    TcpEndpoint(SwitchDevice& device, Trace* trace, QObject* parent = nullptr);
    ~TcpEndpoint() override;

    bool listen(const QHostAddress& address, quint16 port, QString* error = nullptr);
    QHostAddress address() const { return server_.serverAddress(); }
    quint16 port() const { return server_.serverPort(); }
    int connectionCount() const { return static_cast<int>(connections_.size()); }

    // Closes every connection from the switch's side (the server goes on listening).
    void closeConnections();

private:
    void onNewConnection();
    void drop(QTcpSocket* socket);

    SwitchDevice& device_;
    Trace* trace_;
    QTcpServer server_;
    std::map<QTcpSocket*, std::unique_ptr<Session>> connections_;
};

}  // namespace sim
}  // namespace talvane
