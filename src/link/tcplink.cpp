#include "tcplink.h"

#include <QTcpSocket>

namespace talvane {

TcpLink::TcpLink(QObject* parent)
    : Link(parent)
{
}

TcpLink::~TcpLink() { closeLink(); }

void TcpLink::connectTo(const QHostAddress& address, quint16 port)
{
    closeLink();
    auto* s = new QTcpSocket(this);
    s->setReadBufferSize(kReadBuffer);
    socket_ = s;
    connected_ = false;
    attemptEnded_ = false;
    error_.clear();
    connect(s, &QTcpSocket::connected, this, [this, s] {
        connected_ = true;
        attemptEnded_ = true;
        // Each frame goes out at once rather than waiting for the previous one's acknowledgement.
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        emit opened(true, QString());
    });
    connect(s, &QTcpSocket::readyRead, this, &TcpLink::onReadyRead);
    connect(s, &QAbstractSocket::errorOccurred, this, &TcpLink::onErrorOccurred);
    connect(s, &QTcpSocket::disconnected, this, &TcpLink::onDisconnected);
    s->connectToHost(address, port);
}

bool TcpLink::connecting() const { return socket_ && !connected_ && !attemptEnded_; }

qint64 TcpLink::bufferedBytes() const { return socket_ ? socket_->bytesAvailable() : 0; }

bool TcpLink::isOpen() const { return socket_ && connected_ && socket_->state() == QAbstractSocket::ConnectedState; }

QHostAddress TcpLink::localAddress() const { return isOpen() ? socket_->localAddress() : QHostAddress(); }

quint16 TcpLink::localPort() const { return isOpen() ? socket_->localPort() : 0; }

bool TcpLink::writeFrame(const std::uint8_t* bytes, std::size_t length)
{
    if (!bytes || length == 0 || !isOpen())
        return false;
    if (socket_->write(reinterpret_cast<const char*>(bytes), qint64(length)) != qint64(length))
        return false;
    // On its way now, as a serial write is, not once the event loop next
    // turns: the answer to the frame before may still be shown meanwhile.
    socket_->flush();
    return true;
}

void TcpLink::closeLink()
{
    if (!socket_)
        return;
    QTcpSocket* s = socket_;
    socket_ = nullptr;
    connected_ = false;
    readScheduled_ = false;
    s->disconnect(this);
    s->abort();
    s->deleteLater();
    emit closed();
}

void TcpLink::onReadyRead()
{
    if (!readScheduled_)
        readChunk();
}

void TcpLink::readChunk()
{
    readScheduled_ = false;
    if (!socket_ || socket_->bytesAvailable() <= 0)
        return;
    QPointer<QTcpSocket> reading = socket_;
    const QByteArray data = socket_->read(kReadChunk);
    if (!data.isEmpty())
        emit received(data);
    // The rest in a later turn of the loop, after whatever else waits there.
    if (reading && reading == socket_ && socket_->bytesAvailable() > 0 && !readScheduled_) {
        readScheduled_ = true;
        QMetaObject::invokeMethod(this, &TcpLink::readChunk, Qt::QueuedConnection);
    }
}

void TcpLink::onErrorOccurred()
{
    if (!socket_)
        return;
    error_ = socket_->errorString();
    if (connected_) {
        onDisconnected();
    } else if (!attemptEnded_) {
        attemptEnded_ = true;
        const QString why = error_;
        closeLink();
        emit opened(false, why);
    }
}

void TcpLink::onDisconnected()
{
    if (!socket_ || !connected_)
        return;
    // Bytes that came with the close go first.
    while (socket_ && socket_->bytesAvailable() > 0) {
        QPointer<QTcpSocket> reading = socket_;
        const QByteArray data = socket_->read(kReadChunk);
        if (data.isEmpty())
            break;
        emit received(data);
        if (!reading || reading != socket_)
            return;  // closed from a handler of those bytes
    }
    if (error_.isEmpty() && socket_)
        error_ = socket_->errorString();
    const QString why = error_;
    closeLink();
    emit lost(why);
}

}  // namespace talvane
