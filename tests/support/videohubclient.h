// A Videohub control surface on loopback for the tests: it sends text and
// splits what it receives into blocks. Tests wait for bytes to travel by
// processing events, never for time to pass.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <functional>

#include "support/waitfor.h"

namespace talvane {

// A control surface: sends text, and splits what it receives into blocks
// (each without its empty line).
struct Surface {
    QTcpSocket socket;
    QByteArray in;
    QByteArrayList blocks;

    explicit Surface(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] {
            in += socket.readAll();
            qsizetype end;
            while ((end = in.indexOf("\n\n")) >= 0) {
                blocks << in.left(end);
                in.remove(0, end + 2);
            }
        });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    void send(const QByteArray& text) { socket.write(text); }
    // Waits for the prelude and returns its blocks.
    QByteArrayList prelude()
    {
        if (!waitFor([this] { return blocks.contains("END PRELUDE:"); }))
            return {};
        const QByteArrayList out = blocks.mid(0, blocks.indexOf("END PRELUDE:") + 1);
        blocks = blocks.mid(out.size());
        return out;
    }
    // Waits for `n` more blocks and takes them.
    QByteArrayList take(int n)
    {
        waitFor([&] { return blocks.size() >= n; });
        const QByteArrayList out = blocks.mid(0, n);
        blocks = blocks.mid(out.size());
        return out;
    }
    bool closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }
};

}  // namespace talvane
