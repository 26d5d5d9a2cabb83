#include "datagramsocket.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QUdpSocket>

#include <QPointer>

namespace talvane {

namespace {
const QAbstractSocket::BindMode kSharedBind = QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint;
}  // namespace

DatagramSocket::DatagramSocket(QObject* parent)
    : QObject(parent)
{
}

DatagramSocket::~DatagramSocket() { close(); }

bool DatagramSocket::open(quint16 port)
{
    // Qt's UDP sockets may send broadcasts from the start; nothing to allow.
    close();
    auto* s = new QUdpSocket(this);
    if (!s->bind(QHostAddress::AnyIPv4, port, kSharedBind)) {
        delete s;
        return false;
    }
    socket_ = s;
    lastSent_.clear();
    connect(s, &QUdpSocket::readyRead, this, [this] {
        if (!readScheduled_)
            onReadyRead();
    });
    return true;
}

void DatagramSocket::close()
{
    if (!socket_)
        return;
    QUdpSocket* s = socket_;
    socket_ = nullptr;
    s->disconnect(this);
    s->close();
    s->deleteLater();
}

quint16 DatagramSocket::localPort() const { return socket_ ? socket_->localPort() : 0; }

bool DatagramSocket::sendTo(const QByteArray& data, const QHostAddress& address, quint16 port)
{
    if (!socket_)
        return false;
    lastSent_ = data;
    return socket_->writeDatagram(data, address, port) == data.size();
}

bool DatagramSocket::isLocalAddress(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if ((isV4 && v4 == 0) || address.isLoopback())
        return true;
    const QList<QHostAddress> own = QNetworkInterface::allAddresses();
    for (const QHostAddress& a : own)
        if (a.isEqual(address, QHostAddress::ConvertV4MappedToIPv4))
            return true;
    return false;
}

void DatagramSocket::onReadyRead()
{
    readScheduled_ = false;
    for (int taken = 0; socket_ && socket_->hasPendingDatagrams(); ++taken) {
        if (taken == kDatagramsPerTurn) {
            // The rest in a later turn of the loop, after whatever else waits there.
            readScheduled_ = true;
            QMetaObject::invokeMethod(this, &DatagramSocket::onReadyRead, Qt::QueuedConnection);
            return;
        }
        const QNetworkDatagram d = socket_->receiveDatagram(kMaxDatagram);
        const QByteArray data = d.data();
        // Our own broadcast, back from the network.
        if (!lastSent_.isEmpty() && data == lastSent_ && d.senderPort() == int(socket_->localPort())
            && isLocalAddress(d.senderAddress()))
            continue;
        QPointer<QUdpSocket> reading = socket_;
        emit datagramReceived(data);
        if (reading != socket_)
            return;  // closed or replaced by a handler
    }
}

}  // namespace talvane
