// Shared by the simulator's tests: the command script (every command of the
// command index with the reply a factory-state switch gives, golden bytes)
// and its runner, EDID and firmware helpers, and the panel's datagram socket.
#pragma once

#include <QtTest>

#include <QNetworkDatagram>
#include <QUdpSocket>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "protocol/commands.h"
#include "protocol/frame.h"
#include "protocol/netpackets.h"
#include "sim/simulator.h"
#include "support/instrumented.h"

namespace simtest {

using Bytes = std::vector<std::uint8_t>;

constexpr int kDeadlineMs = talvane::testing::realIoDeadline(5000);  // for real I/O
const QString kPowerOnReply = "A5 5B 08 0C 0F 00 00 00 00 00 00 00";

inline Bytes hexBytes(const QString& text)
{
    Bytes out;
    for (const QString& t : text.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        out.push_back(static_cast<std::uint8_t>(t.toUInt(nullptr, 16)));
    return out;
}

inline QByteArray toQt(const Bytes& b) { return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size())); }
inline const std::uint8_t* bytesOf(const QByteArray& a) { return reinterpret_cast<const std::uint8_t*>(a.constData()); }
inline QString hexOf(const QByteArray& a)
{
    return QString::fromStdString(talvane::toHex(bytesOf(a), std::size_t(a.size())));
}
// Positions 0..11 of a reply, the part the script's golden bytes give.
inline QString body(const QByteArray& reply) { return hexOf(reply.left(12)); }
inline talvane::CommandFrame frameOf(const QByteArray& a)
{
    return talvane::CommandFrame::fromBytes(bytesOf(a.leftJustified(int(talvane::kCommandFrameSize), '\0', true)));
}

inline std::optional<talvane::SearchReply> searchReplyOf(const QByteArray& a)
{
    return talvane::SearchReply::decode(bytesOf(a), std::size_t(a.size()));
}

inline Bytes sealed(talvane::CommandFrame f)
{
    f.seal();
    return Bytes(f.bytes.begin(), f.bytes.end());
}

// A 128- or 256-byte EDID file with `extensions` in byte 126; the checksums
// are right unless told otherwise.
inline Bytes edidFile(std::size_t size, int extensions, bool goodBase = true, bool goodExtension = true)
{
    Bytes f = hexBytes("00 FF FF FF FF FF FF 00");
    f.resize(size);
    for (std::size_t i = 8; i < size; ++i)
        f[i] = static_cast<std::uint8_t>(i < 128 ? i * 7 : i * 3 + 1);
    f[126] = static_cast<std::uint8_t>(extensions);
    f[127] = talvane::checksumOf(f.data(), 127) ^ (goodBase ? 0 : 1);
    if (size == 256)
        f[255] = talvane::checksumOf(f.data() + 128, 127) ^ (goodExtension ? 0 : 1);
    return f;
}

// The raw block as the panel sends a file: 0x00, then the file's first 255 bytes.
inline Bytes panelBlock(const Bytes& file)
{
    Bytes b(talvane::kRawEdidBlockSize, 0);
    std::copy(file.begin(), file.begin() + std::min<std::size_t>(file.size(), 255), b.begin() + 1);
    return b;
}

inline Bytes dataFrame(const Bytes& image, std::size_t offset, std::uint8_t flags)
{
    talvane::DataFrame d;
    d.fill(image.data(), image.size(), offset, flags);
    talvane::computeChecksum(d.data(), talvane::kDataFrameSize);
    return Bytes(d.bytes.begin(), d.bytes.end());
}

struct ScriptStep {
    QString name;
    Bytes send;
    QString reply;  // body of the expected reply; empty: no reply
};

