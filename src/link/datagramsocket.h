// The UDP socket of the search and the network settings: the discovery socket
// (port 30600) or the configuration socket (port 30601), whichever was opened
// last; opening one closes the other. It is bound to any local address with
// the port shared, so a switch simulator on the same host can bind the same
// port, and it may send broadcasts. It reports each datagram it receives,
// except its own, which a broadcast brings back to it; nothing of a socket
// closed meanwhile is reported.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

class QUdpSocket;

namespace talvane {

class DatagramSocket : public QObject {
    Q_OBJECT
public:
    // A longer datagram is cut to this size.
    static constexpr qint64 kMaxDatagram = 1024;
    // Datagrams taken per turn of the event loop: a flood cannot keep the
    // window from its other work.
    static constexpr int kDatagramsPerTurn = 32;

    explicit DatagramSocket(QObject* parent = nullptr);
    ~DatagramSocket() override;

    // Closes the socket it had and binds a new one to `port`. False when the
    // port cannot be bound.
    bool open(quint16 port);
    void close();
    bool isOpen() const { return socket_ != nullptr; }
    quint16 localPort() const;
    // Sends one datagram. False when it could not be sent (no socket, no route).
    bool sendTo(const QByteArray& data, const QHostAddress& address, quint16 port);

    // Loopback, one of this host's own addresses, or 0.0.0.0 (what a limited
    // broadcast sent from this host may show as its source).
    static bool isLocalAddress(const QHostAddress& address);

signals:
    void datagramReceived(const QByteArray& data);

private:
    void onReadyRead();

    QUdpSocket* socket_ = nullptr;
    QByteArray lastSent_;
    bool readScheduled_ = false;
};

}  // namespace talvane
