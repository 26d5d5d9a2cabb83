// The TCP control connection and the UDP socket of the search and settings,
// on loopback: what they report, whole frames written, reads bounded per turn
// of the event loop, the close by the peer told apart from a close of our
// own, and the UDP port shared with a switch on the same host.
#include <QtTest>

#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <sys/socket.h>

#include <functional>
#include <vector>

#include "link/datagramsocket.h"
#include "link/tcplink.h"
#include "protocol/frame.h"
#include "support/tcppeer.h"

using namespace talvane;

namespace {

constexpr int kDeadlineMs = 5000;
const QHostAddress kLoopbackBroadcast(QStringLiteral("127.255.255.255"));

// What a link reports, in order.
struct Recorder {
    enum Kind { Opened, Received, Lost };
    struct Note {
        Kind kind;
        bool ok = false;
        QByteArray data;
    };
    std::vector<Note> notes;

    explicit Recorder(Link& link)
    {
        QObject::connect(&link, &Link::opened, [this](bool ok, const QString&) { notes.push_back({Opened, ok, {}}); });
        QObject::connect(&link, &Link::received, [this](const QByteArray& d) { notes.push_back({Received, true, d}); });
        QObject::connect(&link, &Link::lost, [this](const QString&) { notes.push_back({Lost, false, {}}); });
    }
    int count(Kind kind) const
    {
        return int(std::count_if(notes.begin(), notes.end(), [&](const Note& n) { return n.kind == kind; }));
    }
    QByteArray readData() const
    {
        QByteArray all;
        for (const Note& n : notes)
            if (n.kind == Received)
                all += n.data;
        return all;
    }
};

}  // namespace

class TestNetLinks : public QObject {
    Q_OBJECT
private slots:
    void connectWriteReadAndPeerClose()
    {
        TcpPeer peer;
        TcpLink link;
        Recorder owner(link);
        QVERIFY(!link.writeFrame(reinterpret_cast<const std::uint8_t*>("x"), 1));  // not connected
        link.connectTo(QHostAddress::LocalHost, peer.server.serverPort());
        QTRY_COMPARE_WITH_TIMEOUT(owner.count(Recorder::Opened), 1, kDeadlineMs);
        QVERIFY(owner.notes.front().ok);
        QVERIFY(link.isOpen());
        QTRY_VERIFY_WITH_TIMEOUT(peer.socket, kDeadlineMs);

        // A command is on its way once writeFrame() returns, before the
        // event loop turns again (the answer before it is shown meanwhile).
        const CommandFrame query = CommandFrame().seal();
        QVERIFY(link.writeFrame(query.data(), query.size()));
        char peek[kCommandFrameSize];
        QCOMPARE(::recv(int(peer.socket->socketDescriptor()), peek, sizeof peek, MSG_DONTWAIT | MSG_PEEK),
                 ssize_t(kCommandFrameSize));
        QTRY_COMPARE_WITH_TIMEOUT(peer.received.size(), qsizetype(kCommandFrameSize), kDeadlineMs);
        peer.received.clear();

        // A firmware block goes out whole, byte for byte.
        DataFrame block;
        std::vector<std::uint8_t> image(1500);
        for (std::size_t i = 0; i < image.size(); ++i)
            image[i] = std::uint8_t(i * 7);
        block.fill(image.data(), image.size(), 1024, kLastBlockFlag);
        computeChecksum(block.data(), block.size());
        QVERIFY(link.writeFrame(block.data(), block.size()));
        QTRY_COMPARE_WITH_TIMEOUT(peer.received.size(), qsizetype(kDataFrameSize), kDeadlineMs);
        QCOMPARE(peer.received, QByteArray(reinterpret_cast<const char*>(block.data()), qsizetype(kDataFrameSize)));

        // What the switch writes arrives as reads, in order, each at most a
        // chunk, one chunk per turn of the event loop.
        const QByteArray reply = QByteArray::fromHex("A55B080C0F0000000000000000");
        peer.socket->write(reply);
        peer.socket->write(QByteArray(3000, '\x11'));
        QTRY_COMPARE_WITH_TIMEOUT(owner.readData().size(), qsizetype(3013), kDeadlineMs);
        QVERIFY(owner.readData().startsWith(reply));
        for (const auto& n : owner.notes)
            QVERIFY(n.data.size() <= TcpLink::kReadChunk);

        // The switch closes: one loss, the link is down.
        peer.socket->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(owner.count(Recorder::Lost), 1, kDeadlineMs);
        QCOMPARE(owner.notes.back().kind, Recorder::Lost);
        QVERIFY(!link.isOpen());
        QVERIFY(!link.writeFrame(block.data(), block.size()));
    }

