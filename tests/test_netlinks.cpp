// The TCP control connection and the UDP socket of the search and settings,
// on loopback: what they post to their owner window, whole frames written,
// the close by the peer told apart from a close of our own, and the UDP
// port shared with a switch on the same host.
#include <QtTest>

#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <functional>
#include <vector>

#include "core/windowmessage.h"
#include "link/datagramsocket.h"
#include "link/tcplink.h"
#include "protocol/frame.h"
#include "support/tcppeer.h"

using namespace talvane;

namespace {

constexpr int kDeadlineMs = 5000;
const QHostAddress kLoopbackBroadcast(QStringLiteral("127.255.255.255"));

struct Note {
    int message;
    quintptr wParam;
    int event;
    int error;
    QByteArray data;
};

class RecordingOwner : public QObject, public MessageWindow {
public:
    std::vector<Note> notes;
    bool event(QEvent* e) override { return dispatchWindowMessage(e, *this) || QObject::event(e); }
    qintptr onMessage(int message, quintptr wParam, qintptr lParam) override
    {
        return onDataMessage(message, wParam, lParam, {});
    }
    qintptr onDataMessage(int message, quintptr wParam, qintptr lParam, const QByteArray& data) override
    {
        notes.push_back({message, wParam, netevent::eventOf(lParam), netevent::errorOf(lParam), data});
        return 1;
    }
    int count(int event) const
    {
        return int(std::count_if(notes.begin(), notes.end(), [&](const Note& n) { return n.event == event; }));
    }
    QByteArray readData() const
    {
        QByteArray all;
        for (const Note& n : notes)
            if (n.event == netevent::Read)
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
        RecordingOwner owner;
        TcpLink link(&owner);
        QVERIFY(!link.writeFrame(reinterpret_cast<const std::uint8_t*>("x"), 1));  // not connected
        link.connectTo(QHostAddress::LocalHost, peer.server.serverPort());
        const quintptr id = link.connectionId();
        QVERIFY(id != 0);
        QTRY_COMPARE_WITH_TIMEOUT(owner.count(netevent::Connect), 1, kDeadlineMs);
        QCOMPARE(owner.notes.front().message, msg::TcpSocket);
        QCOMPARE(owner.notes.front().wParam, id);
        QCOMPARE(owner.notes.front().error, 0);
        QVERIFY(link.isOpen());
        QTRY_VERIFY_WITH_TIMEOUT(peer.socket, kDeadlineMs);

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

        // What the switch writes arrives as read notifications, in order.
        const QByteArray reply = QByteArray::fromHex("A55B080C0F0000000000000000");
        peer.socket->write(reply);
        peer.socket->write(QByteArray(3000, '\x11'));
        QTRY_COMPARE_WITH_TIMEOUT(owner.readData().size(), qsizetype(3013), kDeadlineMs);
        QVERIFY(owner.readData().startsWith(reply));
        for (const Note& n : owner.notes)
            QVERIFY(n.data.size() <= TcpLink::kReadChunk);

        // The switch closes: one close notification, the link is down.
        peer.socket->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(owner.count(netevent::Close), 1, kDeadlineMs);
        QCOMPARE(owner.notes.back().wParam, id);
        QVERIFY(!link.isOpen());
        QVERIFY(!link.writeFrame(block.data(), block.size()));
    }

    void ownCloseReportsNothingAndNewIdsDiffer()
    {
        TcpPeer peer;
        RecordingOwner owner;
        TcpLink link(&owner);
        link.connectTo(QHostAddress::LocalHost, peer.server.serverPort());
        const quintptr first = link.connectionId();
        QTRY_COMPARE_WITH_TIMEOUT(owner.count(netevent::Connect), 1, kDeadlineMs);
        QTRY_VERIFY_WITH_TIMEOUT(peer.socket, kDeadlineMs);
        link.closeLink();
        QCOMPARE(link.connectionId(), quintptr(0));
        QVERIFY(!link.isOpen());
        QTRY_COMPARE_WITH_TIMEOUT(peer.socket->state(), QAbstractSocket::UnconnectedState, kDeadlineMs);
        QCOMPARE(owner.count(netevent::Close), 0);

        link.connectTo(QHostAddress::LocalHost, peer.server.serverPort());
        QVERIFY(link.connectionId() != first);
        QTRY_COMPARE_WITH_TIMEOUT(owner.count(netevent::Connect), 2, kDeadlineMs);
    }

    void refusedConnectionReportsAnError()
    {
        quint16 port = 0;
        {
            QTcpServer s;  // a port nothing listens on once it is closed
            s.listen(QHostAddress::LocalHost, 0);
            port = s.serverPort();
        }
        RecordingOwner owner;
        TcpLink link(&owner);
        link.connectTo(QHostAddress::LocalHost, port);
        QVERIFY(link.connecting());
        QTRY_COMPARE_WITH_TIMEOUT(owner.count(netevent::Connect), 1, kDeadlineMs);
        QVERIFY(owner.notes.front().error != 0);
        QVERIFY(!link.connecting());
        QVERIFY(!link.isOpen());
        QVERIFY(!link.errorString().isEmpty());
        QCOMPARE(owner.count(netevent::Close), 0);
    }

    void datagramsShareThePortAndLeaveOurOwnOut()
    {
        RecordingOwner owner;
        DatagramSocket udp(&owner);
        QVERIFY(udp.open(0, msg::SearchReply));
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
        QTRY_COMPARE_WITH_TIMEOUT(owner.notes.size(), std::size_t(1), kDeadlineMs);
        const Note n = owner.notes.front();
        QCOMPARE(n.message, msg::SearchReply);
        QCOMPARE(n.wParam, udp.socketId());
        QCOMPARE(n.event, netevent::Read);
        QCOMPARE(n.data, answer);  // and not our own request

        // Reopened for the settings: a new id, the other message.
        const quintptr searchId = udp.socketId();
        QVERIFY(udp.open(port, msg::ConfigReply));
        QVERIFY(udp.socketId() != searchId);
        sw.writeDatagram(QByteArray(2000, '\x01'), kLoopbackBroadcast, port);
        QTRY_COMPARE_WITH_TIMEOUT(owner.notes.size(), std::size_t(2), kDeadlineMs);
        QCOMPARE(owner.notes.back().message, msg::ConfigReply);
        QCOMPARE(owner.notes.back().data.size(), qsizetype(DatagramSocket::kMaxDatagram));

        udp.close();
        QCOMPARE(udp.socketId(), quintptr(0));
        QVERIFY(!udp.sendTo(QByteArray(1, 'a'), kLoopbackBroadcast, port));
    }
};

QTEST_GUILESS_MAIN(TestNetLinks)
#include "test_netlinks.moc"