// For a switch in its factory state with no reboot silence. Every step that
// expects no reply is followed by one that does, so a stray reply shows.
inline std::vector<ScriptStep> commandScript()
{
    using namespace talvane;
    namespace b = talvane::build;
    const std::uint8_t identPart[8] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
    Bytes badChecksum = sealed(b::powerStateQuery());
    badChecksum[pos::Checksum] ^= 0x01;
    return {
        {"power state", sealed(b::powerStateQuery()), kPowerOnReply},
        {"route input 4 to output B (worked example)", hexBytes("A5 5B 02 03 04 00 02 00 00 00 00 00 F5"),
         "A5 5B 02 03 00 00 02 00 00 00 00 00"},
        {"route query B", sealed(b::routeQuery(2)), "A5 5B 02 01 02 00 04 00 00 00 00 00"},
        {"route query A", sealed(b::routeQuery(1)), "A5 5B 02 01 01 00 01 00 00 00 00 00"},
        {"route to output 9 is not answered", sealed(b::routeSet(1, 9)), ""},
        {"arc on C", sealed(b::arcSet(3, true)), "A5 5B 10 01 00 00 03 00 00 00 0F 00"},
        {"arc query C", sealed(b::arcQuery(3)), "A5 5B 10 02 0F 00 03 00 00 00 00 00"},
        {"arc query D", sealed(b::arcQuery(4)), "A5 5B 10 02 F0 00 04 00 00 00 00 00"},
        {"arc off C", sealed(b::arcSet(3, false)), "A5 5B 10 01 00 00 03 00 00 00 F0 00"},
        {"input 1 status", sealed(b::inputStatusQuery(1)), "A5 5B 01 04 01 00 00 00 00 00 00 00"},
        {"output H status", sealed(b::outputStatusQuery(8)), "A5 5B 01 05 08 00 00 00 00 00 00 00"},
        {"beep state", sealed(b::beepStateQuery()), "A5 5B 01 0B 00 00 00 00 00 00 00 00"},
        {"beep off", sealed(b::beepSet(false)), "A5 5B 06 01 00 00 00 00 00 00 00 00"},
        {"beep state off", sealed(b::beepStateQuery()), "A5 5B 01 0B 00 00 01 00 00 00 00 00"},
        {"beep on with the reset marker", sealed(b::beepSetFactoryMarker()), "A5 5B 06 01 00 00 DD 00 00 00 88 00"},
        {"edid query 1", sealed(b::edidQuery(1)), "A5 5B 01 0C 01 00 00 00 00 00 00 00"},
        {"edid preset 15 to input 3", sealed(b::edidSetPreset(14, 3)), "A5 5B 03 02 00 00 03 00 00 00 00 00"},
        {"edid query 3", sealed(b::edidQuery(3)), "A5 5B 01 0C 03 00 0E 00 00 00 00 00"},
        {"edid preset 3 to all", sealed(b::edidSetPreset(2, 0)), "A5 5B 03 01 00 00 00 00 00 00 00 00"},
        {"edid query 8", sealed(b::edidQuery(8)), "A5 5B 01 0C 08 00 02 00 00 00 00 00"},
        {"edid preset of the extended reset", sealed(b::edidFactoryPreset()), "A5 5B 03 01 00 00 05 00 00 00 00 00"},
        {"edid copy B to input 5", sealed(b::edidCopy(2, 5)), "A5 5B 03 04 00 00 05 00 00 00 00 00"},
        {"edid query 5", sealed(b::edidQuery(5)), "A5 5B 01 0C 05 00 10 00 00 00 00 00"},
        {"edid copy A to all", sealed(b::edidCopy(1, 0)), "A5 5B 03 03 00 00 00 00 00 00 00 00"},
        {"edid upload request", sealed(b::edidUploadRequest()), "A5 5B 03 08 00 00 00 00 00 00 00 00"},
        {"edid upload target 6", sealed(b::edidUploadTarget(6)), "A5 5B 03 07 AA 00 00 00 00 00 00 00"},
        {"edid block header", sealed(b::edidBlockHeader(false)), ""},
        {"edid block", panelBlock(edidFile(256, 1)), "A5 5B 03 07 00 00 00 01 00 00 00 00"},
        {"edid upload target all", sealed(b::edidUploadTarget(0)), "A5 5B 03 06 AA 00 00 00 00 00 00 00"},
        {"edid block header all", sealed(b::edidBlockHeader(true)), ""},
        {"edid block not an EDID", Bytes(kRawEdidBlockSize, 0x5A), "A5 5B 03 06 0F 00 00 01 00 00 00 00"},
        {"device kind", sealed(b::upgradePageQuery(false)), "A5 5B 01 01 01 00 00 00 00 00 CC 00"},
        {"device kind, reboot query", sealed(b::upgradePageQuery(true)), "A5 5B 01 01 01 00 00 00 00 00 CC CC"},
        {"device ports", sealed(b::deviceInfoQuery2()), "A5 5B 01 02 08 00 08 00 00 00 CC 00"},
        {"device version", sealed(b::deviceInfoQuery3()), "A5 5B 01 03 01 00 03 00 00 00 CC 00"},
        {"ident read 1", sealed(b::identRead(0)), "A5 5B FA 25 54 41 4C 56 41 4E 45 20"},
        {"ident read 4", sealed(b::identRead(3)), "A5 5B FA 28 20 20 20 20 20 20 20 20"},
        {"ident write 4", sealed(b::identWrite(3, identPart)), "A5 5B FA 24 00 00 00 00 00 00 00 00"},
        {"ident read 4 again", sealed(b::identRead(3)), "A5 5B FA 28 41 42 43 44 45 46 47 48"},
        {"power off", sealed(b::powerSet(false)), "A5 5B 08 0B 00 00 F0 00 00 00 00 00"},
        {"power state off", sealed(b::powerStateQuery()), "A5 5B 08 0C F0 00 00 00 00 00 00 00"},
        {"power on", sealed(b::powerSet(true)), "A5 5B 08 0B 00 00 0F 00 00 00 00 00"},
        {"factory reset", sealed(b::factoryReset()), "A5 5B 08 0A 00 00 00 00 00 00 00 00"},
        {"route B back to input 2", sealed(b::routeQuery(2)), "A5 5B 02 01 02 00 02 00 00 00 00 00"},
        {"edid 5 back to preset 1", sealed(b::edidQuery(5)), "A5 5B 01 0C 05 00 00 00 00 00 00 00"},
        {"unknown command", sealed(b::command({0x07, 0x07})), ""},
        {"wrong checksum", badChecksum, ""},
        {"upgrade start", sealed(b::upgradeStart()), "A5 5B 08 07 00 00 00 00 00 00 00 00"},
        {"upgrade transfer request", sealed(b::upgradeTransferRequest()), "A5 5B 08 08 00 00 00 00 00 00 00 00"},
        {"only block", dataFrame(Bytes(100, 0x42), 0, kLastBlockFlag), "FE EF 80 00 00 00 00 00 00 00 00 00"},
        {"reboot", sealed(b::reboot()), "A5 5B 08 0D 00 00 00 00 00 00 00 00"},
        {"answers after the reboot", sealed(b::powerStateQuery()), kPowerOnReply},
    };
}

