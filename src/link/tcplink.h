// The TCP control connection to the switch (port 8000): the same frames as
// the serial line. Lives on the user-interface thread. Its notifications are
// posted to the owner window as msg::TcpSocket, wParam the connection's id,
// lParam a network event (netevent::lParam):
//  - Read, with the bytes of one read (at most kReadChunk) as data;
//  - Connect once the attempt has ended, with an error code when it failed
//    (the socket's QAbstractSocket::SocketError + 2, so never 0);
//  - Close when the switch closed the connection or it broke.
// Closing from this side reports nothing, and a notification still queued for
// an earlier connection carries that connection's id.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QPointer>

#include "core/link.h"

class QTcpSocket;

namespace talvane {

class TcpLink : public QObject, public Link {
    Q_OBJECT
public:
    static constexpr qint64 kReadChunk = 1024;

    explicit TcpLink(QObject* owner = nullptr);
    ~TcpLink() override;

    void setOwner(QObject* owner) { owner_ = owner; }
    // Drops the connection it had and starts connecting to address:port on a
    // new socket; returns at once.
    void connectTo(const QHostAddress& address, quint16 port);
    // The id the current connection's notifications carry in wParam; 0 when none.
    quintptr connectionId() const { return socket_ ? id_ : 0; }
    bool connecting() const;
    // Why the last attempt failed or the connection broke.
    QString errorString() const { return error_; }

    bool isOpen() const override;
    // One write call for the whole frame.
    bool writeFrame(const std::uint8_t* bytes, std::size_t length) override;
    void closeLink() override;

private:
    void post(int event, int error = 0);
    void onReadyRead();
    void onErrorOccurred();
    void onDisconnected();

    QPointer<QObject> owner_;
    QTcpSocket* socket_ = nullptr;
    quintptr id_ = 0;
    bool connected_ = false;
    bool connectReported_ = false;
    bool closeReported_ = false;
    QString error_;
};

}  // namespace talvane
