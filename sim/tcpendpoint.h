// The switch's control port: any number of TCP connections, each its own
// session on the one device.
//
// No peer can take the simulator down or hold it up: a session dropped while
// it is writing (the peer went away under the write) is deleted only once
// control is back in the event loop; each connection reads at most
// kReadChunk bytes (about 80 commands) per turn of the event loop, so one
// client's flood cannot delay another client's answer; and a peer that
// leaves more than Session::kMaxPendingOutput bytes of replies unread is
// disconnected.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>

#include <map>
#include <memory>
#include <vector>

class QTcpSocket;

namespace talvane {
namespace sim {

class Session;
class SwitchDevice;
class Trace;

class TcpEndpoint : public QObject {
    Q_OBJECT
public:
    static constexpr int kReadChunk = 1024;

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
    void onReadyRead(QTcpSocket* socket);
    void send(QTcpSocket* socket, const QByteArray& bytes);
    void drop(QTcpSocket* socket);
    void note(QTcpSocket* socket, const QString& what);

    SwitchDevice& device_;
    Trace* trace_;
    QTcpServer server_;
    std::map<QTcpSocket*, std::unique_ptr<Session>> connections_;
    // Sessions of dropped connections, deleted from the event loop.
    std::vector<std::unique_ptr<Session>> retired_;
};

}  // namespace sim
}  // namespace talvane