// A simulator on free ports.
inline talvane::sim::SimOptions onFreePorts()
{
    talvane::sim::SimOptions o;
    o.tcpPort = o.searchPort = o.configPort = 0;
    return o;
}

// The panel's datagram socket: any address, the given port, shared with the
// simulator; keeps what arrives.
struct PanelSocket : QUdpSocket {
    explicit PanelSocket(quint16 port)
    {
        bound = bind(QHostAddress::AnyIPv4, port, ShareAddress | ReuseAddressHint);
        connect(this, &QUdpSocket::readyRead, [this] {
            while (hasPendingDatagrams())
                got << receiveDatagram();
        });
    }
    // The first datagram received that `wanted` accepts; empty if none comes.
    QNetworkDatagram await(const std::function<bool(const QByteArray&)>& wanted)
    {
        const auto match = [&] {
            return std::find_if(got.cbegin(), got.cend(), [&](const QNetworkDatagram& d) { return wanted(d.data()); });
        };
        return QTest::qWaitFor([&] { return match() != got.cend(); }, kDeadlineMs) ? *match() : QNetworkDatagram();
    }
    bool bound = false;
    QList<QNetworkDatagram> got;
};

// Sends each step and checks its reply as it arrives; `received()` gives what
// has arrived so far, and each reply checked is taken off it.
template <typename Send, typename Received>
void runScript(Send send, Received received)
{
    const int size = int(talvane::kCommandFrameSize);
    for (const ScriptStep& step : commandScript()) {
        send(step.send);
        if (step.reply.isEmpty())
            continue;
        QTRY_VERIFY2_WITH_TIMEOUT(received().size() >= size, qPrintable(step.name), kDeadlineMs);
        QVERIFY2(frameOf(received()).checksumValid(), qPrintable(step.name));
        QCOMPARE(body(received()) + " (" + step.name + ")", step.reply + " (" + step.name + ")");
        received().remove(0, size);
    }
    QCOMPARE(hexOf(received()), QString());
}

}  // namespace simtest
