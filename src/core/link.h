// A road to the switch: the serial port or the TCP control connection. A link
// only moves bytes: it writes whole frames and tells what it received (the
// bytes of each read, in order), that it was lost, and how an opening or a
// connection attempt ended. What the bytes mean is the session's business; a
// test puts a link of its own in the real one's place.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace talvane {

class Link : public QObject {
    Q_OBJECT
public:
    explicit Link(QObject* parent = nullptr) : QObject(parent) {}
    ~Link() override = default;

    // The serial port is open, or the TCP connection is up.
    virtual bool isOpen() const = 0;
    // Hands one whole frame (a 13-byte command, a 1029-byte data frame or the
    // 256-byte raw block) to the link in one piece; never waits for it to go
    // out. False when the link is closed or refuses the frame.
    virtual bool writeFrame(const std::uint8_t* bytes, std::size_t length) = 0;
    // Closes the link from this side without waiting; no loss is reported
    // for it, only closed().
    virtual void closeLink() = 0;

signals:
    // The bytes of one read, in the order they came.
    void received(const QByteArray& bytes);
    // The link went away by itself (line hung up, device removed, peer closed);
    // it is closed now. `why` says so in the system's words, if it can.
    void lost(const QString& why);
    // An opening or a connection attempt ended: `ok`, or why not.
    void opened(bool ok, const QString& why);
    // This side closed the link (or the attempt to open it).
    void closed();
};

}  // namespace talvane
