// The main window's UDP socket: the discovery socket (port 30600) or the
// configuration socket (port 30601), whichever was opened last; opening one
// closes the other. It is bound to any local address with the port shared, so
// a switch simulator on the same host can bind the same port, and it may send
// broadcasts. Each datagram it receives is posted to the owner window as the
// message given at opening, wParam the socket's id, lParam the read event, the
// datagram as data. Its own datagrams, which a broadcast brings back to it,
// are left out.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>

class QUdpSocket;

namespace talvane {

class DatagramSocket : public QObject {
    Q_OBJECT
public:
    // A longer datagram is cut to this size.
    static constexpr qint64 kMaxDatagram = 1024;

    explicit DatagramSocket(QObject* owner = nullptr);
    ~DatagramSocket() override;

    void setOwner(QObject* owner) { owner_ = owner; }
    // Closes the socket it had and binds a new one to `port`, its datagrams
    // posted as `message`. False when the port cannot be bound.
    bool open(quint16 port, int message);
    void close();
    quint16 localPort() const;
    // wParam of its messages; 0 while closed.
    quintptr socketId() const { return socket_ ? id_ : 0; }
    // Sends one datagram. False when it could not be sent (no socket, no route).
    bool sendTo(const QByteArray& data, const QHostAddress& address, quint16 port);

    // Loopback, one of this host's own addresses, or 0.0.0.0 (what a limited
    // broadcast sent from this host may show as its source).
    static bool isLocalAddress(const QHostAddress& address);

private:
    void onReadyRead();

    QPointer<QObject> owner_;
    QUdpSocket* socket_ = nullptr;
    quintptr id_ = 0;
    int message_ = 0;
    QByteArray lastSent_;
};

}  // namespace talvane