    // The switch writes more than one read takes and closes at once: every
    // byte reaches received(), in order, before the one lost().
    void peerWritesThenClosesAtOnce_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("a chunk and a byte") << int(TcpLink::kReadChunk) + 1;
        QTest::newRow("8 KiB") << 8 * 1024;
        QTest::newRow("beyond the read buffer") << int(TcpLink::kReadBuffer) * 3 + 5;
    }
    void peerWritesThenClosesAtOnce()
    {
        QFETCH(int, size);
        TcpPeer peer;
        TcpLink link;
        Recorder owner(link);
        link.connectTo(QHostAddress::LocalHost, peer.server.serverPort());
        QTRY_VERIFY_WITH_TIMEOUT(link.isOpen() && peer.socket, kDeadlineMs);
        QByteArray sent(size, Qt::Uninitialized);
        for (qsizetype i = 0; i < sent.size(); ++i)
            sent[i] = char(i * 13 / 5);
        // As much as the system takes at once (all of it, but for the last
        // row), then the close, before the link has read anything; what is
        // left goes out as the link reads, and the close right after it.
        peer.socket->write(sent);
        peer.socket->flush();
        peer.socket->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(owner.count(Recorder::Lost), 1, kDeadlineMs);
        QCOMPARE(owner.notes.back().kind, Recorder::Lost);
        QCOMPARE(owner.readData().size(), sent.size());
        QVERIFY(owner.readData() == sent);
        QCoreApplication::processEvents();
        QCOMPARE(owner.count(Recorder::Lost), 1);
        QCOMPARE(owner.readData().size(), sent.size());
    }

    void floodWaitsInThePeer()
    {
        // A peer that writes far faster than the link hands on: what the link
        // holds stays within its buffer, the rest waits on the peer's side,
        // and every byte arrives, in order.
        TcpPeer peer;
        TcpLink link;
        link.connectTo(QHostAddress::LocalHost, peer.server.serverPort());
        QTRY_VERIFY_WITH_TIMEOUT(link.isOpen() && peer.socket, kDeadlineMs);
        QByteArray flood(8 * 1024 * 1024, Qt::Uninitialized);
        for (qsizetype i = 0; i < flood.size(); ++i)
            flood[i] = char(i * 31 / 7);
        qint64 most = 0;
        QByteArray got;
        connect(&link, &Link::received, [&](const QByteArray& d) {
            got += d;
            most = std::max(most, link.bufferedBytes());
        });
        peer.socket->write(flood);
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), flood.size(), 60000);
        QVERIFY(got == flood);
        QVERIFY2(most <= TcpLink::kReadBuffer, qPrintable(QString::number(most)));
    }

    void ownCloseReportsNothing()
    {
        TcpPeer peer;
        TcpLink link;
        Recorder owner(link);
        link.connectTo(QHostAddress::LocalHost, peer.server.serverPort());
        QTRY_COMPARE_WITH_TIMEOUT(owner.count(Recorder::Opened), 1, kDeadlineMs);
        QTRY_VERIFY_WITH_TIMEOUT(peer.socket, kDeadlineMs);
        // Bytes in flight when we close are not reported either.
        peer.socket->write(QByteArray(100, '\x22'));
        peer.socket->flush();
        link.closeLink();
        QVERIFY(!link.isOpen());
        QTRY_COMPARE_WITH_TIMEOUT(peer.socket->state(), QAbstractSocket::UnconnectedState, kDeadlineMs);
        QCoreApplication::processEvents();
        QCOMPARE(owner.count(Recorder::Lost), 0);
        QCOMPARE(owner.count(Recorder::Received), 0);

        link.connectTo(QHostAddress::LocalHost, peer.server.serverPort());
        QTRY_COMPARE_WITH_TIMEOUT(owner.count(Recorder::Opened), 2, kDeadlineMs);
    }

    void refusedConnectionReportsAnError()
    {
        quint16 port = 0;
        {
            QTcpServer s;  // a port nothing listens on once it is closed
            s.listen(QHostAddress::LocalHost, 0);
            port = s.serverPort();
        }
        TcpLink link;
        Recorder owner(link);
        link.connectTo(QHostAddress::LocalHost, port);
        QVERIFY(link.connecting());
        QTRY_COMPARE_WITH_TIMEOUT(owner.count(Recorder::Opened), 1, kDeadlineMs);
        QVERIFY(!owner.notes.front().ok);
        QVERIFY(!link.connecting());
        QVERIFY(!link.isOpen());
        QVERIFY(!link.errorString().isEmpty());
        QCOMPARE(owner.count(Recorder::Lost), 0);
    }

    void datagramsShareThePortAndLeaveOurOwnOut()
    {
        DatagramSocket udp;
        QList<QByteArray> received;
        connect(&udp, &DatagramSocket::datagramReceived, [&](const QByteArray& d) { received << d; });
        QVERIFY(udp.open(0));
        const quint16 port = udp.localPort();
        // A switch on the same host binds the same port.
        QUdpSocket sw;
        QVERIFY(sw.bind(QHostAddress::AnyIPv4, port, QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint));
        QList<QByteArray> atSwitch;
        connect(&sw, &QUdpSocket::readyRead, [&] {
            while (sw.hasPendingDatagrams())
                atSwitch << sw.receiveDatagram().data();
        });

        QVERIFY(udp.sendTo(QByteArray(1, 'a'), kLoopbackBroadcast, port));
        QTRY_COMPARE_WITH_TIMEOUT(atSwitch, QList<QByteArray>{QByteArray(1, 'a')}, kDeadlineMs);
        const QByteArray answer(60, '\x42');
        sw.writeDatagram(answer, kLoopbackBroadcast, port);
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), 1, kDeadlineMs);
        QCOMPARE(received.front(), answer);  // and not our own request

        // Reopened for the settings: a long datagram is cut.
        QVERIFY(udp.open(port));
        sw.writeDatagram(QByteArray(2000, '\x01'), kLoopbackBroadcast, port);
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), 2, kDeadlineMs);
        QCOMPARE(received.back().size(), qsizetype(DatagramSocket::kMaxDatagram));

        // A burst waiting at once is taken a few datagrams per turn of the
        // event loop: work queued meanwhile runs before the burst is through.
        const int burst = 3 * DatagramSocket::kDatagramsPerTurn;
        for (int i = 0; i < burst; ++i)
            sw.writeDatagram(QByteArray(1, char(i)), kLoopbackBroadcast, port);
        int receivedWhenQueuedWorkRan = -1;
        auto marker = connect(&udp, &DatagramSocket::datagramReceived, [&] {
            if (received.size() == 3)  // the burst's first
                QMetaObject::invokeMethod(&udp, [&] { receivedWhenQueuedWorkRan = int(received.size()); }, Qt::QueuedConnection);
        });
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), 2 + burst, kDeadlineMs);
        disconnect(marker);
        QVERIFY2(receivedWhenQueuedWorkRan > 0 && receivedWhenQueuedWorkRan < 2 + burst,
                 qPrintable(QString::number(receivedWhenQueuedWorkRan)));
        for (int i = 0; i < burst; ++i)
            QCOMPARE(received[2 + i], QByteArray(1, char(i)));

        udp.close();
        QVERIFY(!udp.isOpen());
        sw.writeDatagram(QByteArray(60, '\x42'), kLoopbackBroadcast, port);
        QVERIFY(!udp.sendTo(QByteArray(1, 'a'), kLoopbackBroadcast, port));
    }
};

QTEST_GUILESS_MAIN(TestNetLinks)
#include "test_netlinks.moc"
