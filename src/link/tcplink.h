// The TCP control connection to the switch (port 8000): the same frames as
// the serial line, on the event loop of the thread that made it. It reports
// opened() once an attempt has ended (with why it failed), received() with
// the bytes of each read, and lost() when the switch closed the connection or
// it broke. Closing from this side reports nothing, and nothing of an earlier
// connection is reported once a new one has begun.
#pragma once

#include <QHostAddress>
#include <QPointer>

#include "core/link.h"

#include <QHostAddress>

class QTcpSocket;

namespace talvane {

class TcpLink : public Link {
    Q_OBJECT
public:
    // Bytes taken from the socket per turn of the event loop: a peer that
    // floods the connection cannot keep the window from its other work.
    static constexpr qint64 kReadChunk = 1024;
    // What the socket may take from the system ahead of those reads; beyond
    // it the peer waits (TCP flow control), so a flood cannot fill memory.
    static constexpr qint64 kReadBuffer = 64 * 1024;

    explicit TcpLink(QObject* parent = nullptr);
    ~TcpLink() override;

    // Drops the connection it had and starts connecting to address:port on a
    // new socket; returns at once.
    void connectTo(const QHostAddress& address, quint16 port);
    bool connecting() const;
    // Bytes received and not yet handed on.
    qint64 bufferedBytes() const;
    // Why the last attempt failed or the connection broke.
    QString errorString() const { return error_; }
    // This end of the connection, as the peer sees it (a hub names its
    // clients by it); null and 0 while not connected.
    QHostAddress localAddress() const;
    quint16 localPort() const;

    bool isOpen() const override;
    // One write call for the whole frame.
    bool writeFrame(const std::uint8_t* bytes, std::size_t length) override;
    void closeLink() override;

private:
    void onReadyRead();
    void readChunk();
    void onErrorOccurred();
    void onDisconnected();

    QPointer<QTcpSocket> socket_;
    bool connected_ = false;
    bool attemptEnded_ = false;
    bool readScheduled_ = false;
    QString error_;
};

}  // namespace talvane
