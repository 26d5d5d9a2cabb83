#include "tcplink.h"

#include <QTcpSocket>

#include "core/windowmessage.h"

namespace talvane {

namespace {
// The error code of a failed attempt: the socket's error, kept clear of 0 ("no error").
int errorCodeOf(QAbstractSocket::SocketError e) { return int(e) + 2; }
}  // namespace

TcpLink::TcpLink(QObject* owner)
    : owner_(owner)
{
}

TcpLink::~TcpLink() { closeLink(); }

void TcpLink::connectTo(const QHostAddress& address, quint16 port)
{
    closeLink();
    socket_ = new QTcpSocket(this);
    ++id_;
    connected_ = false;
    connectReported_ = false;
    closeReported_ = false;
    error_.clear();
    connect(socket_, &QTcpSocket::connected, this, [this] {
        connected_ = true;
        connectReported_ = true;
        // Each frame goes out at once rather than waiting for the previous one's acknowledgement.
        socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        post(netevent::Connect);
    });
    connect(socket_, &QTcpSocket::readyRead, this, &TcpLink::onReadyRead);
    connect(socket_, &QAbstractSocket::errorOccurred, this, &TcpLink::onErrorOccurred);
    connect(socket_, &QTcpSocket::disconnected, this, &TcpLink::onDisconnected);
    socket_->connectToHost(address, port);
}

bool TcpLink::connecting() const { return socket_ && !connected_ && !connectReported_; }

bool TcpLink::isOpen() const
{
    return socket_ && connected_ && socket_->state() == QAbstractSocket::ConnectedState;
}

bool TcpLink::writeFrame(const std::uint8_t* bytes, std::size_t length)
{
    if (!bytes || length == 0 || !isOpen())
        return false;
    return socket_->write(reinterpret_cast<const char*>(bytes), qint64(length)) == qint64(length);
}

void TcpLink::closeLink()
{
    if (!socket_)
        return;
    QTcpSocket* s = socket_;
    socket_ = nullptr;
    connected_ = false;
    s->disconnect(this);
    s->abort();
    s->deleteLater();
}

void TcpLink::post(int event, int error)
{
    if (owner_)
        postMessage(owner_, msg::TcpSocket, id_, netevent::lParam(event, error));
}

void TcpLink::onReadyRead()
{
    while (socket_ && socket_->bytesAvailable() > 0) {
        QByteArray data = socket_->read(kReadChunk);
        if (data.isEmpty())
            break;
        if (owner_)
            postDataMessage(owner_, msg::TcpSocket, id_, netevent::lParam(netevent::Read), std::move(data));
    }
}

void TcpLink::onErrorOccurred()
{
    error_ = socket_->errorString();
    if (connected_) {
        onDisconnected();
    } else if (!connectReported_) {
        connectReported_ = true;
        post(netevent::Connect, errorCodeOf(socket_->error()));
    }
}

void TcpLink::onDisconnected()
{
    if (!connected_ || closeReported_)
        return;
    // Bytes that came with the close go first.
    onReadyRead();
    connected_ = false;
    closeReported_ = true;
    post(netevent::Close);
}

}  // namespace talvane
